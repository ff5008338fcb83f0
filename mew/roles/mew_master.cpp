// MewMaster: typed reads and writes of a remote station.
#include "mew/codec/mew_static.hpp"
#include "module/classes.hpp"

#include <type_traits>

namespace zul_mew::roles {

namespace {

using codec::Text;
using kernel::Args;
using kernel::steal;

const kernel::Name kMewMasterBase("MewMasterBase");
const kernel::Name kInit("__init__");
const kernel::Name kStart("start");
const kernel::Name kQuery("query");
const kernel::Name kGetMultiCoilUint16("get_multi_coil_uint16");
const kernel::Name kGetMultiUint16("get_multi_uint16");
const kernel::Name kGetUint16("get_uint16");
const kernel::Name kGetUint32("get_uint32");
const kernel::Name kGetMultiUint32("get_multi_uint32");
const kernel::Name kSetUint16("set_uint16");
const kernel::Name kSetMultiUint16("set_multi_uint16");
const kernel::Name kSetUint32("set_uint32");
const kernel::Name kSetMultiUint32("set_multi_uint32");

py::object query(py::handle self, py::handle request) { return self.attr(kQuery)(request); }

py::list one(py::handle value) {
  py::list values;
  values.append(value);
  return values;
}

py::object first(py::handle values) { return values[py::int_(0)]; }

Py_ssize_t entries(py::handle count) {
  Py_ssize_t n = PyNumber_AsSsize_t(count.ptr(), nullptr);
  if (n == -1 && PyErr_Occurred())
    kernel::raise_pending();
  return n;
}

// One word of a read answer: four characters from `at`, low byte first.
py::object word_at(const Text &fb, Py_ssize_t at) {
  auto value = fb.visit([at](auto *chars, std::size_t) {
    using CharT = std::remove_const_t<std::remove_pointer_t<decltype(chars)>>;
    const CharT digits[4] = {chars[at + 2], chars[at + 3], chars[at], chars[at + 1]};
    return codec::parse_digits(digits, 4, 16);
  });
  if (value)
    return py::int_(*value);
  py::object digits =
      steal(PyUnicode_Concat(fb.slice(at + 2, at + 4).ptr(), fb.slice(at, at + 2).ptr()));
  return codec::to_int(digits, 16);
}

// The answer text of a word read: the two command characters, then four
// characters per word.
py::list words_of(py::handle fb, py::handle count) {
  Text text(fb);
  Py_ssize_t n = entries(count);
  bool fits = n >= 0 && n <= (PY_SSIZE_T_MAX - 2) / 4 && text.size() == n * 4 + 2;
  if (!fits) {
    PyErr_Format(PyExc_IOError, "Invalid feedback format: %S", fb.ptr());
    kernel::raise_pending();
  }
  py::list words;
  for (Py_ssize_t i = 0; i < n; ++i)
    words.append(word_at(text, 2 + 4 * i));
  return words;
}

// high * 65536 + low.
py::object join_words(py::handle low, py::handle high) {
  std::int64_t l, h;
  if (codec::small_int(low, l) && codec::small_int(high, h) && l >= 0 && h >= 0 && h < (1LL << 40))
    return py::int_((h << 16) | l);
  py::object shifted = steal(PyNumber_Lshift(high.ptr(), py::int_(16).ptr()));
  return steal(PyNumber_Or(shifted.ptr(), low.ptr()));
}

// Low word, then high word, of the 32 low bits of any integer.
void append_split(py::list &words, py::handle value) {
  std::int64_t v;
  if (codec::small_int(value, v)) {
    auto bits = static_cast<std::uint64_t>(v);
    words.append(py::int_(bits & 0xFFFF));
    words.append(py::int_((bits >> 16) & 0xFFFF));
    return;
  }
  py::int_ mask(0xFFFF);
  py::object high = steal(PyNumber_Rshift(value.ptr(), py::int_(16).ptr()));
  words.append(steal(PyNumber_And(value.ptr(), mask.ptr())));
  words.append(steal(PyNumber_And(high.ptr(), mask.ptr())));
}

py::list reinterpreted(py::handle values, const char *pack_format, const char *unpack_format) {
  py::list result;
  for (py::handle value : values)
    result.append(codec::reinterpret(value, pack_format, unpack_format));
  return result;
}

py::object init(const Args &a) {
  py::object base_init = kernel::module_name(kMewMasterBase).attr(kInit);
  base_init(a[0], *py::reinterpret_borrow<py::tuple>(a[1]),
            **py::reinterpret_borrow<py::dict>(a[2]));
  a[0].attr(kStart)();
  return py::none();
}

// Operations that talk to the line.

py::object get_coil(const Args &a) {
  py::object fb = query(a[0], codec::read_single_contact(a[1], a[2]));
  return py::bool_(Text(fb).at(2) == '1');
}

py::object get_multi_coil_uint16(const Args &a) {
  py::object fb = query(a[0], codec::read_contact_words(a[1], a[2], py::none(), a[3]));
  return words_of(fb, a[3]);
}

py::object get_multi_uint16(const Args &a) {
  py::object fb = query(a[0], codec::read_data_area(a[1], a[2], a[3]));
  return words_of(fb, a[3]);
}

py::object set_coil(const Args &a) {
  query(a[0], codec::write_single_contact(a[1], a[2], a[3]));
  return py::none();
}

py::object set_coil_uint16(const Args &a) {
  query(a[0], codec::write_contact_words(a[1], a[2], one(a[3])));
  return py::none();
}

py::object set_multi_coil_uint16(const Args &a) {
  query(a[0], codec::write_contact_words(a[1], a[2], a[3]));
  return py::none();
}

py::object set_uint16(const Args &a) {
  query(a[0], codec::write_data_area(a[1], a[2], one(a[3])));
  return py::none();
}

py::object set_multi_uint16(const Args &a) {
  query(a[0], codec::write_data_area(a[1], a[2], a[3]));
  return py::none();
}

// Operations built on them: each calls another through the object, so an
// override there changes these too, and each is still one exchange.

py::object get_coil_uint16(const Args &a) {
  return first(a[0].attr(kGetMultiCoilUint16)(a[1], a[2], 1));
}

py::object get_uint16(const Args &a) { return first(a[0].attr(kGetMultiUint16)(a[1], a[2], 1)); }

py::object get_int16(const Args &a) {
  return codec::reinterpret(a[0].attr(kGetUint16)(a[1], a[2]), "H", "h");
}

py::object get_uint32(const Args &a) {
  py::object words = a[0].attr(kGetMultiUint16)(a[1], a[2], 2);
  return join_words(words[py::int_(0)], words[py::int_(1)]);
}

py::object get_int32(const Args &a) {
  return codec::reinterpret(a[0].attr(kGetUint32)(a[1], a[2]), "I", "i");
}

py::object get_multi_uint32(const Args &a) {
  py::object word_count = steal(PyNumber_Multiply(a[3].ptr(), py::int_(2).ptr()));
  py::object words = a[0].attr(kGetMultiUint16)(a[1], a[2], word_count);
  py::list values;
  Py_ssize_t count = entries(a[3]);
  for (Py_ssize_t k = 0; k < count; ++k)
    values.append(join_words(words[py::int_(2 * k)], words[py::int_(2 * k + 1)]));
  return values;
}

py::object get_multi_int32(const Args &a) {
  return reinterpreted(a[0].attr(kGetMultiUint32)(a[1], a[2], a[3]), "I", "i");
}

py::object set_uint32(const Args &a) {
  py::list words;
  append_split(words, a[3]);
  a[0].attr(kSetMultiUint16)(a[1], a[2], words);
  return py::none();
}

py::object set_int16(const Args &a) {
  a[0].attr(kSetUint16)(a[1], a[2], codec::reinterpret(a[3], "h", "H"));
  return py::none();
}

py::object set_int32(const Args &a) {
  a[0].attr(kSetUint32)(a[1], a[2], codec::reinterpret(a[3], "i", "I"));
  return py::none();
}

py::object set_multi_int16(const Args &a) {
  a[0].attr(kSetMultiUint16)(a[1], a[2], reinterpreted(a[3], "h", "H"));
  return py::none();
}

py::object set_multi_uint32(const Args &a) {
  py::list words;
  for (py::handle value : a[3])
    append_split(words, value);
  a[0].attr(kSetMultiUint16)(a[1], a[2], words);
  return py::none();
}

py::object set_multi_int32(const Args &a) {
  a[0].attr(kSetMultiUint32)(a[1], a[2], reinterpreted(a[3], "i", "I"));
  return py::none();
}

} // namespace

const kernel::ClassDef &mew_master_class() {
  using namespace kernel;
  auto station = [] { return arg("station", Type::Int); };
  auto name = [] { return arg("name", Type::Text); };
  static const ClassDef def{
      "MewMaster",
      {"MewMasterBase"},
      {
          method({"__init__", {self(), var_args("args"), var_kw("kwargs")}, init}),
          method({"get_coil", {self(), station(), arg("name")}, get_coil}),
          method({"get_coil_uint16", {self(), station(), name()}, get_coil_uint16}),
          method({"get_multi_coil_uint16",
                  {self(), station(), name(), arg("count", Type::Int)},
                  get_multi_coil_uint16,
                  Type::ListOfInt}),
          method({"get_uint16", {self(), station(), name()}, get_uint16, Type::Int}),
          method({"get_multi_uint16",
                  {self(), station(), name(), arg("count", Type::Int)},
                  get_multi_uint16,
                  Type::ListOfInt}),
          method({"get_int16", {self(), station(), name()}, get_int16, Type::Int}),
          method({"get_uint32", {self(), station(), name()}, get_uint32, Type::Int}),
          method({"get_int32", {self(), station(), name()}, get_int32, Type::Int}),
          method({"get_multi_uint32",
                  {self(), station(), name(), arg("count", Type::Int)},
                  get_multi_uint32}),
          method(
              {"get_multi_int32", {self(), station(), arg("name"), arg("count")}, get_multi_int32}),
          method({"set_coil", {self(), station(), name(), arg("value", Type::Bool)}, set_coil}),
          method({"set_coil_uint16",
                  {self(), station(), name(), arg("value", Type::Int)},
                  set_coil_uint16}),
          method({"set_multi_coil_uint16",
                  {self(), station(), name(), arg("values", Type::ListOfInt)},
                  set_multi_coil_uint16}),
          method({"set_uint16", {self(), station(), name(), arg("value", Type::Int)}, set_uint16}),
          method({"set_multi_uint16",
                  {self(), station(), name(), arg("values", Type::ListOfInt)},
                  set_multi_uint16}),
          method({"set_uint32", {self(), station(), name(), arg("value", Type::Int)}, set_uint32}),
          method({"set_int16", {self(), station(), name(), arg("value", Type::Int)}, set_int16}),
          method({"set_int32", {self(), station(), name(), arg("value", Type::Int)}, set_int32}),
          method({"set_multi_int16",
                  {self(), station(), name(), arg("values", Type::ListOfInt)},
                  set_multi_int16}),
          method({"set_multi_uint32",
                  {self(), station(), name(), arg("values", Type::ListOfInt)},
                  set_multi_uint32}),
          method({"set_multi_int32",
                  {self(), station(), name(), arg("values", Type::ListOfInt)},
                  set_multi_int32}),
      }};
  return def;
}

} // namespace zul_mew::roles
