// The host's number operations that pybind11's object operators leave out.
#pragma once

#include "module/kernel/host.hpp"

namespace zul_mew::kernel {

// operator.index(value): the int an index or count stands for.
inline py::object index(py::handle value) { return steal(PyNumber_Index(value.ptr())); }

// A count as C++ sees it: the host's index of `value`; beyond Py_ssize_t it
// raises OverflowError, or with `clamped` stops at the nearest bound.
inline Py_ssize_t as_ssize(py::handle value) {
  Py_ssize_t n = PyNumber_AsSsize_t(value.ptr(), PyExc_OverflowError);
  if (n == -1 && PyErr_Occurred())
    raise_pending();
  return n;
}

inline Py_ssize_t as_ssize_clamped(py::handle value) {
  Py_ssize_t n = PyNumber_AsSsize_t(value.ptr(), nullptr);
  if (n == -1 && PyErr_Occurred())
    raise_pending();
  return n;
}

inline py::object floor_divide(py::handle a, py::handle b) {
  return steal(PyNumber_FloorDivide(a.ptr(), b.ptr()));
}

inline py::object remainder(py::handle a, py::handle b) {
  return steal(PyNumber_Remainder(a.ptr(), b.ptr()));
}

} // namespace zul_mew::kernel
