// InstAxis: an axis station.
#include "module/classes.hpp"

namespace zul_mew::inst {

const kernel::ClassDef &inst_axis_class() {
  static const kernel::ClassDef def{"InstAxis", {"Inst"}, {}};
  return def;
}

} // namespace zul_mew::inst
