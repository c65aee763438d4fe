#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "charger/menu_reply.h"
#include "record/image_facts.h"
#include "record/session_record.h"
#include "station/station_row.h"

// What the station view shows, written once for every window: one row per port, the image or
// job above them, the totals and yield, the Start/Stop state, and which sound a result calls
// for. The conductor's news arrives on its own thread; the window takes what changed on its
// own, at most ten times a second per row, so a busy station never floods the window.
class StationModel {
 public:
  using Clock = std::chrono::steady_clock;
  static constexpr std::chrono::milliseconds kDrawPeriod{100};

  enum class Run { Stopped, Running, Stopping };
  enum class Sound { Pass, Fail };

  struct Totals {
    int passed = 0;
    int failed = 0;
    int refused = 0;
    int skipped = 0;
    int cancelled = 0;
  };

  struct HeaderCells {
    std::string title;    // the job's name, or the image's
    std::string details;  // size, version tag, start of the SHA-256
    std::string passed, failed, refused, yield;
    std::string others;  // skipped and cancelled, when there were any
    std::string run;     // the Start/Stop state in words
    bool canStart = false;
    bool canStop = false;
    bool canOpen = false;  // another image may be chosen
  };

  // What the window draws now.
  struct Frame {
    std::optional<HeaderCells> header;
    std::vector<std::pair<size_t, RowCells>> rows;
    std::optional<Sound> sound;
    std::optional<Clock::time_point> next;  // take a frame again then, if nothing comes first
  };

  explicit StationModel(std::vector<std::string> ports);

  size_t RowCount() const { return m_rows.size(); }
  const std::string& Port(size_t row) const { return m_rows[row].port; }

  void SetImage(const ImageFacts& image, const std::string& jobName = "");
  void SetSound(bool on);
  // With --verify a passed charger reports the image's version after programming.
  void SetVerify(bool on);
  void SetRun(Run run);
  // Moves the run from `from` to `to`; false, changing nothing, when it is not at `from` (the
  // run may end on the conductor's thread at any moment).
  bool ChangeRun(Run from, Run to);
  Run GetRun() const;
  Totals GetTotals() const;
  // Rows whose session is under way.
  int Busy() const;

  // The conductor's news about `row`; any thread. `state` is the port's phase: searching,
  // connected, programming, verifying or done; anything else (starting, restarting, stopped)
  // means no charger answers there now.
  void PortState(size_t row, std::string_view state, const std::optional<MenuReply>& charger,
                 Clock::time_point now);
  void Progress(size_t row, int percent);
  void SessionEnded(size_t row, const SessionRecord& record);
  // Why the port cannot be searched; shown while it waits.
  void PortProblem(size_t row, const std::string& text);
  // What the operator must know about the whole run (a record that cannot be written); shown
  // beside the Start/Stop state until the next Start.
  void Notice(const std::string& text);

  // Called once when something waits to be drawn, until the next TakeFrame; any thread.
  void SetChangedListener(std::function<void()> listener);
  // The window's thread: what to draw now, and when to ask again.
  Frame TakeFrame(Clock::time_point now);

 private:
  struct Slot : StationRow {
    bool dirty = true;
    Clock::time_point drawnAt{};
    std::string drawnElapsed;
  };

  HeaderCells Header() const;
  void Changed(std::unique_lock<std::mutex>& lock);

  mutable std::mutex m_mutex;
  std::vector<Slot> m_rows;
  std::optional<ImageFacts> m_image;
  std::string m_jobName;
  std::string m_notice;
  bool m_soundOn = true;
  bool m_verify = false;
  Run m_run = Run::Stopped;
  Totals m_totals;
  bool m_headerDirty = true;
  std::optional<Sound> m_sound;
  std::function<void()> m_listener;
  std::atomic<bool> m_wakePending{false};
};
