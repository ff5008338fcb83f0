// Flat bit indexes over a list of digital I/O stations, 16 bits a station.
#pragma once

#include "module/kernel/host.hpp"

namespace zul_mew::inst {

namespace py = pybind11;

struct BitAddress {
  py::object view; // the station's X16 or Y16 view
  py::object bit;
};

// Flat index n is bit n mod 16 of station n // 16; both taken as floor
// division, so a negative n counts back from the last bit of the last station.
inline BitAddress bit_address(py::handle stations, py::handle index, const kernel::Name &view_of) {
  py::int_ sixteen(16);
  py::object position = kernel::steal(PyNumber_FloorDivide(index.ptr(), sixteen.ptr()));
  py::object bit = kernel::steal(PyNumber_Remainder(index.ptr(), sixteen.ptr()));
  return {stations[position].attr(view_of)(), bit};
}

} // namespace zul_mew::inst
