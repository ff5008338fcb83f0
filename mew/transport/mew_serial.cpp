// MewSerial: a channel over a serial port.
#include "mew/transport/mew_serial.hpp"
#include "mew/codec/mew_static.hpp"
#include "mew/transport/closing.hpp"
#include "mew/transport/port_descriptor.hpp"
#include "module/classes.hpp"
#include "module/kernel/names.hpp"

#include <string>
#include <string_view>

namespace zul_mew::transport {

namespace {

using kernel::steal;
using kernel::Type;

// The port's read time-out is also how often a node's receiver sees its stop flag.
constexpr double kDefaultTimeout = 0.1;

py::object serial_of(py::handle self) { return self.attr(ID(_serial)); }

// One character per byte, so every byte of the line survives as it came.
py::str latin(std::string_view bytes) {
  return steal(
      PyUnicode_DecodeLatin1(bytes.data(), static_cast<Py_ssize_t>(bytes.size()), nullptr));
}

void init(py::handle self, py::dict kwargs) {
  if (!kwargs.contains(ID(timeout)))
    kwargs[ID(timeout)] = kDefaultTimeout;
  self.attr(ID(_serial)) = kernel::module_global(ID(Serial))(**kwargs);
}

void read_frame_through_read(py::handle serial, std::string &buffer) {
  while (buffer.size() < kLongestFrame) {
    py::bytes byte = kernel::call_waiting(serial, ID(read));
    std::string_view got = byte;
    if (got.empty())
      return;
    buffer.append(got);
    if (buffer.back() == codec::kTail)
      return;
  }
}

// Reads byte by byte, so the frame ends exactly at its carriage return and no
// byte of the next frame is taken. The time-out bounds the gap between two
// bytes, not the length of the frame; kLongestFrame bounds that.
py::str receive_frame(py::handle self) {
  py::object serial = serial_of(self);
  std::string buffer;
  if (!read_frame_at_descriptor(serial, buffer))
    read_frame_through_read(serial, buffer);
  if (buffer.empty())
    kernel::raise_failure(ID(MewFormatError), "Error: device no response.");
  if (buffer.back() != codec::kTail)
    kernel::raise_failure(ID(MewFormatError), "Error: device response format invalid.");
  return latin(buffer);
}

py::object in_waiting(py::handle self) { return serial_of(self).attr(ID(in_waiting)); }

void send_frame(py::handle self, py::handle data) {
  if (data.is_none())
    codec::none_has_no_encode();
  py::bytes encoded = steal(PyUnicode_AsUTF8String(data.ptr()));
  py::object serial = serial_of(self);
  std::string_view bytes = encoded;
  std::size_t written;
  if (write_at_descriptor(serial, bytes, written))
    return;
  py::bytes rest = written ? py::bytes(bytes.substr(written)) : encoded;
  kernel::call_waiting(serial, ID(write), {rest});
}

bool is_one(py::handle size) {
  int overflow = 0;
  return PyLong_CheckExact(size.ptr()) && PyLong_AsLongAndOverflow(size.ptr(), &overflow) == 1;
}

// The receiver waits for each frame with a read of one byte: that one goes to
// the descriptor when the port allows it.
py::str read(py::handle self, py::handle size) {
  py::object serial = serial_of(self);
  std::string byte;
  if (is_one(size) && read_byte_at_descriptor(serial, byte))
    return latin(byte);
  py::bytes got = kernel::call_waiting(serial, ID(read), {size});
  return latin(got);
}

void close(py::handle self) { serial_of(self).attr(ID(close))(); }
void flush_input(py::handle self) { serial_of(self).attr(ID(flushInput))(); }
void flush_output(py::handle self) { serial_of(self).attr(ID(flushOutput))(); }

// An object whose construction failed never opened a port: nothing to close,
// and nothing to report from a destructor.
void del(py::handle self) {
  if (py::hasattr(self, ID(_serial)))
    self.attr(ID(close))();
}

} // namespace

void cancel_read(py::handle channel) {
  if (!py::isinstance(channel, kernel::module_global(ID(MewSerial)))) {
    // A wrapper passes the cancel on to the channel it wraps.
    if (py::hasattr(channel, ID(cancel_read)))
      channel.attr(ID(cancel_read))();
    return;
  }
  if (!py::hasattr(channel, ID(_serial)))
    return;
  py::object serial = serial_of(channel);
  if (py::hasattr(serial, ID(cancel_read)))
    serial.attr(ID(cancel_read))();
}

const kernel::ClassDef &mew_serial_class() {
  using namespace kernel;
  static const ClassDef def{
      "MewSerial",
      {"Channel"},
      {
          method({"__init__", {self(), var_kw("kwargs")}, init}),
          method({"receive_frame", {self()}, receive_frame, Type::Text}),
          property({"in_waiting", {self()}, in_waiting, Type::Int}),
          method({"send_frame", {self(), arg("data", Type::Text)}, send_frame}),
          method({"read", {self(), arg_int("size", 1, Type::Int)}, read, Type::Text}),
          method({"close", {self()}, close}),
          method({"flush_input", {self()}, flush_input}),
          method({"flush_output", {self()}, flush_output}),
          method({"__del__", {self()}, del}),
          method({"__enter__", {self()}, enter}),
          method({"__exit__",
                  {self(), arg("exc_type"), arg("exc_value"), arg("traceback")},
                  exit_closing}),
      }};
  return def;
}

} // namespace zul_mew::transport
