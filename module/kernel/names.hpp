// Every name the module looks up, binds or calls on an object: attributes,
// methods, keywords and the names of the module namespace. ID(text) is the
// name made from its own text, so a name never disagrees with what it says;
// a text missing from the table does not compile.
#pragma once

#include "module/kernel/host.hpp"

#include <cstddef>
#include <iterator>
#include <string_view>

namespace zul_mew::kernel {

// clang-format off
inline constexpr std::string_view kNameTexts[] = {
    "Empty", "INST_TYPE_AD", "INST_TYPE_Axis", "INST_TYPE_UNKNOWN", "INST_TYPE_XY", "Inst",
    "InstAD", "InstAxis", "InstUnknown", "InstXY", "List", "Lock", "MewBase", "MewCheckCodeError",
    "MewError", "MewErrorAnswer", "MewFormatError", "MewFullDuplex", "MewMaster", "MewMasterBase",
    "MewSerial", "MewSlaveBase", "MewStationError", "MewTimeoutError", "Queue", "Serial", "Thread",
    "X16", "Y16", "_InstWXList", "_InstWYList", "_InstXList", "_InstYList", "__init__", "__name__",
    "_ad_list", "_all_list", "_axis_list", "_channel", "_check_and_process_request",
    "_feedback_listeners", "_firmware_version", "_inst_list_dict", "_inst_wx_list",
    "_inst_wy_list", "_inst_x_list", "_inst_xy", "_inst_y_list", "_listener_lock", "_mew",
    "_process_request", "_query", "_query_listeners", "_query_lock", "_query_timeout", "_random",
    "_receiver", "_receiver_thread", "_send", "_sender_lock", "_serial", "_slave_stop_flag",
    "_slave_thread", "_station", "_stop_flag", "_timeout", "_unknown_list", "_write_timeout", "_x",
    "_xy_list", "_y",
    "abstractmethod", "acquire", "append", "cancel_read", "choice", "close", "code",
    "empty", "endswith", "fd", "flushInput", "flushOutput", "flush_input", "format", "get",
    "get_coil_uint16",
    "get_multi_coil_uint16", "get_multi_uint16", "get_multi_uint32", "get_uint16", "get_uint32",
    "get_wx", "get_wy", "get_x", "get_x16_object", "get_y", "get_y16_object", "in_waiting",
    "is_open", "join", "lower", "on_get_coil", "on_get_multi_coil_uint16", "on_get_multi_uint16",
    "on_set_coil", "on_set_multi_coil_uint16", "on_set_multi_uint16", "pack", "pipe_abort_read_r",
    "pipe_abort_write_r",
    "pop", "port", "print", "process_invalid_frame", "put", "query", "query_firmware_version",
    "query_inst_type", "query_timeout", "randint", "read", "receive_frame", "release", "remove",
    "send_frame", "set_coil", "set_coil_uint16", "set_multi_uint16", "set_multi_uint32",
    "set_uint16", "set_uint32", "set_wy", "set_y", "slave_station", "sleep", "start", "startswith",
    "station", "stop", "target", "timeout", "unpack", "write"};
// clang-format on

inline constexpr std::size_t kNameCount = std::size(kNameTexts);

// Kept in order and without repeats, so that one text is one name.
constexpr bool in_order() {
  for (std::size_t i = 1; i < kNameCount; ++i)
    if (!(kNameTexts[i - 1] < kNameTexts[i]))
      return false;
  return true;
}
static_assert(in_order(), "the table of names is out of order or repeats a name");

constexpr std::size_t name_index(std::string_view text) {
  for (std::size_t i = 0; i < kNameCount; ++i)
    if (kNameTexts[i] == text)
      return i;
  throw "the name is missing from the table in module/kernel/names.hpp";
}

namespace py = pybind11;

extern PyObject *g_names[kNameCount];

template <std::size_t index> py::handle name() { return g_names[index]; }

// Makes every name of the table, once, when the module is imported.
void intern_names();

} // namespace zul_mew::kernel

#define ID(text) (::zul_mew::kernel::name<::zul_mew::kernel::name_index(#text)>())
