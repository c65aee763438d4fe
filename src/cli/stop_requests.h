#pragma once

#include <atomic>
#include <functional>

// Turns the operator's stop requests (Ctrl-C, SIGTERM; on Windows the console's control
// events) into a clean stop of the run. The operating system's side watches for them; the
// rule for what a request does is the same everywhere.
class StopRequests {
 public:
  enum class Cause { None, Interrupt, Terminate };

  // `onStop` runs once, on the watching thread, for the first request. A second interrupt
  // is the operator insisting: `onLeaveNow` runs on the watching thread, then the process
  // exits at once with the interrupt's status. A second terminate request is ignored, so
  // tools that signal twice still get a clean stop.
  StopRequests(std::function<void()> onStop, std::function<void()> onLeaveNow);
  ~StopRequests();
  StopRequests(const StopRequests&) = delete;
  StopRequests& operator=(const StopRequests&) = delete;

  Cause StoppedBy() const { return m_cause.load(); }
  bool Stopped() const { return StoppedBy() != Cause::None; }
  // The conventional status of a run ended by the request: 130 for an interrupt, 143 for a
  // terminate request; 0 when none came.
  int ExitStatus() const;

 private:
  // Called by the watching side for every request it sees.
  void Take(Cause cause);
  // The platform's watch; started last by the constructor, stopped first by the destructor.
  struct Watch;
  void StartWatching();
  void StopWatching();

  std::function<void()> m_onStop;
  std::function<void()> m_onLeaveNow;
  std::atomic<Cause> m_cause{Cause::None};
  Watch* m_watch = nullptr;
};
