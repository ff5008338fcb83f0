// InstXY: a digital I/O station with cached inputs and outputs.
#include "module/classes.hpp"

namespace zul_mew::inst {

const kernel::ClassDef &inst_xy_class() {
  static const kernel::ClassDef def{"InstXY", {"Inst"}, {}};
  return def;
}

} // namespace zul_mew::inst
