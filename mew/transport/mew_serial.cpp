// MewSerial: a channel over a serial port.
#include "mew/transport/mew_serial.hpp"
#include "mew/codec/mew_static.hpp"
#include "mew/transport/closing.hpp"
#include "mew/transport/port_descriptor.hpp"
#include "module/classes.hpp"

#include <string>
#include <string_view>

namespace zul_mew::transport {

namespace {

using kernel::Args;
using kernel::steal;
using kernel::Type;

const kernel::Name kSerial("Serial");
const kernel::Name kSerialAttr("_serial");
const kernel::Name kTimeout("timeout");
const kernel::Name kRead("read");
const kernel::Name kWrite("write");
const kernel::Name kInWaiting("in_waiting");
const kernel::Name kClose("close");
const kernel::Name kFlushInput("flushInput");
const kernel::Name kFlushOutput("flushOutput");
const kernel::Name kCancelRead("cancel_read");
const kernel::Name kMewSerial("MewSerial");

// The port's read time-out is also how often a node's receiver sees its stop flag.
constexpr double kDefaultTimeout = 0.1;

py::object serial_of(py::handle self) { return self.attr(kSerialAttr); }

// One character per byte, so every byte of the line survives as it came.
py::str latin(std::string_view bytes) {
  return steal(
      PyUnicode_DecodeLatin1(bytes.data(), static_cast<Py_ssize_t>(bytes.size()), nullptr));
}

py::object init(const Args &a) {
  py::dict kwargs = py::reinterpret_borrow<py::dict>(a[1]);
  if (!kwargs.contains(py::handle(kTimeout)))
    kwargs[py::handle(kTimeout)] = kDefaultTimeout;
  a[0].attr(kSerialAttr) = kernel::module_name(kSerial)(**kwargs);
  return py::none();
}

void read_frame_through_read(py::handle serial, std::string &buffer) {
  while (buffer.size() < kLongestFrame) {
    py::bytes byte = kernel::call_waiting(serial, kRead);
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
py::object receive_frame(const Args &a) {
  py::object serial = serial_of(a[0]);
  std::string buffer;
  if (!read_frame_at_descriptor(serial, buffer))
    read_frame_through_read(serial, buffer);
  if (buffer.empty())
    kernel::raise(PyExc_IOError, "Error: device no response.");
  if (buffer.back() != codec::kTail)
    kernel::raise(PyExc_IOError, "Error: device response format invalid.");
  return latin(buffer);
}

py::object in_waiting(const Args &a) { return serial_of(a[0]).attr(kInWaiting); }

py::object send_frame(const Args &a) {
  if (a[1].is_none())
    codec::none_has_no_encode();
  py::bytes encoded = steal(PyUnicode_AsUTF8String(a[1].ptr()));
  kernel::call_waiting(serial_of(a[0]), kWrite, {encoded});
  return py::none();
}

bool is_one(py::handle size) {
  int overflow = 0;
  return PyLong_CheckExact(size.ptr()) && PyLong_AsLongAndOverflow(size.ptr(), &overflow) == 1;
}

// The receiver waits for each frame with a read of one byte: that one goes to
// the descriptor when the port allows it.
py::object read(const Args &a) {
  py::object serial = serial_of(a[0]);
  std::string byte;
  if (is_one(a[1]) && read_byte_at_descriptor(serial, byte))
    return latin(byte);
  py::bytes got = kernel::call_waiting(serial, kRead, {a[1]});
  return latin(got);
}

py::object close(const Args &a) {
  serial_of(a[0]).attr(kClose)();
  return py::none();
}

py::object flush_input(const Args &a) {
  serial_of(a[0]).attr(kFlushInput)();
  return py::none();
}

py::object flush_output(const Args &a) {
  serial_of(a[0]).attr(kFlushOutput)();
  return py::none();
}

// An object whose construction failed never opened a port: nothing to close,
// and nothing to report from a destructor.
py::object del(const Args &a) {
  if (!py::hasattr(a[0], kSerialAttr))
    return py::none();
  a[0].attr(kClose)();
  return py::none();
}

} // namespace

void cancel_read(py::handle channel) {
  if (!py::isinstance(channel, kernel::module_name(kMewSerial)) ||
      !py::hasattr(channel, kSerialAttr))
    return;
  py::object serial = serial_of(channel);
  if (py::hasattr(serial, kCancelRead))
    serial.attr(kCancelRead)();
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
