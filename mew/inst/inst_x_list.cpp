// _InstXList: all inputs of all digital I/O stations as one bit sequence.
#include "mew/inst/flat_bits.hpp"
#include "module/classes.hpp"
#include "module/kernel/host.hpp"

namespace zul_mew::inst {

namespace {

using kernel::Args;

const kernel::Name kList("_inst_x_list");
const kernel::Name kGetX16Object("get_x16_object");

py::object init(const Args &a) {
  a[0].attr(kList) = a[1];
  return py::none();
}

py::object getitem(const Args &a) {
  BitAddress at = bit_address(a[0].attr(kList), a[1], kGetX16Object);
  return at.view[at.bit];
}

} // namespace

const kernel::ClassDef &inst_x_list_class() {
  using namespace kernel;
  static const ClassDef def{
      "_InstXList",
      {},
      {
          method({"__init__", {self(), arg("inst_x_list")}, init}),
          method({"__getitem__", {self(), arg("item", Type::Int)}, getitem, Type::Bool}),
      }};
  return def;
}

} // namespace zul_mew::inst
