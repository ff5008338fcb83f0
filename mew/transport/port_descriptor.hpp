// Reading and writing the serial package's own POSIX port at its descriptor.
#pragma once

#include <pybind11/pybind11.h>

#include <cstddef>
#include <string>
#include <string_view>

namespace zul_mew::transport {

namespace py = pybind11;

// A channel gives a frame up once this many characters came without its
// carriage return: far beyond any answer, and a line that babbles costs no
// more memory than this.
constexpr std::size_t kLongestFrame = 65536;

// The serial package's POSIX port costs far more in its read than the byte
// it fetches, so a port of exactly that class is read at its descriptor, the
// way its read would read it. Both return false, having read nothing, for
// any other serial object, a closed port, a time-out only the port's own
// read can honour, and on platforms without that class: the caller then
// reads through the serial object's read.

// At most one byte within the port's time-out.
bool read_byte_at_descriptor(py::handle serial, std::string &got);

// Bytes up to the carriage return, each within the port's time-out of the
// one before, at most kLongestFrame of them.
bool read_frame_at_descriptor(py::handle serial, std::string &frame);

// Writes what the port takes at once: true when that is all of `data`, so
// its own write would have nothing left to do; otherwise `written` bytes of
// the front are gone and the rest is the port's own write's.
bool write_at_descriptor(py::handle serial, std::string_view data, std::size_t &written);

} // namespace zul_mew::transport
