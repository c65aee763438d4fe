#include "charger/menu_reply.h"

#include <cstring>

namespace {

constexpr std::string_view kMenuMarker = "Main Menu";
// An earlier marker belongs to a banner or echo, not to the menu the probe asked for.
constexpr size_t kFirstMenuIndex = 16;

bool IsLineBreak(char c) {
  return c == '\r' || c == '\n';
}

// The first two lines; any run of CR/LF separates lines, so empty lines never count.
void FirstTwoLines(std::string_view text, std::string_view& line1, std::string_view& line2) {
  std::string_view* out[] = {&line1, &line2};
  line1 = line2 = {};
  size_t pos = 0;
  for (std::string_view* line : out) {
    while (pos < text.size() && IsLineBreak(text[pos])) ++pos;
    size_t end = pos;
    while (end < text.size() && !IsLineBreak(text[end])) ++end;
    *line = text.substr(pos, end - pos);
    pos = end;
  }
}

bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}

}  // namespace

std::string_view ChunkText(const uint8_t* data, uint32_t count) {
  if (data == nullptr || count == 0) return {};
  const void* nul = std::memchr(data, 0, count);
  size_t length = nul ? static_cast<size_t>(static_cast<const uint8_t*>(nul) - data) : count;
  return {reinterpret_cast<const char*>(data), length};
}

bool IsMenuReply(std::string_view text) {
  // Index 0 is never looked at, and a marker before index 16 refuses the chunk even when
  // another one follows.
  if (text.size() < 1) return false;
  size_t at = text.find(kMenuMarker, 1);
  return at != std::string_view::npos && at >= kFirstMenuIndex;
}

MenuReply ParseMenuReply(std::string_view text) {
  MenuReply reply;
  std::string_view line1, line2;
  FirstTwoLines(text, line1, line2);
  reply.identification = std::string(line1);

  // The number starts after "SN" and two separator bytes of any value (": " on real units).
  size_t s = line2.find("SN");
  if (s != std::string_view::npos) {
    reply.serial = s + 4 <= line2.size() ? std::string(line2.substr(s + 4)) : std::string();
  }

  // "VER", two bytes of any value, then <any><digit><digit>; a shorter tail passes as is.
  size_t v = text.find("VER");
  if (v != std::string_view::npos) {
    std::string_view version = v + 5 <= text.size() ? text.substr(v + 5, 3) : std::string_view();
    bool digits = true;
    for (size_t i = 1; i < version.size(); ++i) digits = digits && IsDigit(version[i]);
    if (digits) reply.version = std::string(version);
  }
  return reply;
}

bool IsLoaderAnswer(const uint8_t* data, uint32_t count) {
  constexpr uint8_t kCrcRequest = 'C';
  constexpr uint8_t kNak = 0x15;
  if (count == 0) return false;
  for (uint32_t i = 0; i < count; ++i)
    if (data[i] != kCrcRequest && data[i] != kNak) return false;
  return true;
}

MenuReply WithoutLoaderBytes(MenuReply reply) {
  constexpr std::string_view kLoaderBytes = "\x06\x15\x18";  // ACK, NAK, CAN
  const size_t start = reply.identification.find_first_not_of(kLoaderBytes);
  reply.identification.erase(0, start == std::string::npos ? reply.identification.size() : start);
  return reply;
}
