// Field encodings: register addresses, words low byte first, two's complement.
#include "mew/codec/mew_static.hpp"
#include "module/kernel/names.hpp"

namespace zul_mew::codec {

using kernel::steal;

py::object parse_register_address(py::handle address) { return to_int(address, 10); }

py::object parse_uint16(py::handle data) {
  Text text(data);
  py::str low = text.slice(0, 2);
  py::str high = text.slice(2, 4);
  py::object high_value = to_int(high, 16);
  py::object low_value = to_int(low, 16);
  std::int64_t h, l;
  if (small_int(high_value, h) && small_int(low_value, l))
    return steal(PyLong_FromLongLong((h * 256) | l));
  return (high_value << py::int_(8)) | low_value;
}

namespace {

struct IntFormat {
  char code;
  std::int64_t low;
  std::int64_t high;
};

IntFormat int_format(char code) {
  switch (code) {
  case 'h':
    return {code, -32768, 32767};
  case 'H':
    return {code, 0, 65535};
  case 'i':
    return {code, -2147483648LL, 2147483647LL};
  default:
    return {code, 0, 4294967295LL};
  }
}

} // namespace

py::object reinterpret(py::handle value, const char *pack_format, const char *unpack_format) {
  IntFormat from = int_format(pack_format[0]);
  IntFormat to = int_format(unpack_format[0]);
  std::int64_t v;
  if (small_int(value, v) && v >= from.low && v <= from.high) {
    std::int64_t span = to.high - to.low + 1;
    if (v > to.high)
      v -= span;
    else if (v < to.low)
      v += span;
    return steal(PyLong_FromLongLong(v));
  }
  // Out of range or not a plain int: the host's struct decides, and raises.
  py::object packed = kernel::module_global(ID(pack))(pack_format, value);
  return kernel::module_global(ID(unpack))(unpack_format, packed)[py::int_(0)];
}

} // namespace zul_mew::codec
