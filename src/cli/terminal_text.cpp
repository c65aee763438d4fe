#include "cli/terminal_text.h"

#include <cstdint>

#include "platform/utf8.h"

namespace {

// Length of the UTF-8 sequence at `at` for a code point a terminal prints: U+00A0 and above,
// no bidirectional overrides or isolates, which could reorder what the user reads; 0 otherwise.
size_t PrintableUtf8Length(std::string_view text, size_t at) {
  uint32_t code = 0;
  const size_t length = DecodeUtf8(text, at, &code);
  if (length == 0 || code < 0xA0) return 0;  // not UTF-8, or C1 controls
  if ((code >= 0x202A && code <= 0x202E) || (code >= 0x2066 && code <= 0x2069)) return 0;
  return length;
}

}  // namespace

std::string PrintableText(std::string_view text) {
  static const char kHex[] = "0123456789abcdef";
  std::string shown;
  shown.reserve(text.size());
  for (size_t at = 0; at < text.size();) {
    const auto byte = static_cast<uint8_t>(text[at]);
    if (byte == '\\') {
      shown += "\\\\";
      ++at;
    } else if (byte >= 0x20 && byte < 0x7F) {
      shown += static_cast<char>(byte);
      ++at;
    } else if (const size_t length = PrintableUtf8Length(text, at); length > 0) {
      shown.append(text.substr(at, length));
      at += length;
    } else {
      shown += "\\x";
      shown += kHex[byte >> 4];
      shown += kHex[byte & 0x0F];
      ++at;
    }
  }
  return shown;
}
