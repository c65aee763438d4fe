#include "station/station_row.h"

#include <cstdio>

#include "platform/printable_text.h"

namespace {

std::string StateText(const StationRow& row) {
  switch (row.state) {
    case RowState::Waiting:
      return "waiting";
    case RowState::Found:
      return "found";
    case RowState::Programming:
      return "programming " + std::to_string(row.percent) + " %";
    case RowState::Verifying:
      return "verifying";
    case RowState::Passed:
      return "passed";
    case RowState::Failed:
      return "failed";
    case RowState::Skipped:
      return "skipped";
    case RowState::Refused:
      return "refused";
    case RowState::Cancelled:
      return "cancelled";
  }
  return {};
}

// Whole seconds while it runs, so the text changes once a second; tenths once it is over.
std::string ElapsedText(const StationRow& row, StationRow::Clock::time_point now) {
  char text[32];
  if (SessionUnderWay(row.state) && row.started) {
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(now - *row.started);
    std::snprintf(text, sizeof text, "%lld s", static_cast<long long>(seconds.count()));
    return text;
  }
  if (ShowsResult(row.state) && row.took) {
    std::snprintf(text, sizeof text, "%.1f s", static_cast<double>(row.took->count()) / 1000.0);
    return text;
  }
  return {};
}

// Charger text is device text: escaped like the terminal's, "-" when it was not reported.
std::string Shown(const std::optional<std::string>& text) {
  return text ? PrintableText(*text) : std::string("-");
}

}  // namespace

bool SessionUnderWay(RowState state) {
  return state == RowState::Programming || state == RowState::Verifying;
}

bool ShowsResult(RowState state) {
  return state == RowState::Passed || state == RowState::Failed || state == RowState::Skipped ||
         state == RowState::Refused || state == RowState::Cancelled;
}

RowColour ColourOf(RowState state) {
  switch (state) {
    case RowState::Programming:
    case RowState::Verifying:
      return RowColour::Busy;
    case RowState::Passed:
      return RowColour::Green;
    case RowState::Failed:
      return RowColour::Red;
    case RowState::Skipped:
    case RowState::Refused:
    case RowState::Cancelled:
      return RowColour::Amber;
    case RowState::Waiting:
    case RowState::Found:
      break;
  }
  return RowColour::Plain;
}

RowPaint PaintOf(RowColour colour) {
  switch (colour) {
    case RowColour::Busy:
      return {0xD6E6FF, 0x000000};
    case RowColour::Green:
      return {0x2E9E44, 0xFFFFFF};
    case RowColour::Red:
      return {0xD32F2F, 0xFFFFFF};
    case RowColour::Amber:
      return {0xFFB300, 0x000000};
    case RowColour::Plain:
      break;
  }
  return {0xFFFFFF, 0x000000};
}

RowCells CellsOf(const StationRow& row, StationRow::Clock::time_point now) {
  const bool known = row.state != RowState::Waiting;
  RowCells cells;
  cells.port = PrintableText(row.port);
  cells.state = StateText(row);
  cells.charger = known ? PrintableText(row.charger) : std::string();
  cells.serial = known ? Shown(row.serial) : std::string();
  cells.versionBefore = known ? Shown(row.versionBefore) : std::string();
  // After programming: what the charger reported when it was verified; blank when unknown.
  cells.versionAfter = row.versionAfter ? PrintableText(*row.versionAfter) : std::string();
  cells.elapsed = ElapsedText(row, now);
  cells.reason = PrintableText(row.reason);
  cells.colour = ColourOf(row.state);
  return cells;
}

const std::string& Cell(const RowCells& cells, int column) {
  const std::string* columns[kColumnCount] = {
      &cells.port,          &cells.state,        &cells.charger, &cells.serial,
      &cells.versionBefore, &cells.versionAfter, &cells.elapsed, &cells.reason};
  return *columns[column];
}
