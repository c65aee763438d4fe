#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

// One port of the station as its row shows it.
enum class RowState {
  Waiting,
  Found,
  Programming,
  Verifying,
  Passed,
  Failed,
  Skipped,
  Refused,
  Cancelled
};

// How a row reads from across the bench: passed green, failed red, skipped, refused and
// cancelled amber (not programmed, not faulty), a session under way marked as busy.
enum class RowColour { Plain, Busy, Green, Red, Amber };

struct StationRow {
  using Clock = std::chrono::steady_clock;

  std::string port;
  RowState state = RowState::Waiting;
  int percent = 0;
  std::string charger;
  std::optional<std::string> serial;
  std::optional<std::string> versionBefore;
  std::optional<std::string> versionAfter;
  std::string reason;  // of a failure or refusal, or why the port cannot be searched
  std::optional<Clock::time_point> started;       // the session under way
  std::optional<std::chrono::milliseconds> took;  // the last session's duration
  // The charger whose result is shown has gone since; the next one found replaces the result.
  bool chargerGone = false;
};

// The row's texts, column by column, and its colour.
struct RowCells {
  std::string port;
  std::string state;
  std::string charger;
  std::string serial;
  std::string versionBefore;
  std::string versionAfter;
  std::string elapsed;
  std::string reason;
  RowColour colour = RowColour::Plain;
};

inline constexpr int kColumnCount = 8;
// Column titles, in the order of RowCells.
inline constexpr const char* kColumnTitles[kColumnCount] = {
    "Port", "State", "Charger", "Serial", "Version before", "Version after", "Elapsed", "Reason"};

// A row's colours as 0xRRGGBB, the same in every window: strong enough to tell across a bench,
// with text that stays readable on them.
struct RowPaint {
  uint32_t background;
  uint32_t text;
};
RowPaint PaintOf(RowColour colour);

bool SessionUnderWay(RowState state);
bool ShowsResult(RowState state);
RowColour ColourOf(RowState state);
RowCells CellsOf(const StationRow& row, StationRow::Clock::time_point now);
// One cell of `cells` by column index.
const std::string& Cell(const RowCells& cells, int column);
