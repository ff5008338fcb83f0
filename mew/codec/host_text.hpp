// The host's rules for text as the codec meets them: indexing and clipped
// slicing, integer conversion and formatting, and a builder that makes one
// str at the end.
#pragma once

#include "module/kernel/host.hpp"

#include <cstdint>
#include <string>
#include <string_view>

namespace zul_mew::codec {

namespace py = pybind11;

// The failures the host gives for None where text is expected.
[[noreturn]] void none_not_subscriptable();
[[noreturn]] void none_not_iterable();
[[noreturn]] void none_has_no_encode();

// A str argument (subclasses included); None raises "not subscriptable".
class Text {
public:
  explicit Text(py::handle object);
  Py_ssize_t size() const { return length_; }
  // The character at a host index (negative counts from the end).
  Py_UCS4 at(Py_ssize_t index) const;
  // The host slice [start:stop], clipped to the text.
  py::str slice(Py_ssize_t start, Py_ssize_t stop = PY_SSIZE_T_MAX) const;
  // int(text[start:stop], base) as the host converts it.
  py::object number(Py_ssize_t start, Py_ssize_t stop, int base) const;
  bool is_ascii() const { return PyUnicode_IS_ASCII(object_.ptr()); }
  // Whether the two host slices [start:stop] of both texts are equal.
  bool slice_equals(const Text &other, Py_ssize_t start, Py_ssize_t stop) const;
  py::handle object() const { return object_; }
  template <typename F> decltype(auto) visit(F &&f) const {
    switch (kind_) {
    case PyUnicode_1BYTE_KIND:
      return f(static_cast<const Py_UCS1 *>(data_), static_cast<std::size_t>(length_));
    case PyUnicode_2BYTE_KIND:
      return f(static_cast<const Py_UCS2 *>(data_), static_cast<std::size_t>(length_));
    default:
      return f(static_cast<const Py_UCS4 *>(data_), static_cast<std::size_t>(length_));
    }
  }

private:
  void clip(Py_ssize_t &start, Py_ssize_t &stop) const;
  friend class TextBuilder;
  py::handle object_;
  int kind_;
  const void *data_;
  Py_ssize_t length_;
};

// Index of the type character of a frame (None is "not iterable").
long find_station_end(py::handle data);

// int(text, base) as the host converts it; base 10 converts like int(text).
py::object to_int(py::handle text, int base);

// The value of a host int when it is exact and small enough for C++.
bool small_int(py::handle value, std::int64_t &out);

bool non_negative(py::handle value);

// value > bound as the host compares, out of the way of the plain-int paths.
bool exceeds(py::handle value, long bound);

// format(value, spec) for "02X", "05d"; a plain int takes the C++ path.
enum class Format { Hex2, Decimal5 };

py::object add(py::handle value, py::handle delta);

// The last of `count` numbers from `first`: first + count - 1.
py::object last_of(py::handle first, py::handle count);

// Builds a str from ASCII pieces and host text; all-ASCII frames stay in one
// buffer and become one str at the end.
class TextBuilder {
public:
  TextBuilder();
  ~TextBuilder();
  TextBuilder(const TextBuilder &) = delete;
  TextBuilder &operator=(const TextBuilder &) = delete;

  void ascii(char c) { buffer_.push_back(c); }
  void ascii(std::string_view s) { buffer_.append(s); }
  void character(Py_UCS4 c);
  // Host text; None contributes the text "None".
  void text(py::handle s);
  void formatted(py::handle value, Format format);
  void contact_address(py::handle address);
  // The contact address rule applied to name[from:], read in place.
  void contact_address(const Text &name, Py_ssize_t from);
  // A word number written by the contact address rule: str(number), left-filled.
  void word_number(py::handle number);
  void word(py::handle value);
  std::string &buffer() { return buffer_; }
  py::str finish();
  // Appends the BCC of everything built and the tail.
  py::str finish_frame();

private:
  void flush();
  py::object prefix_;
  std::string buffer_;
};

} // namespace zul_mew::codec
