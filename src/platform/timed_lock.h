#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

// A lock that can be waited for with a limit. std::timed_mutex would do, but GCC 12's
// ThreadSanitizer does not see pthread_mutex_clocklock, which try_lock_for uses, and then
// reports every such unlock as a fault; this one is built from what every tool sees.
class TimedLock {
 public:
  void lock() {
    std::unique_lock guard(m_mutex);
    m_free.wait(guard, [this] { return !m_held; });
    m_held = true;
  }
  bool try_lock() {
    std::lock_guard guard(m_mutex);
    if (m_held) return false;
    m_held = true;
    return true;
  }
  template <class Rep, class Period>
  bool try_lock_for(const std::chrono::duration<Rep, Period>& limit) {
    std::unique_lock guard(m_mutex);
    if (!m_free.wait_for(guard, limit, [this] { return !m_held; })) return false;
    m_held = true;
    return true;
  }
  void unlock() {
    {
      std::lock_guard guard(m_mutex);
      m_held = false;
    }
    m_free.notify_one();
  }

 private:
  std::mutex m_mutex;
  std::condition_variable m_free;
  bool m_held = false;
};
