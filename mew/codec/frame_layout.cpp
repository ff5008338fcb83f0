// Frame layout and check code: BCC, station field, type character, command.
#include "mew/codec/mew_static.hpp"

#include <cstring>

namespace zul_mew::codec {

using kernel::steal;

py::object calc_crc(py::handle data, py::handle init) {
  if (data.is_none())
    none_has_no_encode();
  Py_ssize_t length = 0;
  const char *bytes = PyUnicode_AsUTF8AndSize(data.ptr(), &length);
  if (!bytes)
    kernel::raise_pending();
  std::uint8_t bcc = xor_bytes({bytes, static_cast<std::size_t>(length)});
  std::int64_t start;
  if (small_int(init, start))
    return steal(PyLong_FromLongLong(start ^ bcc));
  // The accumulator is not masked: any start value the host can XOR works,
  // and with no bytes at all the start value comes back as it was given.
  if (length == 0)
    return py::reinterpret_borrow<py::object>(init);
  py::int_ folded(bcc);
  return init ^= folded;
}

bool crc_is_ok(py::handle frame) {
  Text text(frame);
  py::str received_object = text.slice(-3, -1);
  Text received(received_object);
  if (received.at(0) == kIgnoreBcc || received.at(1) == kIgnoreBcc)
    return received.at(0) == received.at(1);
  py::object expected = to_int(received_object, 16);
  py::object actual = calc_crc(text.slice(0, -3), py::int_(0));
  return expected.equal(actual);
}

namespace {

// Every frame the module builds is ASCII: closed in one copy into the result.
py::str closed_ascii(py::handle data) {
  Py_ssize_t length = PyUnicode_GET_LENGTH(data.ptr());
  const char *chars = static_cast<const char *>(PyUnicode_DATA(data.ptr()));
  PyObject *frame = PyUnicode_New(length + 3, 127);
  if (!frame)
    kernel::raise_pending();
  char *out = static_cast<char *>(PyUnicode_DATA(frame));
  std::memcpy(out, chars, static_cast<std::size_t>(length));
  auto closing = closing_of(xor_bytes({chars, static_cast<std::size_t>(length)}));
  std::memcpy(out + length, closing.data(), closing.size());
  return py::reinterpret_steal<py::str>(frame);
}

} // namespace

py::str append_tail(py::handle data) {
  if (data.is_none())
    none_has_no_encode();
  if (PyUnicode_CheckExact(data.ptr()) && PyUnicode_IS_ASCII(data.ptr()))
    return closed_ascii(data);
  TextBuilder frame;
  frame.text(data);
  return frame.finish_frame();
}

long command_start_position(py::handle data) { return find_station_end(data) + 1; }

Command parse_command(py::handle data) {
  long pos = command_start_position(data);
  Text text(data);
  if (pos >= text.size())
    return Command::Unknown;
  return text.visit([pos](auto *chars, std::size_t length) {
    std::size_t start = static_cast<std::size_t>(pos);
    std::size_t count = length - start < 3 ? length - start : 3;
    return command_of(chars + start, count);
  });
}

Py_UCS4 frame_type(py::handle data) {
  long edge = find_station_end(data);
  return Text(data).at(edge);
}

py::object parse_station(py::handle data) {
  long pos = find_station_end(data);
  return Text(data).number(1, pos, 16);
}

} // namespace zul_mew::codec
