#include "mew/roles/request_worker.hpp"

namespace zul_mew::roles {

namespace {

const kernel::Name kThread("Thread");
const kernel::Name kQueue("Queue");
const kernel::Name kStart("start");
const kernel::Name kJoin("join");
const kernel::Name kAppend("append");
const kernel::Name kRemove("remove");
const kernel::Name kName("__name__");
const kernel::Name kSlaveThread("_slave_thread");
const kernel::Name kSlaveStopFlag("_slave_stop_flag");
const kernel::Name kListenerLock("_listener_lock");
const kernel::Name kQueryListeners("_query_listeners");
const kernel::Name kProcessRequest("_process_request");
const kernel::Name kSend("_send");
const kernel::Name kCheckAndProcessRequest("_check_and_process_request");

void register_queue(py::handle self, py::handle request_queue) {
  kernel::with_lock(self.attr(kListenerLock),
                    [&] { self.attr(kQueryListeners).attr(kAppend)(request_queue); });
}

void withdraw_queue(py::handle self, py::handle request_queue) {
  kernel::with_lock(self.attr(kListenerLock),
                    [&] { self.attr(kQueryListeners).attr(kRemove)(request_queue); });
}

void report(const py::error_already_set &error, const char *node) {
  py::object kind = error.type().attr(kName);
  kernel::print(kernel::steal(PyUnicode_FromFormat("%s: Request not answered: %S: %S", node,
                                                   kind.ptr(), error.value().ptr())));
}

} // namespace

bool request_worker_stopping(py::handle self) { return kernel::is_true(self.attr(kSlaveStopFlag)); }

void start_request_worker(py::handle self) {
  if (!request_worker_stopping(self))
    return;
  self.attr(kSlaveStopFlag) = py::bool_(false);
  py::object worker =
      kernel::module_name(kThread)(py::arg("target") = self.attr(kCheckAndProcessRequest));
  self.attr(kSlaveThread) = worker;
  worker.attr(kStart)();
}

void stop_request_worker(py::handle self) {
  if (request_worker_stopping(self))
    return;
  self.attr(kSlaveStopFlag) = py::bool_(true);
  self.attr(kSlaveThread).attr(kJoin)();
}

void run_request_worker(py::handle self, void (*serve)(py::handle, py::handle)) {
  py::object request_queue = kernel::module_name(kQueue)();
  register_queue(self, request_queue);
  try {
    serve(self, request_queue);
  } catch (py::error_already_set &) {
    // Ended by something other than an error of one request: leave no queue
    // behind that nobody reads, and let start replace this worker.
    withdraw_queue(self, request_queue);
    self.attr(kSlaveStopFlag) = py::bool_(true);
    throw;
  }
  withdraw_queue(self, request_queue);
}

void serve_request(py::handle self, py::handle frame, const char *node) {
  try {
    py::object answer = self.attr(kProcessRequest)(frame);
    if (!answer.equal(py::str("")))
      self.attr(kSend)(answer);
  } catch (py::error_already_set &error) {
    // A malformed request, a failing handler or a failed send must not cost
    // the node its slave side.
    if (!error.matches(PyExc_Exception))
      throw;
    report(error, node);
  }
}

} // namespace zul_mew::roles
