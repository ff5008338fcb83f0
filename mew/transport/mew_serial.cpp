// MewSerial: a channel over a serial port.
#include "mew/codec/mew_static.hpp"
#include "mew/transport/closing.hpp"
#include "module/classes.hpp"

#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cmath>
#include <cstring>
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
const kernel::Name kIsOpen("is_open");
const kernel::Name kFd("fd");
const kernel::Name kPipeAbortRead("pipe_abort_read_r");
const kernel::Name kFormat("format");
const kernel::Name kTimeoutSetting("_timeout");

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

// The serial package's own POSIX port. Its read costs far more than the byte
// it fetches, so a port of exactly this class is read at its descriptor, the
// way its read would do it; any other serial object is read through its read.
struct PosixPort {
  py::object type;
  py::object serial_exception;
};

const PosixPort *find_posix_port() {
  PyObject *module = PyImport_GetModule(py::str("serial.serialposix").ptr());
  if (!module) {
    PyErr_Clear();
    return nullptr;
  }
  py::object posix = steal(module);
  // Kept for the life of the interpreter, like the module itself.
  return new PosixPort{posix.attr(kSerial), posix.attr("SerialException")};
}

// Looked up once, under the GIL.
const PosixPort *posix_port() {
  static bool looked_up = false;
  static const PosixPort *port = nullptr;
  if (!looked_up) {
    port = find_posix_port();
    looked_up = true;
  }
  return port;
}

// What the port's own read needs: an open port, its descriptor, the
// descriptor that cancels a read, and the time-out.
struct Descriptors {
  int fd;
  int abort;
  bool blocking;
  double timeout;
};

bool as_descriptor(py::handle value, int &fd) {
  if (!PyLong_CheckExact(value.ptr()))
    return false;
  long number = PyLong_AsLong(value.ptr());
  if (number == -1 && PyErr_Occurred()) {
    PyErr_Clear();
    return false;
  }
  fd = static_cast<int>(number);
  return number >= 0 && number == fd;
}

bool direct_readable(py::handle serial, Descriptors &d) {
  const PosixPort *port = posix_port();
  if (!port || Py_TYPE(serial.ptr()) != reinterpret_cast<PyTypeObject *>(port->type.ptr()))
    return false;
  if (serial.attr(kIsOpen).ptr() != Py_True)
    return false;
  if (!as_descriptor(serial.attr(kFd), d.fd) ||
      !as_descriptor(serial.attr(kPipeAbortRead), d.abort))
    return false;
  py::object timeout = serial.attr(kTimeoutSetting);
  d.blocking = timeout.is_none();
  d.timeout = d.blocking ? 0 : timeout.cast<double>();
  return true;
}

[[noreturn]] void raise_serial(py::handle message) {
  py::object error = posix_port()->serial_exception(message);
  py::set_error(posix_port()->serial_exception, error);
  throw py::error_already_set();
}

[[noreturn]] void raise_read_failed(int error) {
  py::object os_error = py::handle(PyExc_OSError)(error, std::strerror(error));
  raise_serial(py::str("read failed: {}").attr(kFormat)(os_error));
}

// Closing the port cancels a read in progress; a descriptor closed behind the
// port's back fails the read.
bool closed_by_the_port(py::handle serial, const Descriptors &d) {
  Descriptors now_open;
  return !direct_readable(serial, now_open) || now_open.fd != d.fd || now_open.abort != d.abort;
}

double now() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// Milliseconds for poll, rounded up so the wait never ends before the deadline.
int milliseconds_until(double deadline) {
  double left = std::ceil((deadline - now()) * 1000);
  if (left <= 0)
    return 0;
  return left < INT_MAX ? static_cast<int>(left) : INT_MAX;
}

enum class Outcome { Byte, Nothing, Closed, Empty, Failed, Interrupted };

bool transient(int error) {
  return error == EAGAIN || error == EALREADY || error == EWOULDBLOCK || error == EINPROGRESS;
}

