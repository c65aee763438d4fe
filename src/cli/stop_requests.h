#pragma once

#include <atomic>
#include <functional>
#include <optional>

#include "platform/stop_cause.h"

// Turns the operator's stop requests (Ctrl-C, SIGTERM, a closed terminal; on Windows the
// console's control events) and the run's own (its output gone, its conductor gone) into a
// clean stop of the run. The operating system's side watches for the signals; the rule for
// what a request does is the same everywhere.
class StopRequests {
 public:
  // `onStop` runs once, for the first request, on the thread that made it (the watching
  // thread for signals). A second Ctrl-C is the operator insisting: `onLeaveNow` runs on the
  // watching thread, then the process exits at once with the interrupt's status. Any other
  // second request is ignored, so tools that signal twice still get a clean stop.
  StopRequests(std::function<void()> onStop, std::function<void()> onLeaveNow);
  ~StopRequests();
  StopRequests(const StopRequests&) = delete;
  StopRequests& operator=(const StopRequests&) = delete;

  // A stop the run asks for itself (never a second Ctrl-C). Any thread.
  void Request(StopCause cause);

  std::optional<StopCause> StoppedBy() const;
  bool Stopped() const { return StoppedBy().has_value(); }
  // The status of a run ended by the request (130, 143, 129, ...); 0 when none came.
  int ExitStatus() const;

 private:
  static constexpr int kNone = -1;
  // Called by the watching side for every signal it sees.
  void Take(StopCause cause);
  bool TakeFirst(StopCause cause);
  // The platform's watch; started last by the constructor, stopped first by the destructor.
  struct Watch;
  void StartWatching();
  void StopWatching();

  std::function<void()> m_onStop;
  std::function<void()> m_onLeaveNow;
  std::atomic<int> m_cause{kNone};
  std::atomic<bool> m_interrupted{false};  // a Ctrl-C has come
  Watch* m_watch = nullptr;
};

// A write to a closed pipe or past the file-size limit fails with EPIPE or EFBIG, to be handled
// where it happens, instead of killing the process in the middle of a transfer. Process-wide;
// the command-line tool calls it once at its start.
void TakeWriteFailuresAsErrors();
