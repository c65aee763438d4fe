#include "platform/auto_reset_event.h"

#include <chrono>

void AutoResetEvent::Set() {
  {
    std::lock_guard lock(m_mutex);
    m_signalled = true;
  }
  m_cv.notify_one();
}

bool AutoResetEvent::WaitFor(int timeoutMs) {
  std::unique_lock lock(m_mutex);
  auto timeout = std::chrono::milliseconds(timeoutMs > 0 ? timeoutMs : 0);
  m_cv.wait_for(lock, timeout, [this] { return m_signalled || m_interrupted; });
  // After shutdown a pending signal no longer means a charger answered.
  if (m_interrupted || !m_signalled) return false;
  m_signalled = false;
  return true;
}

void AutoResetEvent::Interrupt() {
  {
    std::lock_guard lock(m_mutex);
    m_interrupted = true;
  }
  m_cv.notify_all();
}

bool AutoResetEvent::Interrupted() const {
  std::lock_guard lock(m_mutex);
  return m_interrupted;
}
