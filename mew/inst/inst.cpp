// Inst: one remote station reached through a full-duplex node.
#include "module/classes.hpp"
#include "module/kernel/host.hpp"

namespace zul_mew::inst {

namespace {

using kernel::Args;
using kernel::nothing;

const kernel::Name kInst("Inst");
const kernel::Name kMew("_mew");
const kernel::Name kStationField("_station");
const kernel::Name kFirmwareVersionField("_firmware_version");
const kernel::Name kGetUint16("get_uint16");
const kernel::Name kQueryFirmwareVersion("query_firmware_version");

py::object init(const Args &a) {
  py::handle self = a[0];
  self.attr(kMew) = a[1];
  self.attr(kStationField) = a[2];
  self.attr(kFirmwareVersionField) =
      kernel::module_name(kInst).attr(kQueryFirmwareVersion)(a[1], a[2]);
  return py::none();
}

// The station keeps its type in register S0 and its firmware version in S1.
py::object query_inst_type(const Args &a) { return a[0].attr(kGetUint16)(a[1], "S0"); }
py::object query_firmware_version(const Args &a) { return a[0].attr(kGetUint16)(a[1], "S1"); }

py::object station(const Args &a) { return a[0].attr(kStationField); }
py::object firmware_version(const Args &a) { return a[0].attr(kFirmwareVersionField); }

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
