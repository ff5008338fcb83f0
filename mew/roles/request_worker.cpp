#include "mew/roles/request_worker.hpp"

#include "mew/link/serving.hpp"
#include "module/kernel/names.hpp"

namespace zul_mew::roles {

namespace {

void register_queue(py::handle self, py::handle request_queue) {
  kernel::with_lock(self.attr(ID(_listener_lock)),
                    [&] { self.attr(ID(_query_listeners)).attr(ID(append))(request_queue); });
}

void withdraw_queue(py::handle self, py::handle request_queue) {
  kernel::with_lock(self.attr(ID(_listener_lock)),
                    [&] { self.attr(ID(_query_listeners)).attr(ID(remove))(request_queue); });
}

void report(const py::error_already_set &error, const char *node) {
  py::object kind = error.type().attr(ID(__name__));
  kernel::print(
      kernel::format("%s: Request not answered: %S: %S", node, kind.ptr(), error.value().ptr()));
}

void answer_request(py::handle self, py::handle frame, const char *node) {
  try {
    py::object answer = self.attr(ID(_process_request))(frame);
    if (!answer.equal(py::str("")))
      self.attr(ID(_send))(answer);
  } catch (py::error_already_set &error) {
    // A malformed request, a failing handler or a failed send must not cost
    // the node its slave side.
    if (!error.matches(PyExc_Exception))
      throw;
    report(error, node);
  }
}

} // namespace

bool request_worker_stopping(py::handle self) {
  return kernel::is_true(self.attr(ID(_slave_stop_flag)));
}

void start_request_worker(py::handle self) {
  if (!request_worker_stopping(self))
    return;
  self.attr(ID(_slave_stop_flag)) = py::bool_(false);
  static const py::handle target = kernel::keywords({ID(target)});
  py::object worker = kernel::call(kernel::module_global(ID(Thread)),
                                   {self.attr(ID(_check_and_process_request))}, target);
  self.attr(ID(_slave_thread)) = worker;
  worker.attr(ID(start))();
}

void stop_request_worker(py::handle self) {
  if (request_worker_stopping(self))
    return;
  self.attr(ID(_slave_stop_flag)) = py::bool_(true);
  // A handler stopping its own node: the worker ends once it has answered.
  if (link::Serving::serves(self))
    return;
  self.attr(ID(_slave_thread)).attr(ID(join))();
}

void run_request_worker(py::handle self, void (*serve)(py::handle, py::handle)) {
  py::object request_queue = kernel::module_global(ID(Queue))();
  register_queue(self, request_queue);
  // However the worker ends, it leaves no queue behind that nobody reads, and
  // an end by an error lets start replace it.
  kernel::finally(
      [&] {
        kernel::on_failure([&] { serve(self, request_queue); },
                           [&] { self.attr(ID(_slave_stop_flag)) = py::bool_(true); });
      },
      [&] { withdraw_queue(self, request_queue); });
}

void serve_request(py::handle self, py::handle frame, const char *node) {
  link::Serving serving(self);
  kernel::finally([&] { answer_request(self, frame, node); },
                  [&] {
                    if (serving.closes_after_answer())
                      self.attr(ID(_channel)).attr(ID(close))();
                  });
}

} // namespace zul_mew::roles
