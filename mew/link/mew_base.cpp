// MewBase: the link engine of every node.
#include "mew/codec/mew_static.hpp"
#include "mew/transport/closing.hpp"
#include "mew/transport/mew_serial.hpp"
#include "module/classes.hpp"

namespace zul_mew::link {

namespace {

using kernel::Args;
using kernel::steal;
using kernel::Type;

const kernel::Name kMewSerial("MewSerial");
const kernel::Name kLock("Lock");
const kernel::Name kThread("Thread");
const kernel::Name kSleep("sleep");
const kernel::Name kPort("port");
const kernel::Name kTarget("target");
const kernel::Name kLower("lower");
const kernel::Name kStartswith("startswith");
const kernel::Name kChannel("_channel");
const kernel::Name kStopFlag("_stop_flag");
const kernel::Name kFeedbackListeners("_feedback_listeners");
const kernel::Name kQueryListeners("_query_listeners");
const kernel::Name kListenerLock("_listener_lock");
const kernel::Name kSenderLock("_sender_lock");
const kernel::Name kReceiverThread("_receiver_thread");
const kernel::Name kReceiver("_receiver");
const kernel::Name kStart("start");
const kernel::Name kStop("stop");
const kernel::Name kJoin("join");
const kernel::Name kClose("close");
const kernel::Name kFlushInput("flush_input");
const kernel::Name kRead("read");
const kernel::Name kReceiveFrame("receive_frame");
const kernel::Name kSendFrame("send_frame");
const kernel::Name kPut("put");

// After a failed frame the receiver waits this long, so a port that keeps
// failing is retried ten times a second rather than in a tight loop.
constexpr double kIoErrorPause = 0.1;

[[noreturn]] void raise_with(PyObject *type, py::handle message) {
  py::set_error(type, message);
  throw py::error_already_set();
}

// Serial ports are named like COM3 or /dev/ttyUSB0, in any case.
bool is_port_name(py::handle name) {
  py::object lowered = name.attr(kLower)();
  return kernel::is_true(lowered.attr(kStartswith)(py::make_tuple("com", "/dev/tty")));
}

py::object open_port(py::handle name, py::dict kwargs) {
  if (!is_port_name(name))
    raise_with(PyExc_ValueError,
               steal(PyUnicode_FromFormat("Unknown device name: %S", name.ptr())));
  kwargs[py::handle(kPort)] = name;
  return kernel::module_name(kMewSerial)(**kwargs);
}

py::object init(const Args &a) {
  py::handle self = a[0];
  py::handle channel = a[1];
  if (py::isinstance<py::str>(channel))
    self.attr(kChannel) = open_port(channel, py::reinterpret_borrow<py::dict>(a[2]));
  else
    self.attr(kChannel) = channel;
  self.attr(kStopFlag) = true;
  self.attr(kFeedbackListeners) = py::list();
  self.attr(kQueryListeners) = py::list();
  self.attr(kListenerLock) = kernel::module_name(kLock)();
  self.attr(kSenderLock) = kernel::module_name(kLock)();
  self.attr(kReceiverThread) = py::none();
  return py::none();
}

py::object start(const Args &a) {
  py::handle self = a[0];
  if (!kernel::is_true(self.attr(kStopFlag)))
    return py::none();
  self.attr(kStopFlag) = false;
  try {
    py::dict options;
    options[py::handle(kTarget)] = self.attr(kReceiver);
    self.attr(kReceiverThread) = kernel::module_name(kThread)(**options);
    // Whatever arrived while nobody listened belongs to no exchange of this run.
    self.attr(kChannel).attr(kFlushInput)();
    self.attr(kReceiverThread).attr(kStart)();
  } catch (py::error_already_set &) {
    // No receiver runs (a closed port refuses the flush): the node stays
    // stopped, so a later stop or start still works.
    self.attr(kStopFlag) = true;
    throw;
  }
  return py::none();
}

py::object stop(const Args &a) {
  py::handle self = a[0];
  if (kernel::is_true(self.attr(kStopFlag)))
    return py::none();
  self.attr(kStopFlag) = true;
  // A line that keeps sending would hold the receiver in one frame until the
  // longest frame has come, minutes at a slow line speed.
  transport::cancel_read(self.attr(kChannel));
  self.attr(kReceiverThread).attr(kJoin)();
  return py::none();
}

py::object close(const Args &a) {
  a[0].attr(kStop)();
  a[0].attr(kChannel).attr(kClose)();
  return py::none();
}

void deliver(py::handle listeners, py::handle line) {
  for (py::handle listener : listeners)
    listener.attr(kPut)(line);
}

void report(const char *format, py::handle value) {
  kernel::print(steal(PyUnicode_FromFormat(format, value.ptr())));
}

// Answers go to every waiting master, requests to every request worker.
void dispatch(py::handle self, py::handle line) {
  Py_UCS4 type = codec::frame_type(line);
  if (type == codec::kFeedback || type == codec::kError) {
    deliver(self.attr(kFeedbackListeners), line);
  } else if (type == codec::kQuery) {
    py::object listeners = self.attr(kQueryListeners);
    if (kernel::is_true(listeners))
      deliver(listeners, line);
    else
      kernel::print(py::str("MewBase: No query listener. Drop frame."));
  } else {
    report("MewBase: Unknown frame type: %U", steal(PyUnicode_FromOrdinal(static_cast<int>(type))));
  }
}

// The rest of a frame whose first character `first` has arrived; errors of
// receiving and dispatching are reported here and never end the receiver.
void handle_frame(py::handle self, py::handle channel, py::handle first) {
  try {
    py::object line = steal(PyNumber_Add(first.ptr(), channel.attr(kReceiveFrame)().ptr()));
    kernel::with_lock(self.attr(kListenerLock), [&] { dispatch(self, line); });
  } catch (py::error_already_set &error) {
    if (error.matches(PyExc_IOError)) {
      report("IOError from MewFullDuplex: %S", error.value());
      kernel::module_name(kSleep)(kIoErrorPause);
    } else if (error.matches(PyExc_Exception)) {
      report("Ignore unhandled exception: %S", error.value());
    } else {
      throw;
    }
  }
}

// The only reader of the line. A failing read ends the thread: the port is
// gone, and the node stays without receiver until it is stopped.
py::object receiver(const Args &a) {
  py::handle self = a[0];
  while (!kernel::is_true(self.attr(kStopFlag))) {
    py::object channel = self.attr(kChannel);
    py::object first = channel.attr(kRead)();
    if (kernel::is_true(first))
      handle_frame(self, channel, first);
  }
  return py::none();
}

py::object send(const Args &a) {
  kernel::with_lock(a[0].attr(kSenderLock), [&] { a[0].attr(kChannel).attr(kSendFrame)(a[1]); });
  return py::none();
}

} // namespace

const kernel::ClassDef &mew_base_class() {
  using namespace kernel;
  static const ClassDef def{
      "MewBase",
      {},
      {
          method({"__init__", {self(), arg("channel"), var_kw("kwargs")}, init}),
          method({"start", {self()}, start}),
          method({"stop", {self()}, stop}),
          method({"close", {self()}, close}),
          method({"_receiver", {self()}, receiver}),
          method({"_send", {self(), arg("data", Type::Text)}, send}),
          method({"__enter__", {self()}, transport::enter}),
          method({"__exit__",
                  {self(), arg("exc_type"), arg("exc_value"), arg("traceback")},
                  transport::exit_closing}),
      }};
  return def;
}

} // namespace zul_mew::link
