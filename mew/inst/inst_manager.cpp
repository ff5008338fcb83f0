// InstManager: discovers the stations of a bus.
#include "module/classes.hpp"

namespace zul_mew::inst {

const kernel::ClassDef &inst_manager_class() {
  static const kernel::ClassDef def{"InstManager", {"MewFullDuplex"}, {}};
  return def;
}

} // namespace zul_mew::inst
