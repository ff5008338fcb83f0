// _InstXList: all inputs of all digital I/O stations as one bit sequence.
#include "module/classes.hpp"

namespace zul_mew::inst {

const kernel::ClassDef &inst_x_list_class() {
  static const kernel::ClassDef def{"_InstXList", {}, {}};
  return def;
}

} // namespace zul_mew::inst
