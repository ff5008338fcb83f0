// InstAD: an analogue input station.
#include "module/classes.hpp"

namespace zul_mew::inst {

const kernel::ClassDef &inst_ad_class() {
  static const kernel::ClassDef def{"InstAD", {"Inst"}, {}};
  return def;
}

} // namespace zul_mew::inst
