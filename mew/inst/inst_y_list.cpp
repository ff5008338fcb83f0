// _InstYList: all outputs of all digital I/O stations as one bit sequence.
#include "module/classes.hpp"
#include "module/kernel/host.hpp"

namespace zul_mew::inst {

namespace {

using kernel::Args;
using kernel::steal;

const kernel::Name kList("_inst_y_list");
const kernel::Name kGetY16Object("get_y16_object");

struct BitAddress {
  py::object view;
  py::object bit;
};

// Flat index n is bit n mod 16 of station n // 16; both taken as floor
// division, so a negative n counts back from the last bit of the last station.
BitAddress address(py::handle self, py::handle index) {
  py::int_ sixteen(16);
  py::object position = steal(PyNumber_FloorDivide(index.ptr(), sixteen.ptr()));
  py::object bit = steal(PyNumber_Remainder(index.ptr(), sixteen.ptr()));
  return {self.attr(kList)[position].attr(kGetY16Object)(), bit};
}

py::object init(const Args &a) {
  a[0].attr(kList) = a[1];
  return py::none();
}

py::object getitem(const Args &a) {
  BitAddress at = address(a[0], a[1]);
  return at.view[at.bit];
}

py::object setitem(const Args &a) {
  BitAddress at = address(a[0], a[1]);
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
