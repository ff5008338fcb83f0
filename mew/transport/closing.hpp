// The with statement for whatever owns a line: the block gets the object
// itself, and leaving the block closes it, by an exception too.
#pragma once

#include "module/kernel/function.hpp"

namespace zul_mew::transport {

namespace py = pybind11;

// __enter__(self)
py::object enter(py::handle self);

// __exit__(self, exc_type, exc_value, traceback): returns None, so an
// exception that leaves the block goes on after the close.
void exit_closing(py::handle self, py::handle exc_type, py::handle exc_value, py::handle traceback);

} // namespace zul_mew::transport
