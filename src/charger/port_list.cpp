#include "charger/port_list.h"

#include <algorithm>
#include <cstdlib>
#include <string_view>

namespace {

bool StartsWith(std::string_view s, std::string_view prefix) {
  return s.substr(0, prefix.size()) == prefix;
}

// Chargers enumerate as USB CDC-ACM or behind a USB-serial bridge, so those are probed first:
// every silent UART costs the search a full probe time-out.
int KindRank(std::string_view name) {
  if (StartsWith(name, "ttyACM")) return 0;
  if (StartsWith(name, "ttyUSB")) return 1;
  return 2;
}

bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}

// Natural order: digit runs compare by value, everything else byte by byte.
int NaturalCompare(std::string_view a, std::string_view b) {
  size_t i = 0, j = 0;
  while (i < a.size() && j < b.size()) {
    if (IsDigit(a[i]) && IsDigit(b[j])) {
      size_t si = i, sj = j;
      while (si < a.size() && a[si] == '0') ++si;
      while (sj < b.size() && b[sj] == '0') ++sj;
      size_t ei = si, ej = sj;
      while (ei < a.size() && IsDigit(a[ei])) ++ei;
      while (ej < b.size() && IsDigit(b[ej])) ++ej;
      if (ei - si != ej - sj) return ei - si < ej - sj ? -1 : 1;
      if (int c = a.substr(si, ei - si).compare(b.substr(sj, ej - sj)); c != 0) return c;
      i = ei;
      j = ej;
    } else {
      if (a[i] != b[j])
        return static_cast<unsigned char>(a[i]) < static_cast<unsigned char>(b[j]) ? -1 : 1;
      ++i;
      ++j;
    }
  }
  if (i < a.size()) return 1;
  if (j < b.size()) return -1;
  return a.compare(b);  // "ttyS01" vs "ttyS1": any fixed order will do
}

std::string_view Trim(std::string_view s) {
  constexpr std::string_view kBlanks = " \t\r\n";
  size_t first = s.find_first_not_of(kBlanks);
  if (first == std::string_view::npos) return {};
  return s.substr(first, s.find_last_not_of(kBlanks) - first + 1);
}

}  // namespace

bool PortNameLess(const std::string& a, const std::string& b) {
  std::string_view na = std::string_view(a).substr(a.rfind('/') + 1);
  std::string_view nb = std::string_view(b).substr(b.rfind('/') + 1);
  int ra = KindRank(na), rb = KindRank(nb);
  if (ra != rb) return ra < rb;
  return NaturalCompare(na, nb) < 0;
}

std::vector<std::string> SplitNameList(const std::string& text) {
  std::vector<std::string> ports;
  size_t start = 0;
  while (start <= text.size()) {
    size_t comma = text.find(',', start);
    if (comma == std::string::npos) comma = text.size();
    std::string_view name = Trim(std::string_view(text).substr(start, comma - start));
    if (!name.empty()) ports.emplace_back(name);
    start = comma + 1;
  }
  return ports;
}

std::vector<std::string> ListSerialPorts() {
  const char* override = std::getenv("CHARGER_UPDATER_PORTS");
  if (override != nullptr && *override != '\0') return SplitNameList(override);
  return SystemSerialPorts();
}
