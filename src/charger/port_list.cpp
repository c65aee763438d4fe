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
  std::vector<std::string> names;
  std::string name;
  bool quoted = false;  // inside "..."
  bool wasQuoted = false;
  auto finish = [&] {
    if (wasQuoted)
      names.push_back(name);
    else if (const std::string_view trimmed = Trim(name); !trimmed.empty())
      names.emplace_back(trimmed);
    name.clear();
    wasQuoted = false;
  };
  for (const char c : text) {
    if (c == '"' && (quoted || Trim(name).empty())) {
      if (!quoted) name.clear();
      quoted = !quoted;
      wasQuoted = true;
    } else if (c == ',' && !quoted) {
      finish();
    } else if (!wasQuoted || quoted) {
      name += c;
    }
  }
  finish();
  return names;
}

std::vector<std::string> UniquePorts(const std::vector<std::string>& ports,
                                     std::vector<RepeatedPort>* repeated) {
  std::vector<std::string> kept;
  std::vector<std::string> keys;
  for (const std::string& port : ports) {
    const std::string key = PortDeviceKey(port);
    const auto same = std::find(keys.begin(), keys.end(), key);
    if (same == keys.end()) {
      kept.push_back(port);
      keys.push_back(key);
    } else {
      repeated->push_back({port, kept[static_cast<size_t>(same - keys.begin())]});
    }
  }
  return kept;
}

std::vector<std::string> ListSerialPorts() {
  const char* override = std::getenv("CHARGER_UPDATER_PORTS");
  if (override != nullptr && *override != '\0') return SplitNameList(override);
  return SystemSerialPorts();
}
