// InstXY: a digital I/O station with cached inputs and outputs.
#include "module/classes.hpp"
#include "module/kernel/host.hpp"

namespace zul_mew::inst {

namespace {

using kernel::Args;
using kernel::steal;

const kernel::Name kInst("Inst");
const kernel::Name kInit("__init__");
const kernel::Name kInstTypeXY("INST_TYPE_XY");
const kernel::Name kX16("X16");
const kernel::Name kY16("Y16");
const kernel::Name kMew("_mew");
const kernel::Name kX("_x");
const kernel::Name kY("_y");
const kernel::Name kStation("station");
const kernel::Name kGetY("get_y");
const kernel::Name kGetWX("get_wx");
const kernel::Name kGetWY("get_wy");
const kernel::Name kGetCoilUint16("get_coil_uint16");
const kernel::Name kSetCoil("set_coil");
const kernel::Name kSetCoilUint16("set_coil_uint16");

py::object mask_of(py::handle index) {
  py::int_ one(1);
  return steal(PyNumber_Lshift(one.ptr(), index.ptr()));
}

py::object low_word(py::handle value) {
  py::int_ mask(0xFFFF);
  return steal(PyNumber_And(value.ptr(), mask.ptr()));
}

bool bit_is_set(py::handle word, py::handle index) {
  return kernel::is_true(steal(PyNumber_And(word.ptr(), mask_of(index).ptr())));
}

py::object init(const Args &a) {
  py::handle self = a[0], mew = a[1], station = a[2];
  kernel::module_name(kInst).attr(kInit)(self, mew, station);
  self.attr(kX) = mew.attr(kGetCoilUint16)(station, "WX0");
  self.attr(kY) = mew.attr(kGetCoilUint16)(station, "WY0");
  return py::none();
}

py::object inst_type(const Args &) { return kernel::module_name(kInstTypeXY); }
py::object get_x16_object(const Args &a) { return kernel::module_name(kX16)(a[0]); }
py::object get_y16_object(const Args &a) { return kernel::module_name(kY16)(a[0]); }
py::object get_x(const Args &a) { return py::bool_(bit_is_set(a[0].attr(kX), a[1])); }
py::object get_wx(const Args &a) { return a[0].attr(kX); }
py::object get_y(const Args &a) { return py::bool_(bit_is_set(a[0].attr(kY), a[1])); }
py::object get_wy(const Args &a) { return a[0].attr(kY); }

// Outputs are written only when they change, and the cache follows the
// station only once the write has been acknowledged.
py::object set_y(const Args &a) {
  py::handle self = a[0], index = a[1], value = a[2];
  if (value.equal(self.attr(kGetY)(index)))
    return py::none();
  py::object name = steal(PyUnicode_Format(py::str("Y%X").ptr(), py::make_tuple(index).ptr()));
  self.attr(kMew).attr(kSetCoil)(self.attr(kStation), name, value);
  py::object mask = mask_of(index);
  py::object y = self.attr(kY);
  if (kernel::is_true(value)) {
    self.attr(kY) = steal(PyNumber_Or(y.ptr(), mask.ptr()));
  } else {
    py::object cleared = steal(PyNumber_Invert(mask.ptr()));
    self.attr(kY) = steal(PyNumber_And(y.ptr(), cleared.ptr()));
  }
  return py::none();
}

py::object set_wy(const Args &a) {
  py::handle self = a[0];
  py::object value = low_word(a[1]);
  if (value.equal(self.attr(kGetWY)()))
    return py::none();
  self.attr(kMew).attr(kSetCoilUint16)(self.attr(kStation), "WY0", value);
  self.attr(kY) = value;
  return py::none();
}

py::object on_update_wx(const Args &a) {
  py::handle self = a[0];
  py::object value = low_word(a[1]);
  py::object old = self.attr(kGetWX)();
  if (!value.equal(old))
    self.attr(kX) = value;
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
