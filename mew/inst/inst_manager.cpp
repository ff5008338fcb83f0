// InstManager: discovers the stations of a bus.
#include "module/classes.hpp"
#include "module/kernel/names.hpp"

namespace zul_mew::inst {

namespace {

using kernel::module_global;
using kernel::name;
using kernel::name_index;

void init(py::handle self, py::tuple args, py::dict kwargs) {
  module_global(ID(MewFullDuplex)).attr(ID(__init__))(self, *args, **kwargs);
  py::list unknown_list, xy_list, axis_list, ad_list;
  self.attr(ID(_all_list)) = py::list();
  self.attr(ID(_unknown_list)) = unknown_list;
  self.attr(ID(_xy_list)) = xy_list;
  self.attr(ID(_axis_list)) = axis_list;
  self.attr(ID(_ad_list)) = ad_list;
  py::dict inst_list_dict;
  inst_list_dict[module_global(ID(INST_TYPE_UNKNOWN))] = unknown_list;
  inst_list_dict[module_global(ID(INST_TYPE_XY))] = xy_list;
  inst_list_dict[module_global(ID(INST_TYPE_Axis))] = axis_list;
  inst_list_dict[module_global(ID(INST_TYPE_AD))] = ad_list;
  self.attr(ID(_inst_list_dict)) = inst_list_dict;
}

// The class made for a type code and the list it is filed in; any code the
// module does not know makes an InstUnknown.
struct Kind {
  py::handle cls;
  py::handle list;
};

Kind kind_of(py::handle inst_type) {
  if (inst_type.equal(module_global(ID(INST_TYPE_XY))))
    return {ID(InstXY), ID(_xy_list)};
  if (inst_type.equal(module_global(ID(INST_TYPE_Axis))))
    return {ID(InstAxis), ID(_axis_list)};
  if (inst_type.equal(module_global(ID(INST_TYPE_AD))))
    return {ID(InstAD), ID(_ad_list)};
  return {ID(InstUnknown), ID(_unknown_list)};
}

void discover(py::handle self, py::handle station) {
  py::object inst_type = module_global(ID(Inst)).attr(ID(query_inst_type))(self, station);
  Kind kind = kind_of(inst_type);
  py::object inst = module_global(kind.cls)(self, station);
  self.attr(kind.list).attr(ID(append))(inst);
  self.attr(ID(_all_list)).attr(ID(append))(inst);
}

// Stations are numbered from 1 without gaps; the first one that fails to
// answer, normally with the query time-out, marks the end of the bus.
void initialize_inst_list(py::handle self) {
  py::int_ one(1);
  py::object station = one;
  for (;;) {
    try {
      discover(self, station);
    } catch (py::error_already_set &error) {
      if (error.matches(PyExc_Exception))
        return;
      throw;
    }
    station = station + one;
  }
}

template <std::size_t list> py::int_ count(py::handle self) {
  return py::int_(py::len(self.attr(name<list>())));
}

// A view over the digital I/O stations, made afresh at each access.
template <std::size_t view> py::object view_of_xy(py::handle self) {
  return module_global(name<view>())(self.attr(ID(_xy_list)));
}

py::object axis(py::handle self) { return self.attr(ID(_axis_list)); }

} // namespace

const kernel::ClassDef &inst_manager_class() {
  using namespace kernel;
  static const ClassDef def{
      "InstManager",
      {"MewFullDuplex"},
      {
          method({"__init__", {self(), var_args("args"), var_kw("kwargs")}, init}),
          method({"initialize_inst_list", {self()}, initialize_inst_list}),
          property({"inst_count", {self()}, count<name_index("_all_list")>, Type::Int}),
          property({"xy_count", {self()}, count<name_index("_xy_list")>, Type::Int}),
          property({"axis_count", {self()}, count<name_index("_axis_list")>, Type::Int}),
          property({"ad_count", {self()}, count<name_index("_ad_list")>, Type::Int}),
          property({"axis", {self()}, axis}),
          property({"x", {self()}, view_of_xy<name_index("_InstXList")>}),
          property({"y", {self()}, view_of_xy<name_index("_InstYList")>}),
          property({"wx", {self()}, view_of_xy<name_index("_InstWXList")>}),
          property({"wy", {self()}, view_of_xy<name_index("_InstWYList")>}),
      }};
  return def;
}

} // namespace zul_mew::inst
