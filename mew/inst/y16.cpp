// Y16: the 16 output bits of one digital I/O station.
#include "module/classes.hpp"
#include "module/kernel/host.hpp"

namespace zul_mew::inst {

namespace {

using kernel::Args;

const kernel::Name kInstXY("_inst_xy");
const kernel::Name kGetY("get_y");
const kernel::Name kSetY("set_y");

py::object init(const Args &a) {
  a[0].attr(kInstXY) = a[1];
  return py::none();
}

py::object setitem(const Args &a) {
  a[0].attr(kInstXY).attr(kSetY)(a[1], a[2]);
  return py::none();
}

py::object getitem(const Args &a) { return a[0].attr(kInstXY).attr(kGetY)(a[1]); }

} // namespace

const kernel::ClassDef &y16_class() {
  using namespace kernel;
  static const ClassDef def{
      "Y16",
      {},
      {
          method({"__init__", {self(), arg("inst_xy")}, init}),
          method(
              {"__setitem__", {self(), arg("key", Type::Int), arg("value", Type::Bool)}, setitem}),
          method({"__getitem__", {self(), arg("item", Type::Int)}, getitem, Type::Bool}),
      }};
  return def;
}

} // namespace zul_mew::inst
