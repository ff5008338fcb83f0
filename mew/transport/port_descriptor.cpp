// Reading and writing the serial package's own POSIX port at its descriptor.
#include "mew/transport/port_descriptor.hpp"

#if defined(__unix__) || defined(__APPLE__)

#include "mew/codec/mew_static.hpp"
#include "module/kernel/host.hpp"
#include "module/kernel/names.hpp"
#include "module/kernel/thread_exit.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstring>
#include <string_view>

namespace zul_mew::transport {

namespace {

using kernel::steal;

// A longer time-out, an infinite one or NaN is left to the port's own read,
// which decides what it means.
constexpr double kLongestTimeout = 1e9;

// How long a read goes without the GIL before it looks at the host again: a
// Ctrl-C for the main thread, a port closed by another thread.
constexpr double kLookAtHost = 0.1;

// Bytes collected without the GIL before they are handed to the frame.
constexpr std::size_t kChunk = 512;

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
  return new PosixPort{posix.attr(ID(Serial)), posix.attr("SerialException")};
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

// What the port's own read needs: its descriptor, the descriptor that
// cancels a read, and the time-out.
struct PortState {
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

bool as_timeout(py::handle value, PortState &port) {
  port.blocking = value.is_none();
  port.timeout = 0;
  if (port.blocking)
    return true;
  if (PyFloat_CheckExact(value.ptr())) {
    port.timeout = PyFloat_AS_DOUBLE(value.ptr());
  } else if (PyLong_CheckExact(value.ptr())) {
    port.timeout = PyLong_AsDouble(value.ptr());
    if (port.timeout == -1 && PyErr_Occurred()) {
      PyErr_Clear();
      return false;
    }
  } else {
    return false;
  }
  return port.timeout >= 0 && port.timeout <= kLongestTimeout;
}

bool is_posix_port(py::handle serial) {
  const PosixPort *posix = posix_port();
  return posix && Py_TYPE(serial.ptr()) == reinterpret_cast<PyTypeObject *>(posix->type.ptr());
}

bool readable_at_descriptor(py::handle serial, PortState &port) {
  if (!is_posix_port(serial))
    return false;
  return serial.attr(ID(is_open)).ptr() == Py_True && as_descriptor(serial.attr(ID(fd)), port.fd) &&
         as_descriptor(serial.attr(ID(pipe_abort_read_r)), port.abort) &&
         as_timeout(serial.attr(ID(_timeout)), port);
}

// The port may be closed by another thread between two looks.
bool still_open(py::handle serial, const PortState &opened) {
  PortState now_open;
  return readable_at_descriptor(serial, now_open) && now_open.fd == opened.fd &&
         now_open.abort == opened.abort;
}

[[noreturn]] void raise_serial(py::handle message) {
  kernel::raise_object(posix_port()->serial_exception(message));
}

// As the port words a failed call: "read failed: [Errno 5] ...".
[[noreturn]] void raise_failed(const char *what, int error) {
  py::object os_error = py::handle(PyExc_OSError)(error, std::strerror(error));
  raise_serial(py::str(what).attr(ID(format))(os_error));
}

[[noreturn]] void raise_read_failed(int error) { raise_failed("read failed: {}", error); }

double now() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// Milliseconds for poll, rounded up so the wait never ends before `until`.
int milliseconds_until(double until) {
  double left = std::ceil((until - now()) * 1000);
  return left > 0 ? static_cast<int>(left) : 0;
}

bool transient(int error) {
  return error == EAGAIN || error == EALREADY || error == EWOULDBLOCK || error == EINPROGRESS;
}

// One read of the port, on duplicates of its two descriptors taken while the
// port was known to be open. Nobody else closes them, so a number the port
// gives up and another file takes is never read here; and since the port's
// close closes the only writer of its cancel pipe, the duplicate sees that
// close as a hang-up.
class Reading {
public:
  Reading(const PortState &port) : blocking_(port.blocking), timeout_(port.timeout) {
    fd_ = fcntl(port.fd, F_DUPFD_CLOEXEC, 0);
    abort_ = fd_ < 0 ? -1 : fcntl(port.abort, F_DUPFD_CLOEXEC, 0);
    if (abort_ < 0)
      error = errno;
    deadline_ = now() + timeout_;
  }
  ~Reading() {
    if (fd_ >= 0)
      ::close(fd_);
    if (abort_ >= 0)
      ::close(abort_);
  }
  Reading(const Reading &) = delete;
  Reading &operator=(const Reading &) = delete;

