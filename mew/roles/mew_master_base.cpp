// MewMasterBase: one exchange of request and answer.
#include "mew/codec/mew_static.hpp"
#include "module/classes.hpp"
#include "module/kernel/names.hpp"

#include <cmath>

namespace zul_mew::roles {

namespace {

using codec::Text;
using kernel::steal;
using kernel::Type;

// An error answer carries the station's code, read as the two hexadecimal
// digits it is; None when the station sent anything else there.
[[noreturn]] void raise_error_answer(const py::str &err) {
  py::object message = kernel::format("MEW communication error code(hex): %U", err.ptr());
  auto digits = Text(err).visit(
      [](auto *chars, std::size_t length) { return codec::parse_digits(chars, length, 16); });
  py::object code = py::none();
  if (digits)
    code = py::int_(*digits);
  static const py::handle named_code = kernel::keywords({ID(code)});
  kernel::raise_object(
      kernel::call(kernel::module_global(ID(MewErrorAnswer)), {message, code}, named_code));
}

void init(py::handle self, py::tuple args, py::dict kwargs) {
  py::handle key = ID(query_timeout);
  if (kwargs.contains(key)) {
    self.attr(ID(_query_timeout)) = kwargs.attr(ID(pop))(key);
  } else {
    self.attr(ID(_query_timeout)) = 1;
  }
  kernel::module_global(ID(MewBase)).attr(ID(__init__))(self, *args, **kwargs);
  self.attr(ID(_query_lock)) = kernel::module_global(ID(Lock))();
}

py::object query(py::handle self, py::handle command) {
  return kernel::with_lock(self.attr(ID(_query_lock)),
                           [&] { return self.attr(ID(_query))(command); });
}

void register_listener(py::handle self, py::handle listener) {
  kernel::with_lock(self.attr(ID(_listener_lock)),
                    [&] { self.attr(ID(_feedback_listeners)).attr(ID(append))(listener); });
}

void remove_listener(py::handle self, py::handle listener) {
  kernel::with_lock(self.attr(ID(_listener_lock)),
                    [&] { self.attr(ID(_feedback_listeners)).attr(ID(remove))(listener); });
}

// The longest wait the host's locks take, and so its queues.
double longest_wait() {
  static const double longest = py::module_::import("threading").attr("TIMEOUT_MAX").cast<double>();
  return longest;
}

// A time-out the host cannot wait for would fail only once the request has
// left: a write would happen and be reported as failed, and NaN would spin.
py::object checked_timeout(py::handle self) {
  py::object timeout = self.attr(ID(_query_timeout));
  double seconds = timeout.is_none() ? INFINITY : PyFloat_AsDouble(timeout.ptr());
  if (seconds == -1.0 && PyErr_Occurred()) {
    if (!PyErr_ExceptionMatches(PyExc_OverflowError))
      kernel::raise_pending();
    PyErr_Clear();
    seconds = INFINITY;
  }
  if (seconds >= 0 && seconds <= longest_wait())
    return timeout;
  kernel::raise(PyExc_ValueError,
                kernel::format("MewMasterBase: query_timeout %R cannot be waited for "
                               "(0 to %R seconds)",
                               timeout.ptr(), py::float_(longest_wait()).ptr()));
}

// The first answer put into the listener within the query time-out; None
// when none came.
py::object wait_answer(py::handle listener, py::handle timeout) {
  static const py::handle timeout_keyword = kernel::keywords({ID(timeout)});
  try {
    return kernel::call_waiting(listener, ID(get), {timeout}, timeout_keyword);
  } catch (py::error_already_set &error) {
    if (!error.matches(kernel::module_global(ID(Empty))))
      throw;
  }
  return py::none();
}

// Sends the request and waits for its answer. The listener is registered
// before the request leaves, so an answer arriving at once is collected; it
// is removed on every exit, so no later answer reaches a finished exchange.
py::object exchange(py::handle self, py::handle command) {
  py::object timeout = checked_timeout(self);
  py::object listener = kernel::module_global(ID(Queue))();
  register_listener(self, listener);
  return kernel::finally(
      [&] {
        self.attr(ID(_send))(command);
        return wait_answer(listener, timeout);
      },
      [&] { remove_listener(self, listener); });
}

// A digit flipped by line noise leaves a plausible answer that only its
// check code gives away; "**" marks an answer its station left unchecked.
void check_answer_code(const Text &answer) {
  Py_UCS4 high = answer.at(-3), low = answer.at(-2);
  if (high == codec::kIgnoreBcc && low == codec::kIgnoreBcc)
    return;
  py::str checked = answer.slice(0, -3);
  Py_ssize_t length = 0;
  const char *bytes = PyUnicode_AsUTF8AndSize(checked.ptr(), &length);
  if (!bytes)
    kernel::raise_pending();
  std::uint8_t bcc = codec::xor_bytes({bytes, static_cast<std::size_t>(length)});
  char expected[3] = {codec::kHexDigits[bcc >> 4], codec::kHexDigits[bcc & 15], '\0'};
  if (high == static_cast<unsigned char>(expected[0]) &&
      low == static_cast<unsigned char>(expected[1]))
    return;
  kernel::raise_failure(
      ID(MewCheckCodeError),
      kernel::format("Error: device response check code mismatch: expected %s, got %U", expected,
                     answer.slice(-3, -1).ptr()));
}

py::str query_unlocked(py::handle self, py::handle request) {
  py::object command = py::reinterpret_borrow<py::object>(request);
  // A request without its tail would never end on the line.
  if (!kernel::is_true(command.attr(ID(endswith))("\r")))
    command = command + py::str("\r");
  py::object data = exchange(self, command);
  if (data.is_none())
    kernel::raise_failure(ID(MewTimeoutError), "MewMasterBase: device response timeout.");
  py::object station = codec::parse_station(data);
  Text answer(data);
  Py_UCS4 head = answer.at(0);
  if (head != codec::kHead)
    kernel::raise_failure(ID(MewFormatError),
                          kernel::format("Error: device response format invalid: begin with: %c",
                                         static_cast<int>(head)));
  if (answer.size() < static_cast<Py_ssize_t>(codec::kShortestFrame))
    kernel::raise_failure(
        ID(MewFormatError),
        kernel::format("Error: device response format invalid: length too small: %zd",
                       answer.size()));
  check_answer_code(answer);
  py::object src_station = codec::parse_station(command);
  long cmd_idx = codec::command_start_position(data);
  if (src_station.not_equal(station))
    kernel::raise_failure(ID(MewStationError),
                          kernel::format("Error: station not match: expected %S, got %S",
                                         src_station.ptr(), station.ptr()));
  if (codec::frame_type(data) == codec::kError)
    raise_error_answer(answer.slice(cmd_idx, cmd_idx + 2));
  return answer.slice(cmd_idx, -3);
}

} // namespace

const kernel::ClassDef &mew_master_base_class() {
  using namespace kernel;
  static const ClassDef def{
      "MewMasterBase",
      {"MewBase"},
      {
          method({"__init__", {self(), var_args("args"), var_kw("kwargs")}, init}),
          method({"query", {self(), arg("command")}, query, Type::Text}),
          method({"_query", {self(), arg("command")}, query_unlocked, Type::Text}),
      }};
  return def;
}

} // namespace zul_mew::roles
