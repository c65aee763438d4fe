#include "cli/live_table.h"

#include <algorithm>
#include <cstdio>

#include "platform/printable_text.h"

namespace {

constexpr int kUnknownHeight = 24;

std::string Cells(const std::string& port, const std::string& serial, const std::string& version,
                  const std::string& state, const std::string& percent,
                  const std::string& elapsed) {
  char line[320];
  std::snprintf(line, sizeof line, "%-24s %-14s %-8s %-12s %4s %8s", port.c_str(), serial.c_str(),
                version.c_str(), state.c_str(), percent.c_str(), elapsed.c_str());
  return line;
}

std::string RowLine(const PortRow& row, std::chrono::steady_clock::time_point now) {
  const auto text = [](const std::optional<std::string>& value) {
    return value ? PrintableText(*value) : std::string("-");
  };
  const bool known = row.charger.has_value();
  char elapsed[32];
  std::snprintf(elapsed, sizeof elapsed, "%7.1fs",
                std::chrono::duration<double>(now - row.since).count());
  return Cells(PrintableText(row.port), known ? text(row.charger->serial) : "-",
               known ? text(row.charger->version) : "-", PhaseName(row.phase),
               std::to_string(row.percent) + "%", elapsed);
}

bool Busy(const PortRow& row) {
  return row.phase == PortPhase::Programming || row.phase == PortPhase::Verifying;
}

}  // namespace

std::vector<std::string> TableLines(const std::vector<PortRow>& rows, int height,
                                    std::chrono::steady_clock::time_point now) {
  // Two lines stay free, for the cursor and the count line after the last draw, so the
  // terminal never scrolls the table.
  const size_t room = static_cast<size_t>(std::max(3, (height > 0 ? height : kUnknownHeight) - 2));
  std::vector<std::string> lines = {Cells("PORT", "SERIAL", "VERSION", "STATE", "%", "ELAPSED")};
  std::vector<bool> shown(rows.size(), true);
  if (rows.size() + 1 > room) {
    size_t free = room - 2;  // the header and the "more" line
    std::fill(shown.begin(), shown.end(), false);
    for (bool busyPass : {true, false})
      for (size_t i = 0; i < rows.size() && free > 0; ++i)
        if (!shown[i] && Busy(rows[i]) == busyPass) shown[i] = true, --free;
  }
  for (size_t i = 0; i < rows.size(); ++i)
    if (shown[i]) lines.push_back(RowLine(rows[i], now));
  if (const auto hidden = std::count(shown.begin(), shown.end(), false); hidden > 0) {
    std::string more = "+";  // appended, which mingw's GCC 12 does not misread as an overlap
    more += std::to_string(hidden);
    more += " more";
    lines.push_back(more);
  }
  return lines;
}

std::string LiveTable::Draw(const std::vector<PortRow>& rows, int height) {
  std::string text = Erase();
  const auto lines = TableLines(rows, height, std::chrono::steady_clock::now());
  for (const std::string& line : lines) text += line + "\n";
  m_drawn = static_cast<int>(lines.size());
  return text;
}

std::string LiveTable::Erase() {
  if (m_drawn == 0) return {};
  // Up to the table's first line, then clear to the end of the screen.
  std::string text = "\033[" + std::to_string(m_drawn) + "F\033[J";
  m_drawn = 0;
  return text;
}
