// MewFullDuplex: master and slave on one line.
#include "module/classes.hpp"
#include "module/kernel/host.hpp"

namespace zul_mew::roles {

namespace {

using kernel::Args;
using kernel::steal;

// How long the request worker waits for a request before it looks at its stop flag again.
constexpr double kRequestPoll = 0.1;

const kernel::Name kMewBase("MewBase");
const kernel::Name kMewMaster("MewMaster");
const kernel::Name kMewSlaveBase("MewSlaveBase");
const kernel::Name kThread("Thread");
const kernel::Name kQueue("Queue");
const kernel::Name kEmpty("Empty");
const kernel::Name kInit("__init__");
const kernel::Name kStart("start");
const kernel::Name kStop("stop");
const kernel::Name kJoin("join");
const kernel::Name kGet("get");
const kernel::Name kAppend("append");
const kernel::Name kRemove("remove");
const kernel::Name kName("__name__");
const kernel::Name kSlaveStation("slave_station");
const kernel::Name kSlaveThread("_slave_thread");
const kernel::Name kSlaveStopFlag("_slave_stop_flag");
const kernel::Name kListenerLock("_listener_lock");
const kernel::Name kQueryListeners("_query_listeners");
const kernel::Name kProcessRequest("_process_request");
const kernel::Name kSend("_send");
const kernel::Name kCheckAndProcessRequest("_check_and_process_request");

bool truthy(py::handle value) {
  int result = PyObject_IsTrue(value.ptr());
  if (result < 0)
    kernel::raise_pending();
  return result == 1;
}

py::object nothing(const Args &) { return py::none(); }

// Station 0 is the broadcast address, not one a slave can answer to.
void assert_slave_station(py::handle station) {
  if (!kernel::assertions_enabled())
    return;
  int valid = PyObject_RichCompareBool(station.ptr(), py::int_(1).ptr(), Py_GE);
  if (valid < 0)
    kernel::raise_pending();
  kernel::check_assertion(valid == 1);
}

py::object init(const Args &a) {
  py::handle self = a[0];
  auto kwargs = py::reinterpret_borrow<py::dict>(a[2]);
  py::handle key = kSlaveStation;
  py::object slave_station = py::int_(1);
  if (kwargs.contains(key)) {
    slave_station = kwargs[key];
    assert_slave_station(slave_station);
    if (PyDict_DelItem(kwargs.ptr(), key.ptr()) < 0)
      kernel::raise_pending();
  }
  self.attr(kSlaveThread) = py::none();
  self.attr(kSlaveStopFlag) = py::bool_(true);
  kernel::module_name(kMewSlaveBase).attr(kInit)(self, slave_station);
  kernel::module_name(kMewMaster)
      .attr(kInit)(self, *py::reinterpret_borrow<py::tuple>(a[1]), **kwargs);
  return py::none();
}

void register_listener(py::handle self, py::handle request_queue) {
  kernel::LockGuard guard(self.attr(kListenerLock));
  self.attr(kQueryListeners).attr(kAppend)(request_queue);
}

void withdraw_listener(py::handle self, py::handle request_queue) {
  kernel::LockGuard guard(self.attr(kListenerLock));
  self.attr(kQueryListeners).attr(kRemove)(request_queue);
}

void answer_request(py::handle self, py::handle frame) {
  py::object answer = self.attr(kProcessRequest)(frame);
  if (!answer.equal(py::str("")))
    self.attr(kSend)(answer);
}

// One bad request, a failing handler or a failed send must not cost the node
// its slave side: the error is reported and the next request is served.
void report_request_error(const py::error_already_set &error) {
  py::object kind = error.type().attr(kName);
  kernel::print(steal(PyUnicode_FromFormat("MewFullDuplex: Request not answered: %S: %S",
                                           kind.ptr(), error.value().ptr())));
}

void serve_requests(py::handle self, py::handle request_queue) {
  while (!truthy(self.attr(kSlaveStopFlag))) {
    py::object frame;
    try {
      frame = request_queue.attr(kGet)(py::arg("timeout") = kRequestPoll);
    } catch (py::error_already_set &error) {
      if (error.matches(kernel::module_name(kEmpty)))
        continue;
      throw;
    }
    try {
      answer_request(self, frame);
    } catch (py::error_already_set &error) {
      if (!error.matches(PyExc_Exception))
        throw;
      report_request_error(error);
    }
  }
}

py::object check_and_process_request(const Args &a) {
  py::handle self = a[0];
  py::object request_queue = kernel::module_name(kQueue)();
  register_listener(self, request_queue);
  try {
    serve_requests(self, request_queue);
  } catch (py::error_already_set &) {
    // Ended by something other than an error of one request: leave no queue
    // behind that nobody reads, and let start replace this worker.
    withdraw_listener(self, request_queue);
    self.attr(kSlaveStopFlag) = py::bool_(true);
    throw;
  }
  withdraw_listener(self, request_queue);
  return py::none();
}

py::object start(const Args &a) {
  py::handle self = a[0];
  kernel::module_name(kMewBase).attr(kStart)(self);
  if (truthy(self.attr(kSlaveStopFlag))) {
    self.attr(kSlaveStopFlag) = py::bool_(false);
    py::object worker =
        kernel::module_name(kThread)(py::arg("target") = self.attr(kCheckAndProcessRequest));
    self.attr(kSlaveThread) = worker;
    worker.attr(kStart)();
  }
  return py::none();
}

py::object stop(const Args &a) {
  py::handle self = a[0];
  kernel::module_name(kMewBase).attr(kStop)(self);
  if (!truthy(self.attr(kSlaveStopFlag))) {
    self.attr(kSlaveStopFlag) = py::bool_(true);
    self.attr(kSlaveThread).attr(kJoin)();
  }
  return py::none();
}

py::object on_get_coil(const Args &) { return py::bool_(false); }

py::object zeros(const Args &a) {
  py::list zero;
  zero.append(0);
  return steal(PyNumber_Multiply(zero.ptr(), a[2].ptr()));
}

} // namespace

const kernel::ClassDef &mew_full_duplex_class() {
  using namespace kernel;
  static const ClassDef def{
      "MewFullDuplex",
      {"MewMaster", "MewSlaveBase"},
      {
          method({"__init__", {self(), var_args("args"), var_kw("kwargs")}, init}),
          method({"_check_and_process_request", {self()}, check_and_process_request}),
          method({"start", {self()}, start}),
          method({"stop", {self()}, stop}),
          method({"on_get_coil", {self(), arg("name", Type::Text)}, on_get_coil, Type::Bool}),
          method({"on_get_multi_coil_uint16",
                  {self(), arg("name", Type::Text), arg("count", Type::Int)},
                  zeros,
                  Type::ListOfInt}),
          method({"on_get_multi_uint16",
                  {self(), arg("name", Type::Text), arg("count", Type::Int)},
                  zeros,
                  Type::ListOfInt}),
          method({"on_set_coil",
                  {self(), arg("name", Type::Text), arg("value", Type::Bool)},
                  nothing}),
          method({"on_set_multi_coil_uint16",
                  {self(), arg("name", Type::Text), arg("values", Type::ListOfInt)},
                  nothing}),
          method({"on_set_multi_uint16",
                  {self(), arg("name", Type::Text), arg("values", Type::ListOfInt)},
                  nothing}),
      }};
  return def;
}

} // namespace zul_mew::roles