// One byte by the port's own rules, without the GIL: wait for input until
// the deadline, then read one byte. A cancelled read wins over input.
Outcome read_byte_unlocked(const Descriptors &d, double deadline, char &byte, int &error) {
  for (;;) {
    pollfd watched[2] = {{d.fd, POLLIN, 0}, {d.abort, POLLIN, 0}};
    int ready = poll(watched, 2, d.blocking ? -1 : milliseconds_until(deadline));
    if (ready == 0)
      return Outcome::Nothing;
    if (ready > 0) {
      if (watched[1].revents && !(watched[1].revents & POLLNVAL)) {
        char cancels[1000];
        [[maybe_unused]] ssize_t drained = ::read(d.abort, cancels, sizeof cancels);
        return Outcome::Nothing;
      }
      if ((watched[0].revents | watched[1].revents) & POLLNVAL)
        return Outcome::Closed;
      ssize_t got = ::read(d.fd, &byte, 1);
      if (got == 1)
        return Outcome::Byte;
      if (got == 0)
        return Outcome::Empty;
    }
    error = errno;
    if (error == EINTR)
      return Outcome::Interrupted;
    if (!transient(error))
      return Outcome::Failed;
    if (!d.blocking && now() >= deadline)
      return Outcome::Nothing;
  }
}

// What the port's own read makes of an outcome that is not a byte: silence,
// or its exception. True when the wait goes on after a handled signal.
bool settle(py::handle serial, const Descriptors &d, Outcome got, int error) {
  switch (got) {
  case Outcome::Interrupted:
    if (PyErr_CheckSignals() < 0)
      kernel::raise_pending();
    return true;
  case Outcome::Closed:
    if (closed_by_the_port(serial, d))
      return false;
    raise_read_failed(EBADF);
  case Outcome::Empty:
    // A vanished device stays readable but yields nothing.
    raise_serial(py::str("device reports readiness to read but returned no data "
                         "(device disconnected or multiple access on port?)"));
  case Outcome::Failed:
    raise_read_failed(error);
  default:
    return false;
  }
}

// One byte within the port's time-out; false when none came.
bool read_direct(py::handle serial, const Descriptors &d, char &byte) {
  double deadline = now() + d.timeout;
  for (;;) {
    int error = 0;
    Outcome got;
    {
      py::gil_scoped_release unlocked;
      got = read_byte_unlocked(d, deadline, byte, error);
    }
    if (got == Outcome::Byte || !settle(serial, d, got, error))
      return got == Outcome::Byte;
  }
}

// A frame comes in a burst: the bytes the port reports waiting after a wait
// are read one by one without waiting again. They arrived before any later
// cancel of the read, as a byte found by the port's own wait does.
Outcome next_byte(const Descriptors &d, double deadline, int &waiting, char &byte, int &error) {
  if (waiting > 0) {
    --waiting;
    if (::read(d.fd, &byte, 1) == 1)
      return Outcome::Byte;
    waiting = 0;
  }
  Outcome got = read_byte_unlocked(d, deadline, byte, error);
  if (got == Outcome::Byte && ioctl(d.fd, FIONREAD, &waiting) != 0)
    waiting = 0;
  return got;
}

// Bytes up to the carriage return, each read as the port's own read of one
// byte would read it, under one release of the GIL for the whole frame.
void read_frame_direct(py::handle serial, const Descriptors &d, std::string &buffer) {
  double deadline = now() + d.timeout;
  int waiting = 0;
  for (;;) {
    int error = 0;
    Outcome got;
    {
      py::gil_scoped_release unlocked;
      char byte;
      while ((got = next_byte(d, deadline, waiting, byte, error)) == Outcome::Byte) {
        buffer.push_back(byte);
        if (byte == codec::kTail)
          return;
        deadline = now() + d.timeout;
      }
    }
    if (!settle(serial, d, got, error))
      return;
  }
}

void read_frame_through_read(py::handle serial, std::string &buffer) {
  py::object read_byte = serial.attr(kRead);
  for (;;) {
    py::bytes byte = read_byte();
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
// bytes, not the length of the frame.
py::object receive_frame(const Args &a) {
  py::object serial = serial_of(a[0]);
  std::string buffer;
  Descriptors d;
  if (direct_readable(serial, d))
    read_frame_direct(serial, d, buffer);
  else
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
  serial_of(a[0]).attr(kWrite)(encoded);
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
  Descriptors d;
  if (is_one(a[1]) && direct_readable(serial, d)) {
    char byte;
    bool got = read_direct(serial, d, byte);
    return latin(std::string_view(&byte, got ? 1 : 0));
  }
  py::bytes got = serial.attr(kRead)(a[1]);
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
