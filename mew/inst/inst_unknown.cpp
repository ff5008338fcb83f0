// InstUnknown: a station of a type the module does not know.
#include "module/classes.hpp"
#include "module/kernel/host.hpp"

namespace zul_mew::inst {

namespace {

using kernel::Args;

const kernel::Name kInst("Inst");
const kernel::Name kInit("__init__");
const kernel::Name kInstType("INST_TYPE_UNKNOWN");

py::object init(const Args &a) {
  kernel::module_name(kInst).attr(kInit)(a[0], a[1], a[2]);
  return py::none();
}

py::object inst_type(const Args &) { return kernel::module_name(kInstType); }

} // namespace

const kernel::ClassDef &inst_unknown_class() {
  using namespace kernel;
  static const ClassDef def{
      "InstUnknown",
      {"Inst"},
      {
          method({"__init__", {self(), arg("mew"), arg("station", Type::Int)}, init}),
          property({"inst_type", {self()}, inst_type, Type::Int}),
      }};
  return def;
}

} // namespace zul_mew::inst
