// MewStatic: the protocol constants and the static frame codec.
#include "mew/codec/mew_static.hpp"

namespace zul_mew::codec {

namespace {

using kernel::arg;
using kernel::arg_int;
using kernel::arg_none;
using kernel::Args;
using kernel::static_method;
using kernel::steal;
using kernel::Type;

py::object boolean(bool value) { return py::bool_(value); }
py::object integer(long value) { return py::int_(value); }
py::object character(Py_UCS4 c) { return steal(PyUnicode_FromOrdinal(static_cast<int>(c))); }

py::object calc_crc_(const Args &a) { return calc_crc(a[0], a[1]); }
py::object crc_is_ok_(const Args &a) { return boolean(crc_is_ok(a[0])); }
py::object append_tail_(const Args &a) { return append_tail(a[0]); }
py::object find_station_end_(const Args &a) { return integer(find_station_end(a[0])); }
py::object command_start_position_(const Args &a) { return integer(command_start_position(a[0])); }
py::object parse_command_(const Args &a) { return py::str(command_code(parse_command(a[0]))); }
py::object frame_type_(const Args &a) { return character(frame_type(a[0])); }
py::object is_feedback_(const Args &a) { return boolean(frame_type(a[0]) == kFeedback); }
py::object is_query_(const Args &a) { return boolean(frame_type(a[0]) == kQuery); }
py::object is_error_(const Args &a) { return boolean(frame_type(a[0]) == kError); }

py::object header_matched_(const Args &a) {
  long edge = find_station_end(a[1]);
  Text tx(a[0]);
  Text rx(a[1]);
  if (!tx.slice_equals(rx, 0, edge))
    return boolean(false);
  if (rx.at(edge) != kFeedback)
    return boolean(false);
  return boolean(tx.slice_equals(rx, edge + 1, edge + 3));
}

py::object parse_station_(const Args &a) { return parse_station(a[0]); }

py::object parse_contact_address_(const Args &a) {
  Text address(a[0]);
  py::str dec_part = address.slice(0, 3);
  py::object hex_part = character(address.at(3));
  py::object word = to_int(dec_part, 10);
  py::object bit = to_int(hex_part, 16);
  py::int_ sixteen(16);
  py::object scaled = steal(PyNumber_Multiply(word.ptr(), sixteen.ptr()));
  return steal(PyNumber_Add(scaled.ptr(), bit.ptr()));
}

py::object parse_register_address_(const Args &a) { return parse_register_address(a[0]); }
py::object parse_uint16_(const Args &a) { return parse_uint16(a[0]); }
py::object parse_int16_(const Args &a) { return reinterpret(parse_uint16(a[0]), "H", "h"); }

py::object parse_uint32(py::handle data) {
  Text text(data);
  py::object low = parse_uint16(text.slice(0, 4));
  py::object high = parse_uint16(text.slice(4, 8));
  py::int_ shift(16);
  py::object shifted = steal(PyNumber_Lshift(high.ptr(), shift.ptr()));
  return steal(PyNumber_Or(shifted.ptr(), low.ptr()));
}

py::object parse_uint32_(const Args &a) { return parse_uint32(a[0]); }
py::object parse_int32_(const Args &a) { return reinterpret(parse_uint32(a[0]), "I", "i"); }

py::object fill_header_(const Args &a) {
  TextBuilder data;
  data.ascii(kHead);
  data.formatted(a[0], Format::Hex2);
  data.ascii(kQuery);
  data.text(a[1]);
  return data.finish();
}

py::object fill_contact_address_(const Args &a) {
  TextBuilder data;
  data.text(a[0]);
  data.contact_address(a[1]);
  return data.finish();
}

py::object fill_uint16(py::handle data, py::handle value) {
  TextBuilder out;
  out.text(data);
  out.word(value);
  return out.finish();
}

py::object fill_uint32(py::handle data, py::handle value) {
  std::int64_t v;
  TextBuilder out;
  if (small_int(value, v) && v >= 0) {
    out.text(data);
    append_word(out.buffer(), static_cast<std::uint64_t>(v) & 0xFFFF);
    append_word(out.buffer(), static_cast<std::uint64_t>(v) >> 16);
    return out.finish();
  }
  kernel::assert_that([value] { return non_negative(value); });
  py::int_ mask(0xFFFF), shift(16);
  py::object low = steal(PyNumber_And(value.ptr(), mask.ptr()));
  py::object high = steal(PyNumber_Rshift(value.ptr(), shift.ptr()));
  out.text(data);
  out.word(low);
  out.word(high);
  return out.finish();
}

py::object fill_uint16_(const Args &a) { return fill_uint16(a[0], a[1]); }
py::object fill_int16_(const Args &a) { return fill_uint16(a[0], reinterpret(a[1], "h", "H")); }
py::object fill_uint32_(const Args &a) { return fill_uint32(a[0], a[1]); }
py::object fill_int32_(const Args &a) { return fill_uint32(a[0], reinterpret(a[1], "i", "I")); }

py::object read_single_contact_(const Args &a) { return read_single_contact(a[0], a[1]); }
py::object write_single_contact_(const Args &a) { return write_single_contact(a[0], a[1], a[2]); }
py::object read_contact_words_(const Args &a) { return read_contact_words(a[0], a[1], a[2], a[3]); }
py::object write_contact_words_(const Args &a) { return write_contact_words(a[0], a[1], a[2]); }
py::object read_data_area_(const Args &a) { return read_data_area(a[0], a[1], a[2]); }
py::object write_data_area_(const Args &a) { return write_data_area(a[0], a[1], a[2]); }
py::object write_single_data_(const Args &a) {
  py::list values;
  values.append(a[2]);
  return write_data_area(a[0], a[1], values);
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
              {"calc_crc", {arg("data", Type::Text), arg_int("init", 0)}, calc_crc_, Type::Int}),
          static_method({"crc_is_ok", {arg("frame", Type::Text)}, crc_is_ok_, Type::Bool}),
          static_method({"append_tail", {arg("data", Type::Text)}, append_tail_, Type::Text}),
          static_method(
              {"find_station_end", {arg("data", Type::Text)}, find_station_end_, Type::Int}),
          static_method({"command_start_position",
                         {arg("data", Type::Text)},
                         command_start_position_,
                         Type::Int}),
          static_method({"parse_command", {arg("data", Type::Text)}, parse_command_, Type::Text}),
          static_method({"frame_type", {arg("data", Type::Text)}, frame_type_, Type::Text}),
          static_method({"is_feedback", {arg("data", Type::Text)}, is_feedback_, Type::Bool}),
          static_method({"is_query", {arg("data", Type::Text)}, is_query_, Type::Bool}),
          static_method({"is_error", {arg("data", Type::Text)}, is_error_, Type::Bool}),
          static_method({"header_matched",
                         {arg("tx", Type::Text), arg("rx", Type::Text)},
                         header_matched_,
                         Type::Bool}),
          static_method({"parse_station", {arg("data", Type::Text)}, parse_station_, Type::Int}),
          static_method({"parse_contact_address",
                         {arg("address", Type::Text)},
                         parse_contact_address_,
                         Type::Int}),
          static_method({"parse_register_address",
                         {arg("address", Type::Text)},
                         parse_register_address_,
                         Type::Int}),
          static_method({"parse_uint16", {arg("data", Type::Text)}, parse_uint16_, Type::Int}),
          static_method({"parse_int16", {arg("data", Type::Text)}, parse_int16_, Type::Int}),
          static_method({"parse_uint32", {arg("data", Type::Text)}, parse_uint32_, Type::Int}),
          static_method({"parse_int32", {arg("data", Type::Text)}, parse_int32_, Type::Int}),
          static_method({"fill_header",
                         {arg("station", Type::Int), arg("cmd", Type::Text)},
                         fill_header_,
                         Type::Text}),
          static_method({"fill_contact_address",
                         {arg("data", Type::Text), arg("address", Type::Text)},
                         fill_contact_address_,
                         Type::Text}),
          static_method({"fill_uint16", {arg("data", Type::Text), arg("value")}, fill_uint16_}),
          static_method({"fill_int16", {arg("data", Type::Text), arg("value")}, fill_int16_}),
          static_method({"fill_uint32", {arg("data", Type::Text), arg("value")}, fill_uint32_}),
          static_method({"fill_int32", {arg("data", Type::Text), arg("value")}, fill_int32_}),
          static_method({"fill_read_single_point_of_contact_message",
                         {arg("station", Type::Int), arg("contact", Type::Text)},
                         read_single_contact_,
                         Type::Text}),
          static_method(
              {"fill_write_single_point_of_contact_message",
               {arg("station", Type::Int), arg("contact", Type::Text), arg("value", Type::Bool)},
               write_single_contact_,
               Type::Text}),
          static_method({"fill_read_word_unit_of_contact_message",
                         {arg("station", Type::Int), arg("contact_start", Type::Text),
                          arg_none("contact_end", Type::Text), arg_none("word_count", Type::Int)},
                         read_contact_words_,
                         Type::Text}),
          static_method(
              {"fill_write_word_unit_of_contact_message",
               {arg("station", Type::Int), arg("contact_start", Type::Text), arg("values")},
               write_contact_words_,
               Type::Text}),
          static_method({"fill_read_data_area_message",
                         {arg("station", Type::Int), arg("reg_start", Type::Text),
                          arg("reg_count", Type::Int)},
                         read_data_area_,
                         Type::Text}),
          static_method({"fill_write_data_area_message",
                         {arg("station", Type::Int), arg("reg_start", Type::Text), arg("values")},
                         write_data_area_,
                         Type::Text}),
          static_method(
              {"fill_write_single_data_message",
               {arg("station", Type::Int), arg("reg", Type::Text), arg("value", Type::Int)},
               write_single_data_,
               Type::Text}),
      },
      {
          int_constant("MAX_MULTI_COIL_COUNT", 8),
          text_constant("HEX_DIGITS", "0123456789ABCDEF"),
          text_constant("DEC_DIGITS", "0123456789"),
          int_constant("PROCESS_NONE", -1),
          int_constant("PROCESS_ERROR", -2),
          int_constant("PROCESS_UNKNOWN_CMD", -3),
          text_constant("HEAD", "%"),
          text_constant("TAIL", "\r"),
          text_constant("QUERY", "#"),
          text_constant("ERROR", "!"),
          text_constant("FEEDBACK", "$"),
          text_constant("IGNORE_BCC", "*"),
          int_constant("BROADCAST", 0),
          text_constant("CMD_UNKNOWN", "UNKNOWN"),
      },
      "站号长度不限于8位的Mewtocol通信协议",
  };
  return def;
}

} // namespace zul_mew::codec
