// Request builders: one complete request frame per command.
#include "mew/codec/mew_static.hpp"

#include <algorithm>

namespace zul_mew::codec {

using kernel::assert_that;
using kernel::check_assertion;
using kernel::steal;

namespace {

void header(TextBuilder &data, py::handle station, const char *command) {
  data.ascii(kHead);
  data.formatted(station, Format::Hex2);
  data.ascii(kQuery);
  data.ascii(command);
}

bool is_word(py::handle value) {
  std::int64_t v;
  return small_int(value, v) && v >= 0 && v <= 0xFFFF;
}

// A data field wider than four digits or with a minus sign would reach the
// controller as corrupted data, so such values are refused before building.
void check_word(py::handle value) {
  if (is_word(value))
    return;
  bool negative = !non_negative(value);
  if (negative)
    check_assertion(false);
  if (negative || exceeds(value, 0xFFFF)) {
    kernel::raise(PyExc_ValueError,
                  kernel::format("16-bit value out of range 0 to 65535: %R", value.ptr()));
  }
}

// The values to write, iterated once and checked, as a list or tuple.
py::object checked_words(py::handle values) {
  if (PyList_CheckExact(values.ptr()) || PyTuple_CheckExact(values.ptr())) {
    py::handle *items = reinterpret_cast<py::handle *>(PySequence_Fast_ITEMS(values.ptr()));
    if (std::all_of(items, items + PySequence_Fast_GET_SIZE(values.ptr()), is_word))
      return py::reinterpret_borrow<py::object>(values);
  }
  py::object words = steal(PySequence_List(values.ptr()));
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(words.ptr()); ++i)
    check_word(PyList_GET_ITEM(words.ptr(), i));
  return words;
}

// A list of the caller's may still change under host code run while the frame
// is built (a station's __format__), so each value is held and checked again.
void append_words(TextBuilder &data, const py::object &words) {
  for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(words.ptr()); ++i) {
    auto value = py::reinterpret_borrow<py::object>(PySequence_Fast_GET_ITEM(words.ptr(), i));
    check_word(value);
    data.word(value);
  }
}

Py_ssize_t checked_length(py::handle values) {
  Py_ssize_t count = PyObject_Length(values.ptr());
  if (count < 0)
    kernel::raise_pending();
  check_assertion(count > 0);
  if (count == 0)
    kernel::raise(PyExc_ValueError, "value count below 1: 0");
  return count;
}

// A number of the frame, read once: held in C++ when it is a plain int.
struct Number {
  std::int64_t value = 0;
  bool small = false;
  py::object object; // only when not small

  py::object host() const { return small ? py::int_(value) : object; }
};

Number number_of(py::object value) {
  Number n;
  n.small = small_int(value, n.value);
  if (!n.small)
    n.object = std::move(value);
  return n;
}

// name[from:] as a decimal number, as the host's int() reads it.
Number number_at(const Text &name, Py_ssize_t from) {
  auto digits = name.visit([from](auto *chars, std::size_t length) {
    auto start = static_cast<std::size_t>(from);
    return start <= length ? parse_digits(chars + start, length - start, 10) : std::nullopt;
  });
  if (digits)
    return {static_cast<std::int64_t>(*digits), true, {}};
  return number_of(name.number(from, PY_SSIZE_T_MAX, 10));
}

Number last_number(const Number &first, py::handle count) {
  std::int64_t n;
  if (first.small && small_int(count, n))
    return {first.value + n - 1, true, {}};
  return number_of(last_of(first.host(), count));
}

// A station reads every field at its fixed width: a wider one shifts the
// fields after it, and the station reads or writes another address than the
// caller named. Such fields are refused before the frame is finished; a name
// too short for a builder fails where the builder reads it, after the header.
[[noreturn]] void refuse(const char *format, py::handle value) {
  kernel::raise(PyExc_ValueError, kernel::format(format, value.ptr()));
}

void check_range(const Number &n, long high, const char *format) {
  if (n.small ? n.value >= 0 && n.value <= high
              : non_negative(n.object) && !exceeds(n.object, high))
    return;
  refuse(format, n.host());
}

// Anything but an integer fails as the host's format of it does.
void check_station(py::handle station) {
  std::int64_t v;
  bool negative =
      small_int(station, v) ? v < 0 : PyLong_Check(station.ptr()) && !non_negative(station);
  if (negative)
    refuse("station below 0: %R", station);
}

// Asserted as ever; with assertions disabled a count below 1 is still refused,
// as it would reverse the range on the line.
void check_count(py::handle count, const char *format) {
  std::int64_t v;
  bool positive = small_int(count, v) ? v > 0 : exceeds(count, 0);
  check_assertion(positive);
  if (!positive)
    refuse(format, count);
}

void check_contact_address(const Text &name) {
  if (name.size() - 1 > 4)
    refuse("contact address longer than 4 characters: %R", name.object());
}

// A word number the caller wrote is put on the line as written.
void check_word_number(const Text &name, const char *range_format, const char *width_format) {
  check_range(number_at(name, 2), 9999, range_format);
  if (name.size() - 2 > 4)
    refuse(width_format, name.object());
}

void check_first_word_number(const Text &name) {
  check_word_number(name, "first word number out of range 0 to 9999: %R",
                    "first word number longer than 4 characters: %R");
}

