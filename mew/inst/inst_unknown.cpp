// InstUnknown: a station of a type the module does not know.
#include "module/classes.hpp"

namespace zul_mew::inst {

const kernel::ClassDef &inst_unknown_class() {
  static const kernel::ClassDef def{"InstUnknown", {"Inst"}, {}};
  return def;
}

} // namespace zul_mew::inst
