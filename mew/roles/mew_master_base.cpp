// MewMasterBase: one exchange of request and answer.
#include "module/classes.hpp"

namespace zul_mew::roles {

const kernel::ClassDef &mew_master_base_class() {
  static const kernel::ClassDef def{"MewMasterBase", {"MewBase"}, {}};
  return def;
}

} // namespace zul_mew::roles
