#pragma once

#include <atomic>
#include <memory>

#include "ui/event_loop.h"

// Turns Ctrl-C (and, by platform, SIGTERM or closing the console) into a clean stop of the
// event loop. A second one is the operator insisting: the process leaves at once with 130.
class SignalStop {
 public:
  explicit SignalStop(EventLoop& loop);
  ~SignalStop();
  SignalStop(const SignalStop&) = delete;
  SignalStop& operator=(const SignalStop&) = delete;
  bool Interrupted() const { return m_interrupted; }

 private:
  struct Waiter;
  EventLoop& m_loop;
  std::atomic<bool> m_interrupted{false};
  std::unique_ptr<Waiter> m_waiter;
};
