// _InstXList: all inputs of all digital I/O stations as one bit sequence.
#include "module/classes.hpp"
#include "module/kernel/host.hpp"

namespace zul_mew::inst {

namespace {

using kernel::Args;
using kernel::steal;

const kernel::Name kList("_inst_x_list");
const kernel::Name kGetX16Object("get_x16_object");

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
  return {self.attr(kList)[position].attr(kGetX16Object)(), bit};
}

py::object init(const Args &a) {
  a[0].attr(kList) = a[1];
  return py::none();
}

py::object getitem(const Args &a) {
  BitAddress at = address(a[0], a[1]);
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
