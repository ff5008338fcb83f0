// _InstWXList: the input words of all digital I/O stations.
#include "module/classes.hpp"
#include "module/kernel/host.hpp"

namespace zul_mew::inst {

namespace {

using kernel::Args;

const kernel::Name kList("_inst_wx_list");
const kernel::Name kGetWX("get_wx");

py::object init(const Args &a) {
  a[0].attr(kList) = a[1];
  return py::none();
}

py::object getitem(const Args &a) { return a[0].attr(kList)[a[1]].attr(kGetWX)(); }

} // namespace

const kernel::ClassDef &inst_wx_list_class() {
  using namespace kernel;
  static const ClassDef def{
      "_InstWXList",
      {},
      {
          method({"__init__", {self(), arg("inst_wx_list")}, init}),
          method({"__getitem__", {self(), arg("item", Type::Int)}, getitem, Type::Int}),
      }};
  return def;
}

} // namespace zul_mew::inst
