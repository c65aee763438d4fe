#include "post/post_url.h"

#include <algorithm>
#include <cctype>

namespace {

bool StartsWithNoCase(const std::string& text, const std::string& start) {
  return text.size() >= start.size() &&
         std::equal(start.begin(), start.end(), text.begin(), [](char lower, char c) {
           return std::tolower(static_cast<unsigned char>(c)) == lower;
         });
}

bool IsPort(const std::string& digits, uint16_t* port) {
  if (digits.empty() || digits.size() > 5 ||
      !std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; }))
    return false;
  const long value = std::stol(digits);
  if (value < 1 || value > 65535) return false;
  *port = static_cast<uint16_t>(value);
  return true;
}

}  // namespace

std::optional<PostUrl> ParsePostUrl(const std::string& text, std::string* error) {
  PostUrl url;
  url.text = text;
  std::string rest;
  if (StartsWithNoCase(text, "https://")) {
    url.secure = true;
    url.port = 443;
    rest = text.substr(8);
  } else if (StartsWithNoCase(text, "http://")) {
    url.port = 80;
    rest = text.substr(7);
  } else {
    *error = "not an http:// or https:// address";
    return std::nullopt;
  }
  if (std::any_of(text.begin(), text.end(),
                  [](unsigned char c) { return c <= 0x20 || c == 0x7F; })) {
    *error = "an address holds no blanks or control characters";
    return std::nullopt;
  }
  const size_t end = rest.find_first_of("/?#");
  const std::string authority = rest.substr(0, end);
  url.target = end == std::string::npos ? "/" : rest.substr(end);
  url.target = url.target.substr(0, url.target.find('#'));  // a fragment is never sent
  if (url.target.empty() || url.target[0] != '/') url.target = "/" + url.target;
  if (authority.find('@') != std::string::npos) {
    *error =
        "a user name or password in the address would be shown in messages; give a token "
        "in CHARGER_UPDATER_TOKEN instead";
    return std::nullopt;
  }
  std::string port;
  if (!authority.empty() && authority[0] == '[') {
    const size_t close = authority.find(']');
    if (close == std::string::npos) {
      *error = "the IPv6 address has no closing ]";
      return std::nullopt;
    }
    url.host = authority.substr(1, close - 1);
    const std::string after = authority.substr(close + 1);
    if (!after.empty() && after[0] != ':') {
      *error = "unexpected text after the IPv6 address";
      return std::nullopt;
    }
    if (!after.empty()) port = after.substr(1);
  } else {
    const size_t colon = authority.find(':');
    url.host = authority.substr(0, colon);
    if (colon != std::string::npos) port = authority.substr(colon + 1);
  }
  if (url.host.empty()) {
    *error = "the address names no server";
    return std::nullopt;
  }
  if (!port.empty() && !IsPort(port, &url.port)) {
    *error = "the port is not a number from 1 to 65535";
    return std::nullopt;
  }
  return url;
}
