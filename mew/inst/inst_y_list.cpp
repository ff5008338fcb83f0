// _InstYList: all outputs of all digital I/O stations as one bit sequence.
#include "module/classes.hpp"

namespace zul_mew::inst {

const kernel::ClassDef &inst_y_list_class() {
  static const kernel::ClassDef def{"_InstYList", {}, {}};
  return def;
}

} // namespace zul_mew::inst
