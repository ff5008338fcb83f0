// MewMaster: typed reads and writes of a remote station.
#include "module/classes.hpp"

namespace zul_mew::roles {

const kernel::ClassDef &mew_master_class() {
  static const kernel::ClassDef def{"MewMaster", {"MewMasterBase"}, {}};
  return def;
}

} // namespace zul_mew::roles