  enum class Outcome { Byte, Full, Tail, Nothing, Closed, Empty, Failed, Interrupted, LookAtHost };

  // Bytes into `chunk` until it is full or, when `to_tail`, the frame's tail
  // has come; or until something only the host can settle.
  Outcome fill(char *chunk, std::size_t room, std::size_t &filled, bool to_tail) noexcept {
    double look_at_host = now() + kLookAtHost;
    while (filled < room) {
      char byte;
      Outcome got = next_byte(byte, look_at_host);
      if (got != Outcome::Byte)
        return got;
      chunk[filled++] = byte;
      double arrived = now();
      deadline_ = arrived + timeout_;
      if (to_tail && byte == codec::kTail)
        return Outcome::Tail;
      if (arrived >= look_at_host)
        return Outcome::LookAtHost;
    }
    return Outcome::Full;
  }

  int error = 0;

private:
  // A frame comes in a burst: the bytes the port reports waiting after a
  // wait are read without waiting again. They arrived before any later
  // cancel, as a byte found by the port's own wait does.
  Outcome next_byte(char &byte, double look_at_host) noexcept {
    if (waiting_ > 0) {
      --waiting_;
      if (::read(fd_, &byte, 1) == 1)
        return Outcome::Byte;
      waiting_ = 0;
    }
    Outcome got = wait_byte(byte, look_at_host);
    if (got == Outcome::Byte && ioctl(fd_, FIONREAD, &waiting_) != 0)
      waiting_ = 0;
    return got;
  }

