#pragma once

#include <cstdint>
#include <optional>
#include <string>

// Where record rows are posted: an http:// or https:// address.
struct PostUrl {
  std::string text;  // as given
  bool secure = false;
  std::string host;  // an IPv6 address without its brackets
  uint16_t port = 0;
  std::string target;  // path and query, "/" at least
};

// The address's parts, or nullopt with what is wrong in `error` (without the address).
std::optional<PostUrl> ParsePostUrl(const std::string& text, std::string* error);
