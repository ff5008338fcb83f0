// Y16: the 16 output bits of one digital I/O station.
#include "module/classes.hpp"

namespace zul_mew::inst {

const kernel::ClassDef &y16_class() {
  static const kernel::ClassDef def{"Y16", {}, {}};
  return def;
}

} // namespace zul_mew::inst
