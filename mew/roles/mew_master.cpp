// MewMaster: typed reads and writes of a remote station.
#include "mew/codec/mew_static.hpp"
#include "module/classes.hpp"
#include "module/kernel/names.hpp"
#include "module/kernel/numbers.hpp"

#include <type_traits>

namespace zul_mew::roles {

namespace {

using codec::Text;
using kernel::steal;

py::object query(py::handle self, py::handle request) { return self.attr(ID(query))(request); }

py::list one(py::handle value) {
  py::list values;
  values.append(value);
  return values;
}

py::object first(py::handle values) { return values[py::int_(0)]; }

// One word of a read answer: four characters from `at`, low byte first.
py::object word_at(const Text &fb, Py_ssize_t at) {
  auto value = fb.visit([at](auto *chars, std::size_t) {
    using CharT = std::remove_const_t<std::remove_pointer_t<decltype(chars)>>;
    const CharT digits[4] = {chars[at + 2], chars[at + 3], chars[at], chars[at + 1]};
    return codec::parse_digits(digits, 4, 16);
  });
  if (value)
    return py::int_(*value);
  return codec::to_int(fb.slice(at + 2, at + 4) + fb.slice(at, at + 2), 16);
}

// The answer text of a word read: the two command characters, then four
// characters per word.
py::list words_of(py::handle fb, py::handle count) {
  Text text(fb);
  Py_ssize_t n = kernel::as_ssize_clamped(count);
  bool fits = n >= 0 && n <= (PY_SSIZE_T_MAX - 2) / 4 && text.size() == n * 4 + 2;
  if (!fits)
    kernel::raise_failure(ID(MewFormatError),
                          kernel::format("Invalid feedback format: %S", fb.ptr()));
  py::list words;
  for (Py_ssize_t i = 0; i < n; ++i)
    words.append(word_at(text, 2 + 4 * i));
  return words;
}

py::object join_words(py::handle low, py::handle high) {
  std::int64_t l, h;
  if (codec::small_int(low, l) && codec::small_int(high, h) && l >= 0 && h >= 0 && h < (1LL << 40))
    return py::int_((h << 16) | l);
  return (high << py::int_(16)) | low;
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
  py::object high = value >> py::int_(16);
  words.append(value & mask);
  words.append(high & mask);
}

py::list reinterpreted(py::handle values, const char *pack_format, const char *unpack_format) {
  py::list result;
  for (py::handle value : values)
    result.append(codec::reinterpret(value, pack_format, unpack_format));
  return result;
}

void init(py::handle self, py::tuple args, py::dict kwargs) {
  kernel::module_global(ID(MewMasterBase)).attr(ID(__init__))(self, *args, **kwargs);
  self.attr(ID(start))();
}

// Operations that talk to the line.

bool get_coil(py::handle self, py::handle station, py::handle name) {
  py::object fb = query(self, codec::read_single_contact(station, name));
  return Text(fb).at(2) == '1';
}

py::list get_multi_coil_uint16(py::handle self, py::handle station, py::handle name,
                               py::handle count) {
  py::object fb = query(self, codec::read_contact_words(station, name, py::none(), count));
  return words_of(fb, count);
}

py::list get_multi_uint16(py::handle self, py::handle station, py::handle name, py::handle count) {
  py::object fb = query(self, codec::read_data_area(station, name, count));
  return words_of(fb, count);
}

void set_coil(py::handle self, py::handle station, py::handle name, py::handle value) {
  query(self, codec::write_single_contact(station, name, value));
}

void set_coil_uint16(py::handle self, py::handle station, py::handle name, py::handle value) {
  query(self, codec::write_contact_words(station, name, one(value)));
}

void set_multi_coil_uint16(py::handle self, py::handle station, py::handle name,
                           py::handle values) {
  query(self, codec::write_contact_words(station, name, values));
}

void set_uint16(py::handle self, py::handle station, py::handle name, py::handle value) {
  query(self, codec::write_data_area(station, name, one(value)));
}

void set_multi_uint16(py::handle self, py::handle station, py::handle name, py::handle values) {
  query(self, codec::write_data_area(station, name, values));
}

// Operations built on them: each calls another through the object, so an
// override there changes these too, and each is still one exchange.

py::object get_coil_uint16(py::handle self, py::handle station, py::handle name) {
  return first(self.attr(ID(get_multi_coil_uint16))(station, name, 1));
}

py::object get_uint16(py::handle self, py::handle station, py::handle name) {
  return first(self.attr(ID(get_multi_uint16))(station, name, 1));
}

py::object get_int16(py::handle self, py::handle station, py::handle name) {
  return codec::reinterpret(self.attr(ID(get_uint16))(station, name), "H", "h");
}

py::object get_uint32(py::handle self, py::handle station, py::handle name) {
  py::object words = self.attr(ID(get_multi_uint16))(station, name, 2);
  return join_words(words[py::int_(0)], words[py::int_(1)]);
}

py::object get_int32(py::handle self, py::handle station, py::handle name) {
  return codec::reinterpret(self.attr(ID(get_uint32))(station, name), "I", "i");
}

py::list get_multi_uint32(py::handle self, py::handle station, py::handle name, py::handle count) {
  py::object words = self.attr(ID(get_multi_uint16))(station, name, count * py::int_(2));
  py::list values;
  Py_ssize_t n = kernel::as_ssize_clamped(count);
  for (Py_ssize_t k = 0; k < n; ++k)
    values.append(join_words(words[py::int_(2 * k)], words[py::int_(2 * k + 1)]));
  return values;
}

py::list get_multi_int32(py::handle self, py::handle station, py::handle name, py::handle count) {
  return reinterpreted(self.attr(ID(get_multi_uint32))(station, name, count), "I", "i");
}

void set_uint32(py::handle self, py::handle station, py::handle name, py::handle value) {
  py::list words;
  append_split(words, value);
  self.attr(ID(set_multi_uint16))(station, name, words);
}

void set_int16(py::handle self, py::handle station, py::handle name, py::handle value) {
  self.attr(ID(set_uint16))(station, name, codec::reinterpret(value, "h", "H"));
}

void set_int32(py::handle self, py::handle station, py::handle name, py::handle value) {
  self.attr(ID(set_uint32))(station, name, codec::reinterpret(value, "i", "I"));
}

void set_multi_int16(py::handle self, py::handle station, py::handle name, py::handle values) {
  self.attr(ID(set_multi_uint16))(station, name, reinterpreted(values, "h", "H"));
}

void set_multi_uint32(py::handle self, py::handle station, py::handle name, py::handle values) {
  py::list words;
  for (py::handle value : values)
    append_split(words, value);
  self.attr(ID(set_multi_uint16))(station, name, words);
}

void set_multi_int32(py::handle self, py::handle station, py::handle name, py::handle values) {
  self.attr(ID(set_multi_uint32))(station, name, reinterpreted(values, "i", "I"));
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
