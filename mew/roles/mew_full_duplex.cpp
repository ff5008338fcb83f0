// MewFullDuplex: master and slave on one line.
#include "module/classes.hpp"

namespace zul_mew::roles {

const kernel::ClassDef &mew_full_duplex_class() {
  static const kernel::ClassDef def{"MewFullDuplex", {"MewMaster", "MewSlaveBase"}, {}};
  return def;
}

} // namespace zul_mew::roles
