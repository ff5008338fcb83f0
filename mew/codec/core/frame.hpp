// Frame layout of the protocol, independent of any host: the characters that
// delimit a frame, the block check code and the scans over a frame's text.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>

namespace zul_mew::codec {

inline constexpr char kHead = '%';
inline constexpr char kTail = '\r';
inline constexpr char kQuery = '#';
inline constexpr char kError = '!';
inline constexpr char kFeedback = '$';
inline constexpr char kIgnoreBcc = '*';
inline constexpr const char *kHexDigits = "0123456789ABCDEF";

// The shortest frame: head, two station digits, type, two command characters
// and the check code with its tail.
inline constexpr std::size_t kShortestFrame = 9;

// What a request's command is called when it names none of the six.
inline constexpr const char *kUnknownCommand = "UNKNOWN";

// XOR of every byte, started at `init`; eight bytes at a time, since XOR
// does not care which byte of a word a byte sits in.
inline std::uint8_t xor_bytes(std::string_view bytes, std::uint8_t init = 0) {
  std::uint64_t words = init;
  std::size_t i = 0;
  for (; i + 8 <= bytes.size(); i += 8) {
    std::uint64_t word;
    std::memcpy(&word, bytes.data() + i, 8);
    words ^= word;
  }
  for (; i < bytes.size(); ++i)
    words ^= static_cast<unsigned char>(bytes[i]);
  words ^= words >> 32;
  words ^= words >> 16;
  words ^= words >> 8;
  return static_cast<std::uint8_t>(words);
}

// What closes a frame: its BCC as two upper-case hexadecimal digits, then the tail.
inline std::array<char, 3> closing_of(std::uint8_t bcc) {
  return {kHexDigits[bcc >> 4], kHexDigits[bcc & 15], kTail};
}

// Closes a frame with its closing.
void append_tail(std::string &frame);

// Index of the type character; -1 when the tail or a BCC filler comes first;
// the length when the text has neither.
template <typename CharT> long find_station_end(const CharT *data, std::size_t length) {
  for (std::size_t i = 0; i < length; ++i) {
    switch (data[i]) {
    case kTail:
    case kIgnoreBcc:
      return -1;
    case kQuery:
    case kFeedback:
    case kError:
      return static_cast<long>(i);
    default:
      break;
    }
  }
  return static_cast<long>(length);
}

// The six commands a request names; Unknown for anything else.
enum class Command { RCS, WCS, RCC, WCC, RD, WD, Unknown };

// Reads the command code from up to three characters after the type character.
template <typename CharT> Command command_of(const CharT *cmd, std::size_t length) {
  auto is = [&](const char *code, std::size_t n) {
    if (length < n)
      return false;
    for (std::size_t i = 0; i < n; ++i)
      if (cmd[i] != static_cast<CharT>(code[i]))
        return false;
    return true;
  };
  if (length == 3) {
    if (is("RCS", 3))
      return Command::RCS;
    if (is("WCS", 3))
      return Command::WCS;
    if (is("RCC", 3))
      return Command::RCC;
    if (is("WCC", 3))
      return Command::WCC;
  }
  if (is("RD", 2))
    return Command::RD;
  if (is("WD", 2))
    return Command::WD;
  return Command::Unknown;
}

const char *command_code(Command command);

// Value of a run of plain digits (no sign, blank or prefix) in base 10 or 16;
// nothing when the text is anything else or too long to be exact.
template <typename CharT>
std::optional<std::uint64_t> parse_digits(const CharT *text, std::size_t length, int base) {
  if (length == 0 || length > 15)
    return std::nullopt;
  std::uint64_t value = 0;
  for (std::size_t i = 0; i < length; ++i) {
    auto c = static_cast<std::uint32_t>(text[i]);
    std::uint32_t digit;
    if (c >= '0' && c <= '9')
      digit = c - '0';
    else if (base == 16 && c >= 'A' && c <= 'F')
      digit = c - 'A' + 10;
    else if (base == 16 && c >= 'a' && c <= 'f')
      digit = c - 'a' + 10;
    else
      return std::nullopt;
    value = value * static_cast<std::uint64_t>(base) + digit;
  }
  return value;
}

// Appends `value` in upper-case hexadecimal or decimal, zero-filled to `width`.
void append_hex(std::string &out, std::uint64_t value, int width);
void append_decimal(std::string &out, std::uint64_t value, int width);

// A 16-bit field: the low byte, then the rest, each at least two digits.
inline void append_word(std::string &out, std::uint64_t value) {
  append_hex(out, value & 0xFF, 2);
  append_hex(out, value >> 8, 2);
}

// A contact address: the text left-filled with "0" to four characters.
inline void append_contact_address(std::string &out, std::string_view address) {
  if (address.size() < 4)
    out.append(4 - address.size(), '0');
  out.append(address);
}

} // namespace zul_mew::codec
