// _InstWYList: the output words of all digital I/O stations.
#include "module/classes.hpp"
#include "module/kernel/host.hpp"

namespace zul_mew::inst {

namespace {

using kernel::Args;

const kernel::Name kList("_inst_wy_list");
const kernel::Name kGetWY("get_wy");
const kernel::Name kSetWY("set_wy");

py::object init(const Args &a) {
  a[0].attr(kList) = a[1];
  return py::none();
}

py::object getitem(const Args &a) { return a[0].attr(kList)[a[1]].attr(kGetWY)(); }

py::object setitem(const Args &a) {
  a[0].attr(kList)[a[1]].attr(kSetWY)(a[2]);
  return py::none();
}

} // namespace

const kernel::ClassDef &inst_wy_list_class() {
  using namespace kernel;
  static const ClassDef def{
      "_InstWYList",
      {},
      {
          method({"__init__", {self(), arg("inst_wy_list")}, init}),
          method({"__getitem__", {self(), arg("item", Type::Int)}, getitem, Type::Int}),
          method(
              {"__setitem__", {self(), arg("key", Type::Int), arg("value", Type::Int)}, setitem}),
      }};
  return def;
}

} // namespace zul_mew::inst
