// Request builders: one complete request frame per command.
#include "mew/codec/mew_static.hpp"

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

bool compare(py::handle a, long b, int op) { return compare(a, py::int_(b), op); }

void header(TextBuilder &data, py::handle station, const char *command) {
  data.ascii(kHead);
  data.formatted(station, Format::Hex2);
  data.ascii(kQuery);
  data.ascii(command);
}

// A data field wider than four digits or with a minus sign would reach the
// controller as corrupted data, so such values are refused before building.
py::list checked_words(py::handle values) {
  py::list words = steal(PySequence_List(values.ptr()));
  for (py::handle value : words) {
    std::int64_t v;
    if (small_int(value, v) && v >= 0 && v <= 0xFFFF)
      continue;
    bool negative = !non_negative(value);
    if (negative)
      check_assertion(false);
    if (negative || compare(value, 0xFFFF, Py_GT)) {
      PyErr_Format(PyExc_ValueError, "16-bit value out of range 0 to 65535: %R", value.ptr());
      kernel::raise_pending();
    }
  }
  return words;
}

Py_ssize_t checked_length(py::handle values) {
  Py_ssize_t count = PyObject_Length(values.ptr());
  if (count < 0)
    kernel::raise_pending();
  check_assertion(count > 0);
  return count;
}

// A register name: one or two letters of area code, then the decimal address.
py::str register_address(const Text &reg) {
  Py_UCS4 second = reg.at(1);
  return reg.slice(Py_UNICODE_ISDIGIT(second) ? 1 : 2);
}

void data_area_range(TextBuilder &data, const Text &reg, py::handle count) {
  py::str addr = register_address(reg);
  data.character(reg.at(0));
  py::object start = to_int(addr, 10);
  py::object end = steal(PyNumber_Subtract(add(start, count).ptr(), py::int_(1).ptr()));
  data.formatted(start, Format::Decimal5);
  data.formatted(end, Format::Decimal5);
}

py::object word_number_end(const Text &name, py::handle count) {
  py::object start = to_int(name.slice(2), 10);
  return steal(PyNumber_Subtract(add(start, count).ptr(), py::int_(1).ptr()));
}

} // namespace

py::str read_single_contact(py::handle station, py::handle contact) {
  TextBuilder data;
  header(data, station, "RCS");
  Text name(contact);
  data.character(name.at(0));
  data.contact_address(name.slice(1));
  return data.finish_frame();
}

py::str write_single_contact(py::handle station, py::handle contact, py::handle value) {
  TextBuilder data;
  header(data, station, "WCS");
  Text name(contact);
  data.character(name.at(0));
  data.contact_address(name.slice(1));
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
  py::object end_name = py::reinterpret_borrow<py::object>(contact_end);
  if (!word_count.is_none()) {
    assert_that([&] { return compare(word_count, 0, Py_GT); });
    py::object end = word_number_end(start, word_count);
    end_name = steal(PyUnicode_Concat(start.slice(0, 2).ptr(), py::str(end).ptr()));
  } else {
    Text end(contact_end);
    assert_that([&] { return start.at(1) == end.at(1); });
    assert_that([&] {
      py::object last = to_int(end.slice(2), 10);
      return compare(last, to_int(start.slice(2), 10), Py_GE);
    });
  }
  TextBuilder data;
  header(data, station, "RCC");
  data.character(start.at(1));
  data.contact_address(start.slice(2));
  data.contact_address(Text(end_name).slice(2));
  return data.finish_frame();
}

py::str write_contact_words(py::handle station, py::handle contact_start, py::handle values) {
  Text start(contact_start);
  assert_that([&] { return start.at(0) == 'W'; });
  Py_ssize_t count = checked_length(values);
  py::list words = checked_words(values);
  TextBuilder data;
  header(data, station, "WCC");
  data.character(start.at(1));
  data.contact_address(start.slice(2));
  py::object end = word_number_end(start, py::int_(count));
  data.contact_address(py::str(end));
  for (py::handle value : words)
    data.word(value);
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
  py::list words = checked_words(values);
  TextBuilder data;
  header(data, station, "WD");
  data_area_range(data, Text(reg_start), py::int_(count));
  for (py::handle value : words)
    data.word(value);
  return data.finish_frame();
}

} // namespace zul_mew::codec
