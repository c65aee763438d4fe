// The menu-reply parser on any chunk a device may send.

#include <cstddef>
#include <cstdint>

#include "charger/menu_reply.h"
#include "fuzz_check.h"

namespace {

bool HasLineBreak(const std::string& s) {
  return s.find_first_of("\r\n") != std::string::npos;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text = ChunkText(data, static_cast<uint32_t>(size));
  FUZZ_CHECK(text.size() <= size);
  FUZZ_CHECK(text.find('\0') == std::string_view::npos);
  const bool menu = IsMenuReply(text);
  FUZZ_CHECK(!menu || text.find("Main Menu") != std::string_view::npos);

  // The parser runs on accepted replies only, but must hold on any text.
  const MenuReply reply = ParseMenuReply(text);
  FUZZ_CHECK(!HasLineBreak(reply.identification));
  FUZZ_CHECK(text.find(reply.identification) != std::string_view::npos);
  if (reply.serial) {
    FUZZ_CHECK(!HasLineBreak(*reply.serial));
    FUZZ_CHECK(text.find(*reply.serial) != std::string_view::npos);
  }
  if (reply.version) FUZZ_CHECK(reply.version->size() <= 3);
  return 0;
}
