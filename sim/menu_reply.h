#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace chargersim {

// What the charger reports about itself in its menu.
struct Identity {
  std::string id = "QC-2410 Smart Charger";
  std::string serial = "12345678";
  std::string version = "V12";  // one byte, then two digits
};

// The reply to "0": identification line, "SN: ..." line, "VER: ..." line, then the menu
// itself, CR LF after every line. Sent in one write so that it reaches the updater in one read.
std::string BuildMenuReply(const Identity& identity);

// Everything that would keep the updater from accepting `reply` or from reading the charger's
// identity out of it; empty when the reply is fine.
std::vector<std::string> MenuReplyProblems(std::string_view reply);

// Problems with the identity fields themselves (line breaks, NUL, wrong version length).
std::vector<std::string> IdentityProblems(const Identity& identity);

}  // namespace chargersim
