// RandomMewSlaveDemo: a slave answering reads with random values.
#include "mew/roles/request_worker.hpp"
#include "mew/roles/slave_handlers.hpp"
#include "module/classes.hpp"
#include "module/kernel/names.hpp"
#include "module/kernel/numbers.hpp"

namespace zul_mew::demo {

namespace {

using kernel::module_global;

// The pause of an idle worker between two looks at its queue and stop flag.
constexpr double kIdlePause = 0.01;

void init(py::handle self, py::handle station, py::tuple args, py::dict kwargs) {
  module_global(ID(MewBase)).attr(ID(__init__))(self, *args, **kwargs);
  module_global(ID(MewSlaveBase)).attr(ID(__init__))(self, station);
  self.attr(ID(_slave_thread)) = py::none();
  self.attr(ID(_slave_stop_flag)) = py::bool_(true);
}

// Polls its queue, so that a stop is seen within one pause even when no
// request comes.
void serve_requests(py::handle self, py::handle request_queue) {
  while (!roles::request_worker_stopping(self)) {
    if (!kernel::is_true(request_queue.attr(ID(empty))()))
      roles::serve_request(self, request_queue.attr(ID(get))(), "RandomMewSlaveDemo");
    else
      module_global(ID(sleep))(kIdlePause);
  }
}

void check_and_process_request(py::handle self) { roles::run_request_worker(self, serve_requests); }

void start(py::handle self) {
  module_global(ID(MewBase)).attr(ID(start))(self);
  roles::start_request_worker(self);
}

// The worker goes first, so that its queue is gone before the receiver stops.
void stop(py::handle self) {
  roles::stop_request_worker(self);
  module_global(ID(MewBase)).attr(ID(stop))(self);
}

py::object on_get_coil(py::handle, py::handle) {
  return module_global(ID(_random)).attr(ID(choice))(py::make_tuple(true, false));
}

py::list on_get_multi_coil_uint16(py::handle, py::handle, py::handle count) {
  Py_ssize_t n = kernel::as_ssize(count);
  py::object randint = module_global(ID(_random)).attr(ID(randint));
  py::list values;
  for (Py_ssize_t i = 0; i < n; ++i)
    values.append(randint(0, 65535));
  return values;
}

py::object on_get_multi_uint16(py::handle self, py::handle name, py::handle count) {
  return self.attr(ID(on_get_multi_coil_uint16))(name, count);
}

void report(const char *what, py::handle name, const char *verb, py::handle value) {
  kernel::print(py::str(what) + py::str(name) + py::str(verb) + py::str(value));
}

void on_set_coil(py::handle, py::handle name, py::handle value) {
  report("Slave: Contact ", name, " is set to ", value);
}

void on_set_multi_coil_uint16(py::handle, py::handle name, py::handle values) {
  report("Slave: Contact Crow ", name, " wrote to ", values);
}

void on_set_multi_uint16(py::handle, py::handle name, py::handle values) {
  report("Slave: Registers ", name, " wrote to ", values);
}

} // namespace

const kernel::ClassDef &random_mew_slave_demo_class() {
  using namespace kernel;
  static const ClassDef def{
      "RandomMewSlaveDemo",
      {"MewBase", "MewSlaveBase"},
      roles::with_slave_handlers(
          {
              method({"__init__",
                      {self(), arg("station", Type::Int), var_args("args"), var_kw("kwargs")},
                      init}),
              method({"_check_and_process_request", {self()}, check_and_process_request}),
              method({"start", {self()}, start}),
              method({"stop", {self()}, stop}),
          },
          method,
          {on_get_coil, on_get_multi_coil_uint16, on_get_multi_uint16, on_set_coil,
           on_set_multi_coil_uint16, on_set_multi_uint16})};
  return def;
}

} // namespace zul_mew::demo
