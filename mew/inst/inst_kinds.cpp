// InstUnknown, InstAxis and InstAD: stations the module knows only by their
// type code; each is Inst with that code and nothing more.
#include "module/classes.hpp"
#include "module/kernel/names.hpp"

namespace zul_mew::inst {

namespace {

using kernel::name_index;

void init(py::handle self, py::handle mew, py::handle station) {
  kernel::module_global(ID(Inst)).attr(ID(__init__))(self, mew, station);
}

// The code is looked up in the module at the moment of use, like every name there.
template <std::size_t code> py::object inst_type(py::handle) {
  return kernel::module_global(kernel::name<code>());
}

template <std::size_t code> kernel::ClassDef inst_kind(const char *name) {
  using namespace kernel;
  return {name,
          {"Inst"},
          {
              method({"__init__", {self(), arg("mew"), arg("station", Type::Int)}, init}),
              property({"inst_type", {self()}, inst_type<code>, Type::Int}),
          }};
}

} // namespace

const kernel::ClassDef &inst_unknown_class() {
  static const kernel::ClassDef def = inst_kind<name_index("INST_TYPE_UNKNOWN")>("InstUnknown");
  return def;
}

const kernel::ClassDef &inst_axis_class() {
  static const kernel::ClassDef def = inst_kind<name_index("INST_TYPE_Axis")>("InstAxis");
  return def;
}

const kernel::ClassDef &inst_ad_class() {
  static const kernel::ClassDef def = inst_kind<name_index("INST_TYPE_AD")>("InstAD");
  return def;
}

} // namespace zul_mew::inst
