// The failures of the line and of the protocol: one class per kind, all of
// them IOErrors, so that a host's `except IOError` and its checks of the
// message hold as before, and a host that wants the kind catches the class.
#include "module/classes.hpp"
#include "module/kernel/names.hpp"

namespace zul_mew {

namespace {

using kernel::ClassDef;

// An error answer keeps the station's error code beside the message; code
// stays None when a host builds one without it.
void error_answer_init(py::handle self, py::tuple args, py::handle code) {
  kernel::module_global(ID(MewError)).attr(ID(__init__))(self, *args);
  self.attr(ID(code)) = code;
}

ClassDef failure(const char *name, const char *base) { return {name, {base}, {}}; }

} // namespace

const std::vector<ClassDef> &failure_classes() {
  using namespace kernel;
  static const std::vector<ClassDef> defs{
      failure("MewError", "IOError"),
      failure("MewTimeoutError", "MewError"),
      {"MewErrorAnswer",
       {"MewError"},
       {method({"__init__",
                {self(), var_args("args"), arg_none("code", Type::Int)},
                error_answer_init})}},
      failure("MewCheckCodeError", "MewError"),
      failure("MewStationError", "MewError"),
      failure("MewFormatError", "MewError"),
  };
  return defs;
}

} // namespace zul_mew
