// _InstYList: all outputs of all digital I/O stations as one bit sequence.
#include "mew/inst/flat_bits.hpp"
#include "module/classes.hpp"
#include "module/kernel/host.hpp"

namespace zul_mew::inst {

namespace {

using kernel::Args;

const kernel::Name kList("_inst_y_list");
const kernel::Name kGetY16Object("get_y16_object");

py::object init(const Args &a) {
  a[0].attr(kList) = a[1];
  return py::none();
}

py::object getitem(const Args &a) {
  BitAddress at = bit_address(a[0].attr(kList), a[1], kGetY16Object);
  return at.view[at.bit];
}

py::object setitem(const Args &a) {
  BitAddress at = bit_address(a[0].attr(kList), a[1], kGetY16Object);
  at.view[at.bit] = a[2];
  return py::none();
}

} // namespace

const kernel::ClassDef &inst_y_list_class() {
  using namespace kernel;
  static const ClassDef def{
      "_InstYList",
      {},
      {
          method({"__init__", {self(), arg("inst_y_list")}, init}),
          method({"__getitem__", {self(), arg("item", Type::Int)}, getitem, Type::Bool}),
          method(
              {"__setitem__", {self(), arg("key", Type::Int), arg("value", Type::Bool)}, setitem}),
      }};
  return def;
}

} // namespace zul_mew::inst
