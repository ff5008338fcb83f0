// RandomMewSlaveDemo: a slave answering reads with random values.
#include "mew/roles/request_worker.hpp"
#include "mew/roles/slave_handlers.hpp"
#include "module/classes.hpp"
#include "module/kernel/host.hpp"

namespace zul_mew::demo {

namespace {

using kernel::Args;
using kernel::module_name;
using kernel::steal;

// The pause of an idle worker between two looks at its queue and stop flag.
constexpr double kIdlePause = 0.01;

const kernel::Name kMewBase("MewBase");
const kernel::Name kMewSlaveBase("MewSlaveBase");
const kernel::Name kSleep("sleep");
const kernel::Name kRandom("_random");
const kernel::Name kInit("__init__");
const kernel::Name kStart("start");
const kernel::Name kStop("stop");
const kernel::Name kEmpty("empty");
const kernel::Name kGet("get");
const kernel::Name kChoice("choice");
const kernel::Name kRandint("randint");
const kernel::Name kSlaveThread("_slave_thread");
const kernel::Name kSlaveStopFlag("_slave_stop_flag");
const kernel::Name kOnGetMultiCoilUint16("on_get_multi_coil_uint16");

py::object init(const Args &a) {
  py::handle self = a[0], station = a[1];
  py::tuple args = py::reinterpret_borrow<py::tuple>(a[2]);
  py::dict kwargs = py::reinterpret_borrow<py::dict>(a[3]);
  module_name(kMewBase).attr(kInit)(self, *args, **kwargs);
  module_name(kMewSlaveBase).attr(kInit)(self, station);
  self.attr(kSlaveThread) = py::none();
  self.attr(kSlaveStopFlag) = py::bool_(true);
  return py::none();
}

// Polls its queue, so that a stop is seen within one pause even when no
// request comes.
void serve_requests(py::handle self, py::handle request_queue) {
  while (!roles::request_worker_stopping(self)) {
    if (!kernel::is_true(request_queue.attr(kEmpty)()))
      roles::serve_request(self, request_queue.attr(kGet)(), "RandomMewSlaveDemo");
    else
      module_name(kSleep)(kIdlePause);
  }
}

py::object check_and_process_request(const Args &a) {
  roles::run_request_worker(a[0], serve_requests);
  return py::none();
}

py::object start(const Args &a) {
  module_name(kMewBase).attr(kStart)(a[0]);
  roles::start_request_worker(a[0]);
  return py::none();
}

// The worker goes first, so that its queue is gone before the receiver stops.
py::object stop(const Args &a) {
  roles::stop_request_worker(a[0]);
  module_name(kMewBase).attr(kStop)(a[0]);
  return py::none();
}

py::object on_get_coil(const Args &) {
  return module_name(kRandom).attr(kChoice)(py::make_tuple(true, false));
}

py::object on_get_multi_coil_uint16(const Args &a) {
  Py_ssize_t count = PyNumber_AsSsize_t(a[2].ptr(), PyExc_OverflowError);
  if (count == -1 && PyErr_Occurred())
    kernel::raise_pending();
  py::object randint = module_name(kRandom).attr(kRandint);
  py::list values;
  for (Py_ssize_t i = 0; i < count; ++i)
    values.append(randint(0, 65535));
  return values;
}

py::object on_get_multi_uint16(const Args &a) {
  return a[0].attr(kOnGetMultiCoilUint16)(a[1], a[2]);
}

void report(const char *what, py::handle name, const char *verb, py::handle value) {
  kernel::print(py::str(what) + py::str(name) + py::str(verb) + py::str(value));
}

py::object on_set_coil(const Args &a) {
  report("Slave: Contact ", a[1], " is set to ", a[2]);
  return py::none();
}

py::object on_set_multi_coil_uint16(const Args &a) {
  report("Slave: Contact Crow ", a[1], " wrote to ", a[2]);
  return py::none();
}

py::object on_set_multi_uint16(const Args &a) {
  report("Slave: Registers ", a[1], " wrote to ", a[2]);
  return py::none();
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
