// _InstWYList: the output words of all digital I/O stations.
#include "module/classes.hpp"

namespace zul_mew::inst {

const kernel::ClassDef &inst_wy_list_class() {
  static const kernel::ClassDef def{"_InstWYList", {}, {}};
  return def;
}

} // namespace zul_mew::inst
