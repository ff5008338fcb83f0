// _InstWXList: the input words of all digital I/O stations.
#include "module/classes.hpp"

namespace zul_mew::inst {

const kernel::ClassDef &inst_wx_list_class() {
  static const kernel::ClassDef def{"_InstWXList", {}, {}};
  return def;
}

} // namespace zul_mew::inst
