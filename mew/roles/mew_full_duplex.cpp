// MewFullDuplex: master and slave on one line.
#include "mew/roles/request_worker.hpp"
#include "mew/roles/slave_handlers.hpp"
#include "module/classes.hpp"
#include "module/kernel/names.hpp"

namespace zul_mew::roles {

namespace {

using kernel::nothing;

// How long the request worker waits for a request before it looks at its stop flag again.
constexpr double kRequestPoll = 0.1;

void init(py::handle self, py::tuple args, py::dict kwargs) {
  py::handle key = ID(slave_station);
  py::object slave_station = py::int_(1);
  if (kwargs.contains(key)) {
    slave_station = kwargs.attr(ID(pop))(key);
    kernel::assert_that([&] { return slave_station >= py::int_(1); });
  }
  self.attr(ID(_slave_thread)) = py::none();
  self.attr(ID(_slave_stop_flag)) = py::bool_(true);
  kernel::module_global(ID(MewSlaveBase)).attr(ID(__init__))(self, slave_station);
  kernel::module_global(ID(MewMaster)).attr(ID(__init__))(self, *args, **kwargs);
}

// Waits for each request at most one poll, so that a stop is seen in time.
void serve_requests(py::handle self, py::handle request_queue) {
  static const py::handle timeout = kernel::keywords({ID(timeout)});
  py::float_ poll(kRequestPoll);
  while (!request_worker_stopping(self)) {
    py::object frame;
    try {
      frame = kernel::call(request_queue.attr(ID(get)), {poll}, timeout);
    } catch (py::error_already_set &error) {
      if (error.matches(kernel::module_global(ID(Empty))))
        continue;
      throw;
    }
    serve_request(self, frame, "MewFullDuplex");
  }
}

void check_and_process_request(py::handle self) { run_request_worker(self, serve_requests); }

void start(py::handle self) {
  kernel::module_global(ID(MewBase)).attr(ID(start))(self);
  start_request_worker(self);
}

void stop(py::handle self) {
  kernel::module_global(ID(MewBase)).attr(ID(stop))(self);
  stop_request_worker(self);
}

bool on_get_coil(py::handle, py::handle) { return false; }

py::object zeros(py::handle, py::handle, py::handle count) {
  py::list zero;
  zero.append(0);
  return zero * count;
}

} // namespace

const kernel::ClassDef &mew_full_duplex_class() {
  using namespace kernel;
  static const ClassDef def{
      "MewFullDuplex",
      {"MewMaster", "MewSlaveBase"},
      with_slave_handlers(
          {
              method({"__init__", {self(), var_args("args"), var_kw("kwargs")}, init}),
              method({"_check_and_process_request", {self()}, check_and_process_request}),
              method({"start", {self()}, start}),
              method({"stop", {self()}, stop}),
          },
          method, {on_get_coil, zeros, zeros, nothing, nothing, nothing})};
  return def;
}

} // namespace zul_mew::roles
