#include "mew/codec/core/frame.hpp"

namespace zul_mew::codec {

void append_tail(std::string &frame) {
  for (char c : closing_of(xor_bytes(frame)))
    frame.push_back(c);
}

const char *command_code(Command command) {
  switch (command) {
  case Command::RCS:
    return "RCS";
  case Command::WCS:
    return "WCS";
  case Command::RCC:
    return "RCC";
  case Command::WCC:
    return "WCC";
  case Command::RD:
    return "RD";
  case Command::WD:
    return "WD";
  case Command::Unknown:
    break;
  }
  return kUnknownCommand;
}

void append_hex(std::string &out, std::uint64_t value, int width) {
  char digits[16];
  int count = 0;
  do {
    digits[count++] = kHexDigits[value & 15];
    value >>= 4;
  } while (value != 0);
  for (int i = count; i < width; ++i)
    out.push_back('0');
  while (count > 0)
    out.push_back(digits[--count]);
}

void append_decimal(std::string &out, std::uint64_t value, int width) {
  char digits[20];
  int count = 0;
  do {
    digits[count++] = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value != 0);
  for (int i = count; i < width; ++i)
    out.push_back('0');
  while (count > 0)
    out.push_back(digits[--count]);
}

} // namespace zul_mew::codec
