// The frame codec as the rest of the module calls it: every operation of the
// MewStatic class, callable from C++ without a trip through the host.
#pragma once

#include "mew/codec/core/frame.hpp"
#include "mew/codec/host_text.hpp"
#include "module/kernel/class_builder.hpp"

namespace zul_mew::codec {

const kernel::ClassDef &mew_static_class();

// What a slave's request processing gives back in place of an answer.
inline constexpr int kProcessNone = -1;
inline constexpr int kProcessError = -2;
inline constexpr int kProcessUnknownCmd = -3;

// Frame layout and check code.
py::object calc_crc(py::handle data, py::handle init);
bool crc_is_ok(py::handle frame);
py::str append_tail(py::handle data);
long command_start_position(py::handle data);
Command parse_command(py::handle data);
Py_UCS4 frame_type(py::handle data);
py::object parse_station(py::handle data);

// Field encodings.
py::object parse_register_address(py::handle address);
py::object parse_uint16(py::handle data);

// Two's-complement reinterpretation through the host's pack/unpack formats,
// for example "H" then "h" for an unsigned word read as signed.
py::object reinterpret(py::handle value, const char *pack_format, const char *unpack_format);

// Request builders.
py::str read_single_contact(py::handle station, py::handle contact);
py::str write_single_contact(py::handle station, py::handle contact, py::handle value);
py::str read_contact_words(py::handle station, py::handle contact_start, py::handle contact_end,
                           py::handle word_count);
py::str write_contact_words(py::handle station, py::handle contact_start, py::handle values);
py::str read_data_area(py::handle station, py::handle reg_start, py::handle reg_count);
py::str write_data_area(py::handle station, py::handle reg_start, py::handle values);

} // namespace zul_mew::codec
