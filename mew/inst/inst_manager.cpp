// InstManager: discovers the stations of a bus.
#include "module/classes.hpp"
#include "module/kernel/host.hpp"

namespace zul_mew::inst {

namespace {

using kernel::Args;
using kernel::module_name;
using kernel::steal;

const kernel::Name kMewFullDuplex("MewFullDuplex");
const kernel::Name kInit("__init__");
const kernel::Name kInst("Inst");
const kernel::Name kInstXY("InstXY");
const kernel::Name kInstAxis("InstAxis");
const kernel::Name kInstAD("InstAD");
const kernel::Name kInstUnknown("InstUnknown");
const kernel::Name kTypeUnknown("INST_TYPE_UNKNOWN");
const kernel::Name kTypeXY("INST_TYPE_XY");
const kernel::Name kTypeAxis("INST_TYPE_Axis");
const kernel::Name kTypeAD("INST_TYPE_AD");
const kernel::Name kXList("_InstXList");
const kernel::Name kYList("_InstYList");
const kernel::Name kWXList("_InstWXList");
const kernel::Name kWYList("_InstWYList");
const kernel::Name kAllList("_all_list");
const kernel::Name kUnknownList("_unknown_list");
const kernel::Name kXYList("_xy_list");
const kernel::Name kAxisList("_axis_list");
const kernel::Name kADList("_ad_list");
const kernel::Name kInstListDict("_inst_list_dict");
const kernel::Name kQueryInstType("query_inst_type");
const kernel::Name kAppend("append");

py::object init(const Args &a) {
  py::handle self = a[0];
  py::tuple args = py::reinterpret_borrow<py::tuple>(a[1]);
  py::dict kwargs = py::reinterpret_borrow<py::dict>(a[2]);
  module_name(kMewFullDuplex).attr(kInit)(self, *args, **kwargs);
  py::list unknown_list, xy_list, axis_list, ad_list;
  self.attr(kAllList) = py::list();
  self.attr(kUnknownList) = unknown_list;
  self.attr(kXYList) = xy_list;
  self.attr(kAxisList) = axis_list;
  self.attr(kADList) = ad_list;
  py::dict inst_list_dict;
  inst_list_dict[module_name(kTypeUnknown)] = unknown_list;
  inst_list_dict[module_name(kTypeXY)] = xy_list;
  inst_list_dict[module_name(kTypeAxis)] = axis_list;
  inst_list_dict[module_name(kTypeAD)] = ad_list;
  self.attr(kInstListDict) = inst_list_dict;
  return py::none();
}

// The class made for a type code and the list it is filed in; any code the
// module does not know makes an InstUnknown.
struct Kind {
  const kernel::Name &cls;
  const kernel::Name &list;
};

Kind kind_of(py::handle inst_type) {
  if (inst_type.equal(module_name(kTypeXY)))
    return {kInstXY, kXYList};
  if (inst_type.equal(module_name(kTypeAxis)))
    return {kInstAxis, kAxisList};
  if (inst_type.equal(module_name(kTypeAD)))
    return {kInstAD, kADList};
  return {kInstUnknown, kUnknownList};
}

void discover(py::handle self, py::handle station) {
  py::object inst_type = module_name(kInst).attr(kQueryInstType)(self, station);
  Kind kind = kind_of(inst_type);
  py::object inst = module_name(kind.cls)(self, station);
  self.attr(kind.list).attr(kAppend)(inst);
  self.attr(kAllList).attr(kAppend)(inst);
}

// Stations are numbered from 1 without gaps; the first one that fails to
// answer, normally with the query time-out, marks the end of the bus.
py::object initialize_inst_list(const Args &a) {
  py::handle self = a[0];
  py::int_ one(1);
  py::object station = one;
  for (;;) {
    try {
      discover(self, station);
    } catch (py::error_already_set &error) {
      if (error.matches(PyExc_Exception))
        return py::none();
      throw;
    }
    station = steal(PyNumber_Add(station.ptr(), one.ptr()));
  }
}

py::object length(py::handle list) { return py::int_(py::len(list)); }

py::object inst_count(const Args &a) { return length(a[0].attr(kAllList)); }
py::object xy_count(const Args &a) { return length(a[0].attr(kXYList)); }
py::object axis_count(const Args &a) { return length(a[0].attr(kAxisList)); }
py::object ad_count(const Args &a) { return length(a[0].attr(kADList)); }
py::object axis(const Args &a) { return a[0].attr(kAxisList); }
py::object x(const Args &a) { return module_name(kXList)(a[0].attr(kXYList)); }
py::object y(const Args &a) { return module_name(kYList)(a[0].attr(kXYList)); }
py::object wx(const Args &a) { return module_name(kWXList)(a[0].attr(kXYList)); }
py::object wy(const Args &a) { return module_name(kWYList)(a[0].attr(kXYList)); }

} // namespace

const kernel::ClassDef &inst_manager_class() {
  using namespace kernel;
  static const ClassDef def{
      "InstManager",
      {"MewFullDuplex"},
      {
          method({"__init__", {self(), var_args("args"), var_kw("kwargs")}, init}),
          method({"initialize_inst_list", {self()}, initialize_inst_list}),
          property({"inst_count", {self()}, inst_count, Type::Int}),
          property({"xy_count", {self()}, xy_count, Type::Int}),
          property({"axis_count", {self()}, axis_count, Type::Int}),
          property({"ad_count", {self()}, ad_count, Type::Int}),
          property({"axis", {self()}, axis}),
          property({"x", {self()}, x}),
          property({"y", {self()}, y}),
          property({"wx", {self()}, wx}),
          property({"wy", {self()}, wy}),
      }};
  return def;
}

} // namespace zul_mew::inst
