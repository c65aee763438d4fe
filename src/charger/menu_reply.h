#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// What a charger's menu reply says about the charger.
struct MenuReply {
  std::string identification;          // line 1
  std::optional<std::string> serial;   // empty optional: no "SN" in line 2
  std::optional<std::string> version;  // empty optional: no "VER" or not <any><digit><digit>
};

// The chunk's text: its bytes up to the first NUL, never more than `count`.
std::string_view ChunkText(const uint8_t* data, uint32_t count);
// true when "Main Menu" first occurs (searching from index 1) at index 16 or later.
bool IsMenuReply(std::string_view text);
// true when the chunk is what a charger's loader sends while it waits for an image ('C' or
// NAK, possibly repeated) rather than any menu.
bool IsLoaderAnswer(const uint8_t* data, uint32_t count);
// Parse a text that passed IsMenuReply.
MenuReply ParseMenuReply(std::string_view text);
// The reply as records and guards take it: a chunk read right after a transfer carries the
// loader's last ACK (or NAK, CAN) in front of the identification line, which is no part of the
// charger's name.
MenuReply WithoutLoaderBytes(MenuReply reply);
