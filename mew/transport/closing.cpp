// The with statement for a channel and for every node.
#include "mew/transport/closing.hpp"

#include "module/kernel/host.hpp"

namespace zul_mew::transport {

namespace {
const kernel::Name kClose("close");
}

py::object enter(const kernel::Args &a) { return py::reinterpret_borrow<py::object>(a[0]); }

// close is looked up on the object, so a node's own stop runs in full.
py::object exit_closing(const kernel::Args &a) {
  a[0].attr(kClose)();
  return py::none();
}

} // namespace zul_mew::transport
