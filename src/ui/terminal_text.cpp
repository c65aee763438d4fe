#include "terminal_text.h"

#include <cstdint>

namespace {

// Length of the well-formed UTF-8 sequence at `at` for a code point a terminal prints
// (U+00A0 and above, no surrogates, no bidirectional overrides); 0 otherwise.
size_t PrintableUtf8Length(std::string_view text, size_t at) {
  const auto lead = static_cast<uint8_t>(text[at]);
  size_t length = 0;
  uint32_t code = 0;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2, code = lead & 0x1Fu;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3, code = lead & 0x0Fu;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4, code = lead & 0x07u;
  } else {
    return 0;
  }
  if (text.size() - at < length) return 0;
  for (size_t i = 1; i < length; ++i) {
    const auto next = static_cast<uint8_t>(text[at + i]);
    if ((next & 0xC0u) != 0x80u) return 0;
    code = (code << 6) | (next & 0x3Fu);
  }
  const uint32_t smallest[] = {0, 0, 0x80, 0x800, 0x10000};
  if (code < smallest[length] || code > 0x10FFFF) return 0;  // overlong or out of range
  if (code < 0xA0) return 0;                                 // C1 controls
  if (code >= 0xD800 && code <= 0xDFFF) return 0;            // surrogates
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