// A count that is no int makes a last number that is no int, written as the
// host writes it.
void check_last_word_number(const Number &last) {
  check_range(last, 9999, "last word number out of range 0 to 9999: %R");
  if (!last.small && PyObject_Length(py::str(last.object).ptr()) > 4)
    refuse("last word number longer than 4 characters: %R", last.object);
}

void append_word_number(TextBuilder &data, const Number &n) {
  if (n.small)
    append_decimal(data.buffer(), static_cast<std::uint64_t>(n.value), 4);
  else
    data.word_number(n.object);
}

// A register name: one or two letters of area code, then the decimal address.
Py_ssize_t register_address(const Text &reg) { return Py_UNICODE_ISDIGIT(reg.at(1)) ? 1 : 2; }

// The area code and the first and last register address of a range, checked.
struct DataArea {
  Py_UCS4 code;
  Number start;
  Number end;
};

DataArea data_area(const Text &reg, py::handle count) {
  Py_ssize_t addr = register_address(reg);
  Py_UCS4 code = reg.at(0);
  Number start = number_at(reg, addr);
  Number end = last_number(start, count);
  check_range(start, 99999, "first register address out of range 0 to 99999: %R");
  check_range(end, 99999, "last register address out of range 0 to 99999: %R");
  return {code, std::move(start), std::move(end)};
}

void append_address(TextBuilder &data, const Number &n) {
  if (n.small)
    append_decimal(data.buffer(), static_cast<std::uint64_t>(n.value), 5);
  else
    data.formatted(n.object, Format::Decimal5);
}

void append_data_area(TextBuilder &data, const DataArea &area) {
  data.character(area.code);
  append_address(data, area.start);
  append_address(data, area.end);
}

} // namespace

py::str read_single_contact(py::handle station, py::handle contact) {
  // Reached from C++ as well, where nothing checked the name on entry.
  kernel::check_text_argument(contact, "contact");
  Text name(contact);
  check_station(station);
  check_contact_address(name);
  TextBuilder data;
  header(data, station, "RCS");
  data.character(name.at(0));
  data.contact_address(name, 1);
  return data.finish_frame();
}

py::str write_single_contact(py::handle station, py::handle contact, py::handle value) {
  // Reached from C++ as well, where nothing checked the name on entry.
  kernel::check_text_argument(contact, "contact");
  Text name(contact);
  check_station(station);
  check_contact_address(name);
  TextBuilder data;
  header(data, station, "WCS");
  data.character(name.at(0));
  data.contact_address(name, 1);
  data.ascii(kernel::is_true(value) ? '1' : '0');
  return data.finish_frame();
}

py::str read_contact_words(py::handle station, py::handle contact_start, py::handle contact_end,
                           py::handle word_count) {
  Text start(contact_start);
  assert_that([&] { return start.at(0) == 'W'; });
  check_assertion(contact_end.is_none() || word_count.is_none());
  check_assertion(!contact_end.is_none() || !word_count.is_none());
  bool counted = !word_count.is_none();
  if (counted) {
    check_count(word_count, "word count below 1: %R");
  } else {
    Text end(contact_end);
    assert_that([&] { return start.at(1) == end.at(1); });
    assert_that([&] {
      py::object end_number = end.number(2, PY_SSIZE_T_MAX, 10);
      return end_number >= start.number(2, PY_SSIZE_T_MAX, 10);
    });
  }
  check_station(station);
  check_first_word_number(start);
  Number last;
  if (counted) {
    last = last_number(number_at(start, 2), word_count);
    check_last_word_number(last);
  } else {
    check_word_number(Text(contact_end), "last word number out of range 0 to 9999: %R",
                      "last word number longer than 4 characters: %R");
  }
  TextBuilder data;
  header(data, station, "RCC");
  data.character(start.at(1));
  data.contact_address(start, 2);
  if (counted)
    append_word_number(data, last);
  else
    data.contact_address(Text(contact_end), 2);
  return data.finish_frame();
}

py::str write_contact_words(py::handle station, py::handle contact_start, py::handle values) {
  Text start(contact_start);
  assert_that([&] { return start.at(0) == 'W'; });
  Py_ssize_t count = checked_length(values);
  check_station(station);
  TextBuilder data;
  header(data, station, "WCC");
  data.character(start.at(1));
  check_first_word_number(start);
  Number last = last_number(number_at(start, 2), py::int_(count));
  check_last_word_number(last);
  py::object words = checked_words(values);
  data.contact_address(start, 2);
  append_word_number(data, last);
  append_words(data, words);
  return data.finish_frame();
}

py::str read_data_area(py::handle station, py::handle reg_start, py::handle reg_count) {
  check_count(reg_count, "register count below 1: %R");
  check_station(station);
  TextBuilder data;
  header(data, station, "RD");
  append_data_area(data, data_area(Text(reg_start), reg_count));
  return data.finish_frame();
}

py::str write_data_area(py::handle station, py::handle reg_start, py::handle values) {
  Py_ssize_t count = checked_length(values);
  check_station(station);
  TextBuilder data;
  header(data, station, "WD");
  append_data_area(data, data_area(Text(reg_start), py::int_(count)));
  py::object words = checked_words(values);
  append_words(data, words);
  return data.finish_frame();
}

} // namespace zul_mew::codec
