// MewBase: the link engine of every node.
#include "module/classes.hpp"

namespace zul_mew::link {

const kernel::ClassDef &mew_base_class() {
  static const kernel::ClassDef def{"MewBase", {}, {}};
  return def;
}

} // namespace zul_mew::link
