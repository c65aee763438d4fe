#pragma once

#include <condition_variable>
#include <mutex>

// Auto-reset event: Set() releases one waiter, or stays set until the next wait.
// Interrupt() releases every waiter for good (shutdown).
class AutoResetEvent {
 public:
  void Set();
  // true when the event was set within `timeoutMs` (and is now clear again).
  bool WaitFor(int timeoutMs);
  void Interrupt();
  bool Interrupted() const;

 private:
  mutable std::mutex m_mutex;
  std::condition_variable m_cv;
  bool m_signalled = false;
  bool m_interrupted = false;
};
