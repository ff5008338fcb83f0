// MewBase: the link engine of every node.
#include "mew/codec/mew_static.hpp"
#include "mew/link/serving.hpp"
#include "mew/transport/closing.hpp"
#include "mew/transport/mew_serial.hpp"
#include "module/classes.hpp"
#include "module/kernel/names.hpp"

namespace zul_mew::link {

namespace {

using kernel::steal;
using kernel::Type;

// After a failed frame the receiver waits this long, so a port that keeps
// failing is retried ten times a second rather than in a tight loop.
constexpr double kIoErrorPause = 0.1;

// Serial ports are named like COM3 or /dev/ttyUSB0, in any case.
bool is_port_name(py::handle name) {
  py::object lowered = name.attr(ID(lower))();
  return kernel::is_true(lowered.attr(ID(startswith))(py::make_tuple("com", "/dev/tty")));
}

py::object open_port(py::handle name, py::dict kwargs) {
  if (!is_port_name(name))
    kernel::raise(PyExc_ValueError, kernel::format("Unknown device name: %S", name.ptr()));
  kwargs[ID(port)] = name;
  return kernel::module_global(ID(MewSerial))(**kwargs);
}

void init(py::handle self, py::handle channel, py::dict kwargs) {
  if (py::isinstance<py::str>(channel))
    self.attr(ID(_channel)) = open_port(channel, kwargs);
  else
    self.attr(ID(_channel)) = channel;
  self.attr(ID(_stop_flag)) = true;
  self.attr(ID(_feedback_listeners)) = py::list();
  self.attr(ID(_query_listeners)) = py::list();
  self.attr(ID(_listener_lock)) = kernel::module_global(ID(Lock))();
  self.attr(ID(_sender_lock)) = kernel::module_global(ID(Lock))();
  self.attr(ID(_receiver_thread)) = py::none();
}

void start(py::handle self) {
  if (!kernel::is_true(self.attr(ID(_stop_flag))))
    return;
  self.attr(ID(_stop_flag)) = false;
  try {
    static const py::handle target = kernel::keywords({ID(target)});
    self.attr(ID(_receiver_thread)) =
        kernel::call(kernel::module_global(ID(Thread)), {self.attr(ID(_receiver))}, target);
    // Whatever arrived while nobody listened belongs to no exchange of this run.
    self.attr(ID(_channel)).attr(ID(flush_input))();
    self.attr(ID(_receiver_thread)).attr(ID(start))();
  } catch (py::error_already_set &) {
    // No receiver runs (a closed port refuses the flush): the node stays
    // stopped, so a later stop or start still works.
    self.attr(ID(_stop_flag)) = true;
    throw;
  }
}

void stop(py::handle self) {
  if (kernel::is_true(self.attr(ID(_stop_flag))))
    return;
  self.attr(ID(_stop_flag)) = true;
  // A line that keeps sending would hold the receiver in one frame until the
  // longest frame has come, minutes at a slow line speed.
  transport::cancel_read(self.attr(ID(_channel)));
  self.attr(ID(_receiver_thread)).attr(ID(join))();
}

void close(py::handle self) {
  self.attr(ID(stop))();
  if (Serving::close_after_answer(self))
    return;
  self.attr(ID(_channel)).attr(ID(close))();
}

void deliver(py::handle listeners, py::handle line) {
  for (py::handle listener : listeners)
    listener.attr(ID(put))(line);
}

void report(const char *format, py::handle value) {
  kernel::print(kernel::format(format, value.ptr()));
}

// Answers go to every waiting master, requests to every request worker.
void dispatch(py::handle self, py::handle line) {
  Py_UCS4 type = codec::frame_type(line);
  if (type == codec::kFeedback || type == codec::kError) {
    deliver(self.attr(ID(_feedback_listeners)), line);
  } else if (type == codec::kQuery) {
    py::object listeners = self.attr(ID(_query_listeners));
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
    py::object line = first + channel.attr(ID(receive_frame))();
    kernel::with_lock(self.attr(ID(_listener_lock)), [&] { dispatch(self, line); });
  } catch (py::error_already_set &error) {
    if (error.matches(PyExc_IOError)) {
      report("IOError from MewFullDuplex: %S", error.value());
      kernel::module_global(ID(sleep))(kIoErrorPause);
    } else if (error.matches(PyExc_Exception)) {
      report("Ignore unhandled exception: %S", error.value());
    } else {
      throw;
    }
  }
}

// The only reader of the line. A failing read ends the thread: the port is
// gone, and the node stays without receiver until it is stopped.
void receiver(py::handle self) {
  while (!kernel::is_true(self.attr(ID(_stop_flag)))) {
    py::object channel = self.attr(ID(_channel));
    py::object first = channel.attr(ID(read))();
    if (kernel::is_true(first))
      handle_frame(self, channel, first);
  }
}

void send(py::handle self, py::handle data) {
  kernel::with_lock(self.attr(ID(_sender_lock)),
                    [&] { self.attr(ID(_channel)).attr(ID(send_frame))(data); });
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
