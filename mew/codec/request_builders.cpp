// Request builders: one complete request frame per command.
#include "mew/codec/mew_static.hpp"

#include <algorithm>

namespace zul_mew::codec {

using kernel::assert_that;
using kernel::check_assertion;
using kernel::steal;

namespace {

bool compare(py::handle a, py::handle b, int op) {
  int result = PyObject_RichCompareBool(a.ptr(), b.ptr(), op);
  if (result < 0)
    kernel::raise_pending();
  return result == 1;
}

bool compare(py::handle a, long b, int op) {
  std::int64_t v;
  if ((op == Py_GT || op == Py_GE) && small_int(a, v))
    return op == Py_GT ? v > b : v >= b;
  return compare(a, py::int_(b), op);
}

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
  if (negative || compare(value, 0xFFFF, Py_GT)) {
    PyErr_Format(PyExc_ValueError, "16-bit value out of range 0 to 65535: %R", value.ptr());
    kernel::raise_pending();
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
  return count;
}

// A register name: one or two letters of area code, then the decimal address.
Py_ssize_t register_address(const Text &reg) { return Py_UNICODE_ISDIGIT(reg.at(1)) ? 1 : 2; }

void data_area_range(TextBuilder &data, const Text &reg, py::handle count) {
  Py_ssize_t addr = register_address(reg);
  data.character(reg.at(0));
  py::object start = reg.number(addr, PY_SSIZE_T_MAX, 10);
  py::object end = last_of(start, count);
  data.formatted(start, Format::Decimal5);
  data.formatted(end, Format::Decimal5);
}

py::object word_number_end(const Text &name, py::handle count) {
  return last_of(name.number(2, PY_SSIZE_T_MAX, 10), count);
}

} // namespace

py::str read_single_contact(py::handle station, py::handle contact) {
  // Reached from C++ as well, where nothing checked the name on entry.
  kernel::check_text_argument(contact, "contact");
  TextBuilder data;
  header(data, station, "RCS");
  Text name(contact);
  data.character(name.at(0));
  data.contact_address(name, 1);
  return data.finish_frame();
}

py::str write_single_contact(py::handle station, py::handle contact, py::handle value) {
  // Reached from C++ as well, where nothing checked the name on entry.
  kernel::check_text_argument(contact, "contact");
  TextBuilder data;
  header(data, station, "WCS");
  Text name(contact);
  data.character(name.at(0));
  data.contact_address(name, 1);
  int set = PyObject_IsTrue(value.ptr());
  if (set < 0)
    kernel::raise_pending();
  data.ascii(set ? '1' : '0');
  return data.finish_frame();
}

py::str read_contact_words(py::handle station, py::handle contact_start, py::handle contact_end,
                           py::handle word_count) {
  Text start(contact_start);
  assert_that([&] { return start.at(0) == 'W'; });
  check_assertion(contact_end.is_none() || word_count.is_none());
  check_assertion(!contact_end.is_none() || !word_count.is_none());
  py::object last;
  if (!word_count.is_none()) {
    assert_that([&] { return compare(word_count, 0, Py_GT); });
    last = word_number_end(start, word_count);
  } else {
    Text end(contact_end);
    assert_that([&] { return start.at(1) == end.at(1); });
    assert_that([&] {
      py::object end_number = end.number(2, PY_SSIZE_T_MAX, 10);
      return compare(end_number, start.number(2, PY_SSIZE_T_MAX, 10), Py_GE);
    });
  }
  TextBuilder data;
  header(data, station, "RCC");
  data.character(start.at(1));
  data.contact_address(start, 2);
  if (last)
    data.word_number(last);
  else
    data.contact_address(Text(contact_end), 2);
  return data.finish_frame();
}

py::str write_contact_words(py::handle station, py::handle contact_start, py::handle values) {
  Text start(contact_start);
  assert_that([&] { return start.at(0) == 'W'; });
  Py_ssize_t count = checked_length(values);
  py::object words = checked_words(values);
  TextBuilder data;
  header(data, station, "WCC");
  data.character(start.at(1));
  data.contact_address(start, 2);
  data.word_number(word_number_end(start, py::int_(count)));
  append_words(data, words);
  return data.finish_frame();
}

py::str read_data_area(py::handle station, py::handle reg_start, py::handle reg_count) {
  assert_that([&] { return compare(reg_count, 0, Py_GT); });
  TextBuilder data;
  header(data, station, "RD");
  data_area_range(data, Text(reg_start), reg_count);
  return data.finish_frame();
}

py::str write_data_area(py::handle station, py::handle reg_start, py::handle values) {
  Py_ssize_t count = checked_length(values);
  py::object words = checked_words(values);
  TextBuilder data;
  header(data, station, "WD");
  data_area_range(data, Text(reg_start), py::int_(count));
  append_words(data, words);
  return data.finish_frame();
}

} // namespace zul_mew::codec
