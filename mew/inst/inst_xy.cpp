// InstXY: a digital I/O station with cached inputs and outputs.
#include "module/classes.hpp"
#include "module/kernel/names.hpp"

namespace zul_mew::inst {

namespace {

py::object mask_of(py::handle index) { return py::int_(1) << index; }

py::object low_word(py::handle value) { return value & py::int_(0xFFFF); }

bool bit_is_set(py::handle word, py::handle index) {
  return kernel::is_true(word & mask_of(index));
}

void init(py::handle self, py::handle mew, py::handle station) {
  kernel::module_global(ID(Inst)).attr(ID(__init__))(self, mew, station);
  self.attr(ID(_x)) = mew.attr(ID(get_coil_uint16))(station, "WX0");
  self.attr(ID(_y)) = mew.attr(ID(get_coil_uint16))(station, "WY0");
}

py::object inst_type(py::handle) { return kernel::module_global(ID(INST_TYPE_XY)); }
py::object get_x16_object(py::handle self) { return kernel::module_global(ID(X16))(self); }
py::object get_y16_object(py::handle self) { return kernel::module_global(ID(Y16))(self); }
bool get_x(py::handle self, py::handle index) { return bit_is_set(self.attr(ID(_x)), index); }
py::object get_wx(py::handle self) { return self.attr(ID(_x)); }
bool get_y(py::handle self, py::handle index) { return bit_is_set(self.attr(ID(_y)), index); }
py::object get_wy(py::handle self) { return self.attr(ID(_y)); }

// Outputs are written only when they change, and the cache follows the
// station only once the write has been acknowledged.
void set_y(py::handle self, py::handle index, py::handle value) {
  if (value.equal(self.attr(ID(get_y))(index)))
    return;
  py::object name =
      kernel::steal(PyUnicode_Format(py::str("Y%X").ptr(), py::make_tuple(index).ptr()));
  self.attr(ID(_mew)).attr(ID(set_coil))(self.attr(ID(station)), name, value);
  py::object mask = mask_of(index);
  py::object y = self.attr(ID(_y));
  if (kernel::is_true(value))
    self.attr(ID(_y)) = y | mask;
  else
    self.attr(ID(_y)) = y & ~mask;
}

void set_wy(py::handle self, py::handle word) {
  py::object value = low_word(word);
  if (value.equal(self.attr(ID(get_wy))()))
    return;
  self.attr(ID(_mew)).attr(ID(set_coil_uint16))(self.attr(ID(station)), "WY0", value);
  self.attr(ID(_y)) = value;
}

py::tuple on_update_wx(py::handle self, py::handle word) {
  py::object value = low_word(word);
  py::object old = self.attr(ID(get_wx))();
  if (!value.equal(old))
    self.attr(ID(_x)) = value;
  return py::make_tuple(value, old);
}

} // namespace

const kernel::ClassDef &inst_xy_class() {
  using namespace kernel;
  static const ClassDef def{
      "InstXY",
      {"Inst"},
      {
          method({"__init__", {self(), arg("mew"), arg("station", Type::Int)}, init}),
          property({"inst_type", {self()}, inst_type, Type::Int}),
          method({"get_x16_object", {self()}, get_x16_object}),
          method({"get_y16_object", {self()}, get_y16_object}),
          method({"get_x", {self(), arg("index", Type::Int)}, get_x, Type::Bool}),
          method({"get_wx", {self()}, get_wx, Type::Int}),
          method({"get_y", {self(), arg("index", Type::Int)}, get_y, Type::Bool}),
          method({"get_wy", {self()}, get_wy, Type::Int}),
          method({"set_y", {self(), arg("index", Type::Int), arg("value", Type::Bool)}, set_y}),
          method({"set_wy", {self(), arg("value", Type::Int)}, set_wy}),
          method({"on_update_wx", {self(), arg("value", Type::Int)}, on_update_wx}),
      }};
  return def;
}

} // namespace zul_mew::inst
