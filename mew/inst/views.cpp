// The index views over digital I/O stations: X16 and Y16 show the 16 bits of
// one station, _InstXList and _InstYList all bits of a list of stations as one
// sequence, _InstWXList and _InstWYList their words. Each view only holds what
// it was given, in the attribute named after its parameter, and turns item
// access into calls on it.
#include "module/classes.hpp"
#include "module/kernel/names.hpp"
#include "module/kernel/numbers.hpp"

namespace zul_mew::inst {

namespace {

using kernel::name;
using kernel::name_index;

template <std::size_t held> void hold(py::handle self, py::handle object) {
  self.attr(name<held>()) = object;
}

// One station's bit, through its InstXY.
template <std::size_t held, std::size_t get>
py::object station_bit(py::handle self, py::handle item) {
  return self.attr(name<held>()).attr(name<get>())(item);
}

template <std::size_t held, std::size_t set>
void set_station_bit(py::handle self, py::handle key, py::handle value) {
  self.attr(name<held>()).attr(name<set>())(key, value);
}

// Flat index n is bit n mod 16 of station n // 16; both taken as floor
// division, so a negative n counts back from the last bit of the last station.
struct BitAddress {
  py::object view; // the station's X16 or Y16 view
  py::object bit;
};

template <std::size_t held, std::size_t view_of>
BitAddress bit_address(py::handle self, py::handle index) {
  py::object stations = self.attr(name<held>());
  py::int_ sixteen(16);
  py::object position = kernel::floor_divide(index, sixteen);
  py::object bit = kernel::remainder(index, sixteen);
  return {stations[position].attr(name<view_of>())(), bit};
}

template <std::size_t held, std::size_t view_of>
py::object flat_bit(py::handle self, py::handle item) {
  BitAddress at = bit_address<held, view_of>(self, item);
  return at.view[at.bit];
}

template <std::size_t held, std::size_t view_of>
void set_flat_bit(py::handle self, py::handle key, py::handle value) {
  BitAddress at = bit_address<held, view_of>(self, key);
  at.view[at.bit] = value;
}

// One station's word, through its InstXY.
template <std::size_t held, std::size_t get>
py::object station_word(py::handle self, py::handle item) {
  return self.attr(name<held>())[item].attr(name<get>())();
}

template <std::size_t held, std::size_t set>
void set_station_word(py::handle self, py::handle key, py::handle value) {
  self.attr(name<held>())[key].attr(name<set>())(value);
}

using kernel::arg;
using kernel::ClassDef;
using kernel::Member;
using kernel::method;
using kernel::self;
using kernel::Type;

// The parameter is named as the attribute, without its leading underscore.
template <std::size_t held> Member init() {
  return method({"__init__", {self(), arg(kernel::kNameTexts[held].data() + 1)}, hold<held>});
}

Member getitem(kernel::Body body, Type result) {
  return method({"__getitem__", {self(), arg("item", Type::Int)}, body, result});
}

Member setitem(kernel::Body body, Type value) {
  return method({"__setitem__", {self(), arg("key", Type::Int), arg("value", value)}, body});
}

} // namespace

const ClassDef &x16_class() {
  constexpr std::size_t held = name_index("_inst_xy");
  static const ClassDef def{
      "X16", {}, {init<held>(), getitem(station_bit<held, name_index("get_x")>, Type::Bool)}};
  return def;
}

const ClassDef &y16_class() {
  constexpr std::size_t held = name_index("_inst_xy");
  static const ClassDef def{"Y16",
                            {},
                            {init<held>(),
                             setitem(set_station_bit<held, name_index("set_y")>, Type::Bool),
                             getitem(station_bit<held, name_index("get_y")>, Type::Bool)}};
  return def;
}

const ClassDef &inst_x_list_class() {
  constexpr std::size_t held = name_index("_inst_x_list");
  static const ClassDef def{
      "_InstXList",
      {},
      {init<held>(), getitem(flat_bit<held, name_index("get_x16_object")>, Type::Bool)}};
  return def;
}

const ClassDef &inst_wx_list_class() {
  constexpr std::size_t held = name_index("_inst_wx_list");
  static const ClassDef def{
      "_InstWXList",
      {},
      {init<held>(), getitem(station_word<held, name_index("get_wx")>, Type::Int)}};
  return def;
}

const ClassDef &inst_y_list_class() {
  constexpr std::size_t held = name_index("_inst_y_list");
  constexpr std::size_t view_of = name_index("get_y16_object");
  static const ClassDef def{"_InstYList",
                            {},
                            {init<held>(), getitem(flat_bit<held, view_of>, Type::Bool),
                             setitem(set_flat_bit<held, view_of>, Type::Bool)}};
  return def;
}

const ClassDef &inst_wy_list_class() {
  constexpr std::size_t held = name_index("_inst_wy_list");
  static const ClassDef def{"_InstWYList",
                            {},
                            {init<held>(),
                             getitem(station_word<held, name_index("get_wy")>, Type::Int),
                             setitem(set_station_word<held, name_index("set_wy")>, Type::Int)}};
  return def;
}

} // namespace zul_mew::inst
