#include "ymodem/rx_ring.h"

void RxRing::Post(uint8_t byte) {
  bool wasEmpty;
  {
    std::lock_guard lock(m_lock);
    wasEmpty = m_bytes.empty();
    m_bytes.push_back(byte);
  }
  // The single consumer only sleeps on an empty queue.
  if (wasEmpty) m_ready.notify_one();
}

bool RxRing::Take(uint8_t& byte, const std::atomic<int>& run) {
  std::unique_lock lock(m_lock);
  m_ready.wait(lock, [&] { return run.load() == 0 || !m_bytes.empty(); });
  if (run.load() == 0) return false;
  byte = m_bytes.front();
  m_bytes.pop_front();
  return true;
}

void RxRing::Wake() {
  // Taking the lock orders the caller's store to `run` before the sleeper's next check of it.
  { std::lock_guard lock(m_lock); }
  m_ready.notify_all();
}

void RxRing::Clear() {
  std::lock_guard lock(m_lock);
  m_bytes.clear();
}
