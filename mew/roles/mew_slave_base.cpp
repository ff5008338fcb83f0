// MewSlaveBase: turns one request frame into one answer frame.
#include "mew/codec/mew_static.hpp"
#include "mew/roles/slave_handlers.hpp"
#include "module/classes.hpp"
#include "module/kernel/names.hpp"
#include "module/kernel/numbers.hpp"

#include <cstring>

namespace zul_mew::roles {

namespace {

using codec::Command;
using codec::Text;
using codec::TextBuilder;
using kernel::nothing;
using kernel::steal;

void init(py::handle self, py::handle station) { self.attr(ID(_station)) = station; }

void process_invalid_frame(py::handle, py::handle frame) {
  kernel::print(kernel::format("Invalid MEW frame: %S", frame.ptr()));
}

py::object station(py::handle self) { return self.attr(ID(_station)); }

// Length first, so that the head and the BCC are only looked at in a frame
// long enough to have them.
bool is_mew_frame(py::handle command) {
  if (py::len(command) < codec::kShortestFrame)
    return false;
  if (Text(command).at(0) != codec::kHead)
    return false;
  return codec::crc_is_ok(command);
}

bool is_own_station(py::handle self, py::handle command) {
  py::object station = codec::parse_station(command);
  return !station.not_equal(self.attr(ID(_station)));
}

py::object count_between(py::handle first, py::handle last) {
  return codec::add(last - first, py::int_(1));
}

// The data words of a write request, four characters each from `at`; every
// word is read before the handler is called, so a short request writes nothing.
py::list data_words(const Text &command, Py_ssize_t at, py::handle count) {
  py::list values;
  Py_ssize_t n = kernel::as_ssize(count);
  for (Py_ssize_t i = 0; i < n; ++i)
    values.append(codec::parse_uint16(command.slice(at + 4 * i, at + 4 * i + 4)));
  return values;
}

// A word field carries 0 to 65535 in four digits. A larger value would widen
// the field and a negative one would put a minus sign on the line; the master
// would read either as other data, so such a result is refused.
void append_answer_words(std::string &data, py::handle words) {
  for (py::handle word : words) {
    py::object value = kernel::index(word);
    std::int64_t v;
    if (!codec::small_int(value, v) || v < 0 || v > 0xFFFF) {
      kernel::raise(PyExc_ValueError,
                    kernel::format("16-bit value out of range 0 to 65535: %R", word.ptr()));
    }
    codec::append_word(data, static_cast<std::uint64_t>(v));
  }
}

struct Contacts {
  py::str begin;
  py::object count;
};

// RCC and WCC: the code letter with the first word number, then the last word number.
Contacts contact_words(const Text &command, Py_ssize_t pos) {
  py::str begin = command.slice(pos, pos + 5);
  py::str end = command.slice(pos + 5, pos + 9);
  py::object first = codec::to_int(Text(begin).slice(1), 10);
  return {begin, count_between(first, codec::to_int(end, 10))};
}

// RD and WD: the area letter with the first address, then the last address.
Contacts registers(const Text &command, Py_ssize_t pos) {
  py::str begin = command.slice(pos, pos + 6);
  py::str end = command.slice(pos + 6, pos + 11);
  py::object first = codec::parse_register_address(Text(begin).slice(1));
  return {begin, count_between(first, codec::parse_register_address(end))};
}

// Serves one command; writes the answer data, or returns the error code.
int serve(py::handle self, const Text &command, Command cmd, Py_ssize_t pos, std::string &data) {
  switch (cmd) {
  case Command::RCS: {
    py::object state = self.attr(ID(on_get_coil))(command.slice(pos, pos + 5));
    data.push_back(kernel::is_true(state) ? '1' : '0');
    return 0;
  }
  case Command::WCS: {
    py::str contact = command.slice(pos, pos + 5);
    bool value = command.at(pos + 5) != '0';
    self.attr(ID(on_set_coil))(contact, py::bool_(value));
    return 0;
  }
  case Command::RCC: {
    Contacts words = contact_words(command, pos);
    append_answer_words(data, self.attr(ID(on_get_multi_coil_uint16))(words.begin, words.count));
    return 0;
  }
  case Command::WCC: {
    Contacts words = contact_words(command, pos);
    py::list values = data_words(command, pos + 9, words.count);
    self.attr(ID(on_set_multi_coil_uint16))(words.begin, values);
    return 0;
  }
  case Command::RD: {
    Contacts area = registers(command, pos);
    append_answer_words(data, self.attr(ID(on_get_multi_uint16))(area.begin, area.count));
    return 0;
  }
  case Command::WD: {
    Contacts area = registers(command, pos);
    py::list values = data_words(command, pos + 11, area.count);
    self.attr(ID(on_set_multi_uint16))(area.begin, values);
    return 0;
  }
  case Command::Unknown:
    break;
  }
  return codec::kProcessUnknownCmd;
}

py::str process_request(py::handle self, py::handle command) {
  if (!is_mew_frame(command)) {
    self.attr(ID(process_invalid_frame))(command);
    return py::str("");
  }
  if (!is_own_station(self, command)) {
    kernel::print(py::str("Ignore other target frame."));
    return py::str("");
  }
  Command cmd = codec::parse_command(command);
  const char *code = codec::command_code(cmd);
  Py_ssize_t type_at = codec::command_start_position(command) - 1;
  Py_ssize_t pos = type_at + 1 + static_cast<Py_ssize_t>(std::strlen(code));
  Text request(command);
  std::string data;
  int error = serve(self, request, cmd, pos, data);

  // The answer repeats the station field exactly as the request wrote it.
  TextBuilder answer;
  answer.text(request.slice(0, type_at));
  if (error == 0) {
    answer.ascii(codec::kFeedback);
    answer.ascii(std::string_view(code, 2));
    answer.ascii(data);
  } else {
    answer.ascii(codec::kError);
    codec::append_hex(answer.buffer(), static_cast<std::uint64_t>(-error), 2);
  }
  return answer.finish_frame();
}

} // namespace

const kernel::ClassDef &mew_slave_base_class() {
  using namespace kernel;
  static const ClassDef def{"MewSlaveBase",
                            {"ABC"},
                            with_slave_handlers(
                                {
                                    method({"__init__", {self(), arg("station", Type::Int)}, init}),
                                    method({"process_invalid_frame",
                                            {self(), arg("frame", Type::Text)},
                                            process_invalid_frame}),
                                    property({"station", {self()}, station, Type::Int}),
                                    method({"_process_request",
                                            {self(), arg("command", Type::Text)},
                                            process_request,
                                            Type::Text}),
                                },
                                abstract_method,
                                {nothing, nothing, nothing, nothing, nothing, nothing})};
  return def;
}

} // namespace zul_mew::roles
