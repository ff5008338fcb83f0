// Inst: one remote station reached through a full-duplex node.
#include "module/classes.hpp"

namespace zul_mew::inst {

namespace {

using kernel::Args;

py::object nothing(const Args &) { return py::none(); }

} // namespace

const kernel::ClassDef &inst_class() {
  using namespace kernel;
  static const ClassDef def{"Inst",
                            {"ABC"},
                            {
                                abstract_property({"inst_type", {self()}, nothing, Type::Int}),
                            }};
  return def;
}

} // namespace zul_mew::inst
