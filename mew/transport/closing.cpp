// The with statement for a channel and for every node.
#include "mew/transport/closing.hpp"

#include "module/kernel/names.hpp"

namespace zul_mew::transport {

py::object enter(py::handle self) { return py::reinterpret_borrow<py::object>(self); }

// close is looked up on the object, so a node's own stop runs in full.
void exit_closing(py::handle self, py::handle, py::handle, py::handle) { self.attr(ID(close))(); }

} // namespace zul_mew::transport
