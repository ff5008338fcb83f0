// MewStatic: the protocol constants and the static frame codec.
#include "mew/codec/mew_static.hpp"

namespace zul_mew::codec {

namespace {

using kernel::arg;
using kernel::arg_int;
using kernel::arg_none;
using kernel::static_method;
using kernel::steal;
using kernel::Type;

py::object character(Py_UCS4 c) { return steal(PyUnicode_FromOrdinal(static_cast<int>(c))); }

py::str command_text(py::handle data) { return py::str(command_code(parse_command(data))); }
py::object frame_type_text(py::handle data) { return character(frame_type(data)); }
bool is_feedback(py::handle data) { return frame_type(data) == kFeedback; }
bool is_query(py::handle data) { return frame_type(data) == kQuery; }
bool is_error(py::handle data) { return frame_type(data) == kError; }

bool header_matched(py::handle tx, py::handle rx) {
  long edge = find_station_end(rx);
  Text request(tx), answer(rx);
  if (!request.slice_equals(answer, 0, edge))
    return false;
  if (answer.at(edge) != kFeedback)
    return false;
  return request.slice_equals(answer, edge + 1, edge + 3);
}

py::object parse_contact_address(py::handle address) {
  Text name(address);
  py::str dec_part = name.slice(0, 3);
  py::object hex_part = character(name.at(3));
  py::object word = to_int(dec_part, 10);
  py::object bit = to_int(hex_part, 16);
  return word * py::int_(16) + bit;
}

py::object parse_int16(py::handle data) { return reinterpret(parse_uint16(data), "H", "h"); }

py::object parse_uint32(py::handle data) {
  Text text(data);
  py::object low = parse_uint16(text.slice(0, 4));
  py::object high = parse_uint16(text.slice(4, 8));
  return (high << py::int_(16)) | low;
}

py::object parse_int32(py::handle data) { return reinterpret(parse_uint32(data), "I", "i"); }

py::str fill_header(py::handle station, py::handle cmd) {
  TextBuilder data;
  data.ascii(kHead);
  data.formatted(station, Format::Hex2);
  data.ascii(kQuery);
  data.text(cmd);
  return data.finish();
}

py::str fill_contact_address(py::handle data, py::handle address) {
  TextBuilder out;
  out.text(data);
  out.contact_address(address);
  return out.finish();
}

py::str fill_uint16(py::handle data, py::handle value) {
  TextBuilder out;
  out.text(data);
  out.word(value);
  return out.finish();
}

py::str fill_uint32(py::handle data, py::handle value) {
  std::int64_t v;
  TextBuilder out;
  if (small_int(value, v) && v >= 0) {
    out.text(data);
    append_word(out.buffer(), static_cast<std::uint64_t>(v) & 0xFFFF);
    append_word(out.buffer(), static_cast<std::uint64_t>(v) >> 16);
    return out.finish();
  }
  kernel::assert_that([value] { return non_negative(value); });
  py::object low = value & py::int_(0xFFFF);
  py::object high = value >> py::int_(16);
  out.text(data);
  out.word(low);
  out.word(high);
  return out.finish();
}

py::str fill_int16(py::handle data, py::handle value) {
  return fill_uint16(data, reinterpret(value, "h", "H"));
}

py::str fill_int32(py::handle data, py::handle value) {
  return fill_uint32(data, reinterpret(value, "i", "I"));
}

py::str write_single_data(py::handle station, py::handle reg, py::handle value) {
  py::list values;
  values.append(value);
  return write_data_area(station, reg, values);
}

} // namespace

const kernel::ClassDef &mew_static_class() {
  using kernel::int_constant;
  using kernel::text_constant;
  static const kernel::ClassDef def{
      "MewStatic",
      {},
      {
          static_method(
              {"calc_crc", {arg("data", Type::Text), arg_int("init", 0)}, calc_crc, Type::Int}),
          static_method({"crc_is_ok", {arg("frame", Type::Text)}, crc_is_ok, Type::Bool}),
          static_method({"append_tail",
                         {arg("data", Type::Text)},
                         static_cast<py::str (*)(py::handle)>(append_tail),
                         Type::Text}),
          static_method({"find_station_end",
                         {arg("data", Type::Text)},
                         static_cast<long (*)(py::handle)>(find_station_end),
                         Type::Int}),
          static_method({"command_start_position",
                         {arg("data", Type::Text)},
                         command_start_position,
                         Type::Int}),
          static_method({"parse_command", {arg("data", Type::Text)}, command_text, Type::Text}),
          static_method({"frame_type", {arg("data", Type::Text)}, frame_type_text, Type::Text}),
          static_method({"is_feedback", {arg("data", Type::Text)}, is_feedback, Type::Bool}),
          static_method({"is_query", {arg("data", Type::Text)}, is_query, Type::Bool}),
          static_method({"is_error", {arg("data", Type::Text)}, is_error, Type::Bool}),
          static_method({"header_matched",
                         {arg("tx", Type::Text), arg("rx", Type::Text)},
                         header_matched,
                         Type::Bool}),
          static_method({"parse_station", {arg("data", Type::Text)}, parse_station, Type::Int}),
          static_method({"parse_contact_address",
                         {arg("address", Type::Text)},
                         parse_contact_address,
                         Type::Int}),
          static_method({"parse_register_address",
                         {arg("address", Type::Text)},
                         parse_register_address,
                         Type::Int}),
          static_method({"parse_uint16", {arg("data", Type::Text)}, parse_uint16, Type::Int}),
          static_method({"parse_int16", {arg("data", Type::Text)}, parse_int16, Type::Int}),
          static_method({"parse_uint32", {arg("data", Type::Text)}, parse_uint32, Type::Int}),
          static_method({"parse_int32", {arg("data", Type::Text)}, parse_int32, Type::Int}),
          static_method({"fill_header",
                         {arg("station", Type::Int), arg("cmd", Type::Text)},
                         fill_header,
                         Type::Text}),
          static_method({"fill_contact_address",
                         {arg("data", Type::Text), arg("address", Type::Text)},
                         fill_contact_address,
                         Type::Text}),
          static_method({"fill_uint16", {arg("data", Type::Text), arg("value")}, fill_uint16}),
          static_method({"fill_int16", {arg("data", Type::Text), arg("value")}, fill_int16}),
          static_method({"fill_uint32", {arg("data", Type::Text), arg("value")}, fill_uint32}),
          static_method({"fill_int32", {arg("data", Type::Text), arg("value")}, fill_int32}),
          static_method({"fill_read_single_point_of_contact_message",
                         {arg("station", Type::Int), arg("contact", Type::Text)},
                         read_single_contact,
                         Type::Text}),
          static_method(
              {"fill_write_single_point_of_contact_message",
               {arg("station", Type::Int), arg("contact", Type::Text), arg("value", Type::Bool)},
               write_single_contact,
               Type::Text}),
          static_method({"fill_read_word_unit_of_contact_message",
                         {arg("station", Type::Int), arg("contact_start", Type::Text),
                          arg_none("contact_end", Type::Text), arg_none("word_count", Type::Int)},
                         read_contact_words,
                         Type::Text}),
          static_method(
              {"fill_write_word_unit_of_contact_message",
               {arg("station", Type::Int), arg("contact_start", Type::Text), arg("values")},
               write_contact_words,
               Type::Text}),
          static_method({"fill_read_data_area_message",
                         {arg("station", Type::Int), arg("reg_start", Type::Text),
                          arg("reg_count", Type::Int)},
                         read_data_area,
                         Type::Text}),
          static_method({"fill_write_data_area_message",
                         {arg("station", Type::Int), arg("reg_start", Type::Text), arg("values")},
                         write_data_area,
                         Type::Text}),
          static_method(
              {"fill_write_single_data_message",
               {arg("station", Type::Int), arg("reg", Type::Text), arg("value", Type::Int)},
               write_single_data,
               Type::Text}),
      },
      {
          int_constant("MAX_MULTI_COIL_COUNT", 8),
          text_constant("HEX_DIGITS", "0123456789ABCDEF"),
          text_constant("DEC_DIGITS", "0123456789"),
          int_constant("PROCESS_NONE", kProcessNone),
          int_constant("PROCESS_ERROR", kProcessError),
          int_constant("PROCESS_UNKNOWN_CMD", kProcessUnknownCmd),
          text_constant("HEAD", "%"),
          text_constant("TAIL", "\r"),
          text_constant("QUERY", "#"),
          text_constant("ERROR", "!"),
          text_constant("FEEDBACK", "$"),
          text_constant("IGNORE_BCC", "*"),
          int_constant("BROADCAST", 0),
          text_constant("CMD_UNKNOWN", kUnknownCommand),
      },
      "站号长度不限于8位的Mewtocol通信协议",
  };
  return def;
}

} // namespace zul_mew::codec
