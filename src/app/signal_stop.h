#pragma once

#include <functional>
#include <memory>

// Turns the operator's stop requests (Ctrl-C, SIGTERM; on Windows the console's control
// events) into a clean stop of the run. One thread of its own waits for them.
class SignalStop {
 public:
  enum class Cause { None, Interrupt, Terminate };

  // `onStop` runs once, on the waiting thread, for the first request. A second interrupt
  // is the operator insisting: `onLeaveNow` runs on the waiting thread, then the process
  // exits at once with the interrupt's status. A second terminate request is ignored, so
  // tools that signal twice still get a clean stop.
  SignalStop(std::function<void()> onStop, std::function<void()> onLeaveNow);
  ~SignalStop();
  SignalStop(const SignalStop&) = delete;
  SignalStop& operator=(const SignalStop&) = delete;

  Cause StoppedBy() const;
  bool Stopped() const { return StoppedBy() != Cause::None; }
  // The conventional status of a run ended by the request: 130 for an interrupt, 143 for a
  // terminate request; 0 when none came.
  int ExitStatus() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> m_impl;
};
