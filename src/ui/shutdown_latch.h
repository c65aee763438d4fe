#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

// A sleep that shutdown can cut short.
class ShutdownLatch {
 public:
  // false when stopped (now or during the sleep).
  bool SleepFor(int ms) {
    std::unique_lock lock(m_mutex);
    return !m_cv.wait_for(lock, std::chrono::milliseconds(ms), [this] { return m_stopped; });
  }
  void Stop() {
    {
      std::lock_guard lock(m_mutex);
      m_stopped = true;
    }
    m_cv.notify_all();
  }
  bool Stopped() const {
    std::lock_guard lock(m_mutex);
    return m_stopped;
  }

 private:
  mutable std::mutex m_mutex;
  std::condition_variable m_cv;
  bool m_stopped = false;
};
