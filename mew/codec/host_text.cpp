#include "mew/codec/host_text.hpp"

#include "mew/codec/core/frame.hpp"

#include <cstring>

namespace zul_mew::codec {

using kernel::raise;
using kernel::steal;

void none_not_subscriptable() { raise(PyExc_TypeError, "'NoneType' object is not subscriptable"); }

void none_not_iterable() { raise(PyExc_TypeError, "'NoneType' is not iterable"); }

void none_has_no_encode() {
  raise(PyExc_AttributeError, "'NoneType' object has no attribute 'encode'");
}

Text::Text(py::handle object) : object_(object) {
  if (object.is_none())
    none_not_subscriptable();
  if (!PyUnicode_Check(object.ptr())) {
    kernel::raise(PyExc_TypeError,
                  kernel::format("expected str, got %.200s", Py_TYPE(object.ptr())->tp_name));
  }
#if PY_VERSION_HEX < 0x030C0000
  if (PyUnicode_READY(object.ptr()) < 0)
    kernel::raise_pending();
#endif
  kind_ = PyUnicode_KIND(object.ptr());
  data_ = PyUnicode_DATA(object.ptr());
  length_ = PyUnicode_GET_LENGTH(object.ptr());
}

Py_UCS4 Text::at(Py_ssize_t index) const {
  if (index < 0)
    index += length_;
  if (index < 0 || index >= length_)
    raise(PyExc_IndexError, "string index out of range");
  return PyUnicode_READ(kind_, data_, index);
}

void Text::clip(Py_ssize_t &start, Py_ssize_t &stop) const {
  auto bound = [this](Py_ssize_t &i) {
    if (i < 0)
      i = i + length_ < 0 ? 0 : i + length_;
    else if (i > length_)
      i = length_;
  };
  bound(start);
  bound(stop);
  if (stop < start)
    stop = start;
}

py::str Text::slice(Py_ssize_t start, Py_ssize_t stop) const {
  clip(start, stop);
  return steal(PyUnicode_Substring(object_.ptr(), start, stop));
}

py::object Text::number(Py_ssize_t start, Py_ssize_t stop, int base) const {
  Py_ssize_t a = start, b = stop;
  clip(a, b);
  auto value = visit([a, b, base](auto *chars, std::size_t) {
    return parse_digits(chars + a, static_cast<std::size_t>(b - a), base);
  });
  if (value)
    return steal(PyLong_FromUnsignedLongLong(*value));
  return to_int(slice(start, stop), base);
}

bool Text::slice_equals(const Text &other, Py_ssize_t start, Py_ssize_t stop) const {
  Py_ssize_t a = start, b = stop, c = start, d = stop;
  clip(a, b);
  other.clip(c, d);
  if (b - a != d - c)
    return false;
  for (Py_ssize_t i = 0; i < b - a; ++i)
    if (PyUnicode_READ(kind_, data_, a + i) != PyUnicode_READ(other.kind_, other.data_, c + i))
      return false;
  return true;
}

long find_station_end(py::handle data) {
  if (data.is_none())
    none_not_iterable();
  Text text(data);
  return text.visit(
      [](auto *chars, std::size_t length) { return find_station_end(chars, length); });
}

py::object to_int(py::handle text, int base) {
  if (PyUnicode_Check(text.ptr())) {
    Text t(text);
    auto value = t.visit(
        [base](auto *chars, std::size_t length) { return parse_digits(chars, length, base); });
    if (value)
      return steal(PyLong_FromUnsignedLongLong(*value));
  }
  // Anything else converts exactly as the host's int() would, or fails as it does.
  auto *int_type = reinterpret_cast<PyObject *>(&PyLong_Type);
  if (base == 10)
    return steal(PyObject_CallOneArg(int_type, text.ptr()));
  py::int_ host_base(base);
  return steal(PyObject_CallFunctionObjArgs(int_type, text.ptr(), host_base.ptr(), nullptr));
}

bool non_negative(py::handle value) { return value >= py::int_(0); }

bool exceeds(py::handle value, long bound) { return value > py::int_(bound); }

bool small_int(py::handle value, std::int64_t &out) {
  if (!PyLong_CheckExact(value.ptr()))
    return false;
  int overflow = 0;
  long long v = PyLong_AsLongLongAndOverflow(value.ptr(), &overflow);
  if (overflow || (v == -1 && PyErr_Occurred())) {
    PyErr_Clear();
    return false;
  }
  if (v < -(1LL << 62) || v > (1LL << 62))
    return false;
  out = v;
  return true;
}

py::object add(py::handle value, py::handle delta) {
  std::int64_t a, b;
  if (small_int(value, a) && small_int(delta, b))
    return steal(PyLong_FromLongLong(a + b));
  return value + delta;
}

py::object last_of(py::handle first, py::handle count) {
  std::int64_t a, b;
  if (small_int(first, a) && small_int(count, b))
    return steal(PyLong_FromLongLong(a + b - 1));
  return add(first, count) - py::int_(1);
}

namespace {

// A frame far beyond any request gives its memory back once it is built.
constexpr std::size_t kSpareCapacity = 1024;

// The buffer of the last frame this thread built, kept for its next one, so
// that building a frame allocates nothing. A builder takes it for its own
// while it builds: one inside another finds none and allocates its own.
std::string &spare_buffer() {
  thread_local std::string spare;
  return spare;
}

} // namespace

TextBuilder::TextBuilder() : buffer_(std::move(spare_buffer())) { buffer_.clear(); }

TextBuilder::~TextBuilder() {
  if (buffer_.capacity() > kSpareCapacity)
    return;
  buffer_.clear();
  spare_buffer() = std::move(buffer_);
}

void TextBuilder::character(Py_UCS4 c) {
  if (c < 128) {
    buffer_.push_back(static_cast<char>(c));
    return;
  }
  text(steal(PyUnicode_FromOrdinal(static_cast<int>(c))));
}

void TextBuilder::text(py::handle s) {
  if (s.is_none()) {
    buffer_.append("None");
    return;
  }
  if (PyUnicode_IS_ASCII(s.ptr())) {
    Py_ssize_t length = 0;
    const char *chars = PyUnicode_AsUTF8AndSize(s.ptr(), &length);
    buffer_.append(chars, static_cast<std::size_t>(length));
    return;
  }
  flush();
  prefix_ = prefix_ ? steal(PyUnicode_Concat(prefix_.ptr(), s.ptr()))
                    : py::reinterpret_borrow<py::object>(s);
}

void TextBuilder::formatted(py::handle value, Format format) {
  std::int64_t v;
  if (small_int(value, v) && v >= 0) {
    if (format == Format::Hex2)
      append_hex(buffer_, static_cast<std::uint64_t>(v), 2);
    else
      append_decimal(buffer_, static_cast<std::uint64_t>(v), 5);
    return;
  }
  py::str spec(format == Format::Hex2 ? "02X" : "05d");
  text(steal(PyObject_Format(value.ptr(), spec.ptr())));
}

void TextBuilder::contact_address(py::handle address) {
  Py_ssize_t length = PyObject_Length(address.ptr());
  if (length < 0)
    kernel::raise_pending();
  if (length < 4)
    buffer_.append(static_cast<std::size_t>(4 - length), '0');
  text(address);
}

void TextBuilder::contact_address(const Text &name, Py_ssize_t from) {
  if (!name.is_ascii()) {
    contact_address(name.slice(from));
    return;
  }
  Py_ssize_t to = PY_SSIZE_T_MAX;
  name.clip(from, to);
  append_contact_address(
      buffer_, {static_cast<const char *>(name.data_) + from, static_cast<std::size_t>(to - from)});
}

void TextBuilder::word_number(py::handle number) {
  std::int64_t v;
  if (small_int(number, v) && v >= 0)
    append_decimal(buffer_, static_cast<std::uint64_t>(v), 4);
  else
    contact_address(py::str(number));
}

void TextBuilder::word(py::handle value) {
  std::int64_t v;
  if (small_int(value, v) && v >= 0) {
    append_word(buffer_, static_cast<std::uint64_t>(v));
    return;
  }
  kernel::assert_that([value] { return non_negative(value); });
  formatted(value & py::int_(255), Format::Hex2);
  formatted(value >> py::int_(8), Format::Hex2);
}

void TextBuilder::flush() {
  if (buffer_.empty())
    return;
  py::str tail(buffer_);
  buffer_.clear();
  prefix_ = prefix_ ? steal(PyUnicode_Concat(prefix_.ptr(), tail.ptr())) : py::object(tail);
}

py::str TextBuilder::finish() {
  if (!prefix_) {
    PyObject *s = PyUnicode_New(static_cast<Py_ssize_t>(buffer_.size()), 127);
    if (!s)
      kernel::raise_pending();
    std::memcpy(PyUnicode_DATA(s), buffer_.data(), buffer_.size());
    return py::reinterpret_steal<py::str>(s);
  }
  flush();
  return py::reinterpret_borrow<py::str>(prefix_);
}

py::str TextBuilder::finish_frame() {
  if (!prefix_) {
    append_tail(buffer_);
    return finish();
  }
  py::str data = finish();
  py::object bytes = steal(PyUnicode_AsUTF8String(data.ptr()));
  std::uint8_t bcc = xor_bytes(
      {PyBytes_AS_STRING(bytes.ptr()), static_cast<std::size_t>(PyBytes_GET_SIZE(bytes.ptr()))});
  auto closing = closing_of(bcc);
  py::str tail(closing.data(), closing.size());
  return steal(PyUnicode_Concat(data.ptr(), tail.ptr()));
}

} // namespace zul_mew::codec
