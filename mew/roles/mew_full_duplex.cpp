// MewFullDuplex: master and slave on one line.
#include "mew/roles/request_worker.hpp"
#include "mew/roles/slave_handlers.hpp"
#include "module/classes.hpp"
#include "module/kernel/host.hpp"

namespace zul_mew::roles {

namespace {

using kernel::Args;
using kernel::nothing;
using kernel::steal;

// How long the request worker waits for a request before it looks at its stop flag again.
constexpr double kRequestPoll = 0.1;

const kernel::Name kMewBase("MewBase");
const kernel::Name kMewMaster("MewMaster");
const kernel::Name kMewSlaveBase("MewSlaveBase");
const kernel::Name kEmpty("Empty");
const kernel::Name kInit("__init__");
const kernel::Name kStart("start");
const kernel::Name kStop("stop");
const kernel::Name kGet("get");
const kernel::Name kSlaveStation("slave_station");
const kernel::Name kSlaveThread("_slave_thread");
const kernel::Name kSlaveStopFlag("_slave_stop_flag");

// Like the host's assert statement: with assertions disabled not even the
// comparison runs, so any value passes unchanged.
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

// Waits for each request at most one poll, so that a stop is seen in time.
void serve_requests(py::handle self, py::handle request_queue) {
  while (!request_worker_stopping(self)) {
    py::object frame;
    try {
      frame = request_queue.attr(kGet)(py::arg("timeout") = kRequestPoll);
    } catch (py::error_already_set &error) {
      if (error.matches(kernel::module_name(kEmpty)))
        continue;
      throw;
    }
    serve_request(self, frame, "MewFullDuplex");
  }
}

py::object check_and_process_request(const Args &a) {
  run_request_worker(a[0], serve_requests);
  return py::none();
}

py::object start(const Args &a) {
  kernel::module_name(kMewBase).attr(kStart)(a[0]);
  start_request_worker(a[0]);
  return py::none();
}

py::object stop(const Args &a) {
  kernel::module_name(kMewBase).attr(kStop)(a[0]);
  stop_request_worker(a[0]);
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
