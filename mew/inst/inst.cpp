// Inst: one remote station reached through a full-duplex node.
#include "module/classes.hpp"
#include "module/kernel/names.hpp"

namespace zul_mew::inst {

namespace {

void init(py::handle self, py::handle mew, py::handle station) {
  self.attr(ID(_mew)) = mew;
  self.attr(ID(_station)) = station;
  self.attr(ID(_firmware_version)) =
      kernel::module_global(ID(Inst)).attr(ID(query_firmware_version))(mew, station);
}

// The station keeps its type in register S0 and its firmware version in S1.
py::object query_inst_type(py::handle mew, py::handle station) {
  return mew.attr(ID(get_uint16))(station, "S0");
}

py::object query_firmware_version(py::handle mew, py::handle station) {
  return mew.attr(ID(get_uint16))(station, "S1");
}

py::object station(py::handle self) { return self.attr(ID(_station)); }
py::object firmware_version(py::handle self) { return self.attr(ID(_firmware_version)); }

} // namespace

const kernel::ClassDef &inst_class() {
  using namespace kernel;
  static const ClassDef def{
      "Inst",
      {"ABC"},
      {
          method({"__init__", {self(), arg("mew"), arg("station", Type::Int)}, init}),
          static_method({"query_inst_type",
                         {arg("mew"), arg("station", Type::Int)},
                         query_inst_type,
                         Type::Int}),
          static_method({"query_firmware_version",
                         {arg("mew"), arg("station", Type::Int)},
                         query_firmware_version,
                         Type::Int}),
          abstract_property({"inst_type", {self()}, nothing, Type::Int}),
          property({"station", {self()}, station, Type::Int}),
          property({"firmware_version", {self()}, firmware_version, Type::Int}),
      }};
  return def;
}

} // namespace zul_mew::inst
