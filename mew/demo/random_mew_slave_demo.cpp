// RandomMewSlaveDemo: a slave answering reads with random values.
#include "module/classes.hpp"

namespace zul_mew::demo {

const kernel::ClassDef &random_mew_slave_demo_class() {
  static const kernel::ClassDef def{"RandomMewSlaveDemo", {"MewBase", "MewSlaveBase"}, {}};
  return def;
}

} // namespace zul_mew::demo
