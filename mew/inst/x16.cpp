// X16: the 16 input bits of one digital I/O station.
#include "module/classes.hpp"
#include "module/kernel/host.hpp"

namespace zul_mew::inst {

namespace {

using kernel::Args;

const kernel::Name kInstXY("_inst_xy");
const kernel::Name kGetX("get_x");

py::object init(const Args &a) {
  a[0].attr(kInstXY) = a[1];
  return py::none();
}

py::object getitem(const Args &a) { return a[0].attr(kInstXY).attr(kGetX)(a[1]); }

} // namespace

const kernel::ClassDef &x16_class() {
  using namespace kernel;
  static const ClassDef def{
      "X16",
      {},
      {
          method({"__init__", {self(), arg("inst_xy")}, init}),
          method({"__getitem__", {self(), arg("item", Type::Int)}, getitem, Type::Bool}),
      }};
  return def;
}

} // namespace zul_mew::inst
