#include "sim/menu_reply.h"

#include <cctype>

namespace chargersim {
namespace {

constexpr size_t kMaxChunk = 1024;  // the updater reads at most this much at once
constexpr size_t kMinMarkerIndex = 16;

std::vector<std::string_view> SplitLines(std::string_view text) {
  std::vector<std::string_view> lines;
  size_t pos = 0;
  while (pos < text.size()) {
    const size_t start = text.find_first_not_of("\r\n", pos);
    if (start == std::string_view::npos) break;
    size_t end = text.find_first_of("\r\n", start);
    if (end == std::string_view::npos) end = text.size();
    lines.push_back(text.substr(start, end - start));
    pos = end;
  }
  return lines;
}

bool HasLineBreakOrNul(std::string_view s) {
  return s.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos;
}

}  // namespace

std::string BuildMenuReply(const Identity& identity) {
  std::string reply;
  reply += identity.id + "\r\n";
  reply += "SN: " + identity.serial + "\r\n";
  reply += "VER: " + identity.version + "\r\n";
  reply +=
      "==== Main Menu ====\r\n"
      " 0  Show this menu\r\n"
      " 1  Download firmware (YMODEM)\r\n"
      " 3  Run application\r\n"
      "Select: ";
  return reply;
}

std::vector<std::string> MenuReplyProblems(std::string_view reply) {
  std::vector<std::string> problems;
  if (reply.size() > kMaxChunk) {
    problems.push_back("longer than " + std::to_string(kMaxChunk) +
                       " bytes, so it cannot arrive in one read");
  }
  const std::string_view text = reply.substr(0, reply.find('\0'));

  const size_t marker = text.find("Main Menu", 1);
  if (marker == std::string_view::npos) {
    problems.push_back("no \"Main Menu\" (after the first byte)");
  } else if (marker < kMinMarkerIndex) {
    problems.push_back("\"Main Menu\" starts at index " + std::to_string(marker) +
                       ", the updater wants 16 or later");
  }

  const std::vector<std::string_view> lines = SplitLines(text);
  const std::string_view line2 = lines.size() > 1 ? lines[1] : std::string_view();
  if (line2.find("SN") == std::string_view::npos) {
    problems.push_back("line 2 has no \"SN\"; the serial number will read N/A");
  }

  const size_t ver = text.find("VER");
  if (ver == std::string_view::npos) {
    problems.push_back("no \"VER\"; the firmware version will read N/A");
  } else {
    const std::string_view version = text.substr(std::min(text.size(), ver + 5), 3);
    for (size_t i = 1; i < version.size(); ++i) {
      if (!std::isdigit(static_cast<unsigned char>(version[i]))) {
        problems.push_back("version \"" + std::string(version) +
                           "\" is not a byte and two digits; it will read N/A");
        break;
      }
    }
  }
  return problems;
}

std::vector<std::string> IdentityProblems(const Identity& identity) {
  std::vector<std::string> problems;
  if (identity.id.empty()) problems.push_back("the identification line is empty");
  if (HasLineBreakOrNul(identity.id)) problems.push_back("the id contains CR, LF or NUL");
  if (HasLineBreakOrNul(identity.serial)) problems.push_back("the serial contains CR, LF or NUL");
  if (HasLineBreakOrNul(identity.version)) problems.push_back("the version contains CR, LF or NUL");
  if (identity.version.size() != 3) problems.push_back("the version must be 3 characters");
  return problems;
}

}  // namespace chargersim
