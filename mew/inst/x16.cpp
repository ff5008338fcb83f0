// X16: the 16 input bits of one digital I/O station.
#include "module/classes.hpp"

namespace zul_mew::inst {

const kernel::ClassDef &x16_class() {
  static const kernel::ClassDef def{"X16", {}, {}};
  return def;
}

} // namespace zul_mew::inst
