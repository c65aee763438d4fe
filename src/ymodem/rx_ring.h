#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>

// Hands received bytes from the serial reader to the pump, in order and each exactly once.
// It grows past the 768 bytes a fixed ring would hold rather than drop a byte or stall the reader;
// the charger sends only a few bytes per block, so it never grows far.
class RxRing {
 public:
  // Never waits for the consumer.
  void Post(uint8_t byte);
  // Sleeps until a byte is queued or `run` reads 0; false (nothing taken) in the latter case.
  // Whoever clears `run` must call Wake() afterwards.
  bool Take(uint8_t& byte, const std::atomic<int>& run);
  void Wake();
  void Clear();

 private:
  std::mutex m_lock;
  std::condition_variable m_ready;
  std::deque<uint8_t> m_bytes;
};