  // One byte by the port's own rules: wait for input until the deadline,
  // then read one byte. A cancelled read wins over input.
  Outcome wait_byte(char &byte, double look_at_host) noexcept {
    for (;;) {
      bool host_first = blocking_ || look_at_host < deadline_;
      pollfd watched[2] = {{fd_, POLLIN, 0}, {abort_, POLLIN, 0}};
      int ready = poll(watched, 2, milliseconds_until(host_first ? look_at_host : deadline_));
      if (ready == 0)
        return host_first ? Outcome::LookAtHost : Outcome::Nothing;
      if (ready > 0) {
        if (watched[1].revents & POLLIN) {
          char cancels[1000];
          [[maybe_unused]] ssize_t drained = ::read(abort_, cancels, sizeof cancels);
          return Outcome::Nothing;
        }
        if (watched[1].revents)
          return Outcome::Closed;
        ssize_t got = ::read(fd_, &byte, 1);
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
      if (!blocking_ && now() >= deadline_)
        return Outcome::Nothing;
    }
  }

  int fd_;
  int abort_;
  bool blocking_;
  double timeout_;
  double deadline_;
  int waiting_ = 0;
};

using Outcome = Reading::Outcome;

// Settles, under the GIL, an outcome that ended a stretch without it: true
// when the read goes on. Silence, a cancelled read and a port closed under
// it end the read with what it has; a failure raises what the port's own
// read would raise.
bool goes_on(py::handle serial, const PortState &opened, Reading &reading, Outcome got) {
  switch (got) {
  case Outcome::Full:
  case Outcome::LookAtHost:
  case Outcome::Interrupted:
    if (PyErr_CheckSignals() < 0)
      kernel::raise_pending();
    return still_open(serial, opened);
  case Outcome::Empty:
    // A vanished device stays readable but yields nothing.
    raise_serial(py::str("device reports readiness to read but returned no data "
                         "(device disconnected or multiple access on port?)"));
  case Outcome::Failed:
    raise_read_failed(reading.error);
  default:
    return false;
  }
}

// Bytes the port already holds are read at once, under the GIL: such a read
// cannot wait, and letting the GIL go for it would hand it to another thread
// and queue this one behind it. True when the read is complete; otherwise
// what came is in `got` and the read goes on with a wait.
bool take_waiting(const PortState &port, std::string &got, std::size_t limit, bool to_tail) {
  pollfd watched[2] = {{port.fd, POLLIN, 0}, {port.abort, POLLIN, 0}};
  // A cancelled read wins over input, as in the wait.
  if (poll(watched, 2, 0) != 1 || watched[0].revents != POLLIN)
    return false;
  int waiting = 1;
  while (waiting > 0) {
    for (; waiting > 0; --waiting) {
      char byte;
      if (::read(port.fd, &byte, 1) != 1)
        return false;
      got.push_back(byte);
      if (got.size() == limit || (to_tail && byte == codec::kTail))
        return true;
    }
    if (ioctl(port.fd, FIONREAD, &waiting) != 0)
      return false;
  }
  return false;
}

// Reads into `got` until it holds `limit` bytes or the read ends.
bool read_at_descriptor(py::handle serial, std::string &got, std::size_t limit, bool to_tail) {
  PortState port;
  if (!readable_at_descriptor(serial, port))
    return false;
  if (take_waiting(port, got, limit, to_tail))
    return true;
  Reading reading(port);
  if (reading.error)
    raise_read_failed(reading.error);
  char chunk[kChunk];
  for (;;) {
    std::size_t filled = 0;
    std::size_t room = std::min(kChunk, limit - got.size());
    Outcome outcome =
        kernel::without_gil([&]() noexcept { return reading.fill(chunk, room, filled, to_tail); });
    got.append(chunk, filled);
    if (outcome == Outcome::Tail || got.size() == limit || !goes_on(serial, port, reading, outcome))
      return true;
  }
}

// Only a write without time-out, the port's default, is done here: a
// time-out is the port's own to keep. The port opens its descriptor not to
// block; one a host has made blocking could hold the GIL through a wait.
bool writable_at_descriptor(py::handle serial, int &fd, int &abort) {
  return is_posix_port(serial) && serial.attr(ID(is_open)).ptr() == Py_True &&
         serial.attr(ID(_write_timeout)).is_none() && as_descriptor(serial.attr(ID(fd)), fd) &&
         as_descriptor(serial.attr(ID(pipe_abort_write_r)), abort) &&
         (fcntl(fd, F_GETFL) & O_NONBLOCK) != 0;
}

} // namespace

// The port's descriptor does not block, so a frame the port takes whole is
// written under the GIL. The port's own write would then wait until the port
// had room again: that wait sends nothing, and the next write, meeting a full
// port, goes to the port's own write and waits there. A cancel already made
// is taken, as that wait would take it.
bool write_at_descriptor(py::handle serial, std::string_view data, std::size_t &written) {
  written = 0;
  int fd, abort;
  if (data.empty() || !writable_at_descriptor(serial, fd, abort))
    return false;
  ssize_t sent = ::write(fd, data.data(), data.size());
  if (sent < 0) {
    int error = errno;
    if (transient(error) || error == EINTR)
      return false;
    raise_failed("write failed: {}", error);
  }
  written = static_cast<std::size_t>(sent);
  if (written < data.size())
    return false;
  pollfd cancelled = {abort, POLLIN, 0};
  if (poll(&cancelled, 1, 0) == 1 && (cancelled.revents & POLLIN)) {
    char cancel;
    [[maybe_unused]] ssize_t taken = ::read(abort, &cancel, 1);
  }
  return true;
}

bool read_byte_at_descriptor(py::handle serial, std::string &got) {
  return read_at_descriptor(serial, got, 1, false);
}

bool read_frame_at_descriptor(py::handle serial, std::string &frame) {
  return read_at_descriptor(serial, frame, kLongestFrame, true);
}

} // namespace zul_mew::transport

#else

namespace zul_mew::transport {

bool read_byte_at_descriptor(py::handle, std::string &) { return false; }

bool read_frame_at_descriptor(py::handle, std::string &) { return false; }

bool write_at_descriptor(py::handle, std::string_view, std::size_t &written) {
  written = 0;
  return false;
}

} // namespace zul_mew::transport

#endif
