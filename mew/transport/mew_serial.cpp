// MewSerial: a channel over a serial port.
#include "module/classes.hpp"

namespace zul_mew::transport {

const kernel::ClassDef &mew_serial_class() {
  static const kernel::ClassDef def{"MewSerial", {"Channel"}, {}};
  return def;
}

} // namespace zul_mew::transport
