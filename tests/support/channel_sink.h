#pragma once

// What the serial channel's tests share: a receiver that keeps every chunk, a channel whose
// failure messages are kept rather than shown, and checks both platforms' tests make.

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "port_peer.h"
#include "serial/serial_port.h"

namespace serialtest {

using Bytes = std::vector<uint8_t>;

inline double MsSince(std::chrono::steady_clock::time_point t) {
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t).count();
}

// Never zero, not periodic within a chunk.
inline Bytes Pattern(size_t n, int seed = 0) {
  Bytes b(n);
  for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>((i * 7 + i / 251 + seed) % 255 + 1);
  return b;
}

struct Sink {
  struct Chunk {
    Bytes bytes;
    bool zeroAfter;
  };
  std::mutex m;
  std::condition_variable cv;
  std::vector<Chunk> chunks;
  size_t total = 0;

  static void Receive(void* owner, const uint8_t* data, uint32_t count) {
    auto* s = static_cast<Sink*>(owner);
    std::lock_guard<std::mutex> l(s->m);
    s->chunks.push_back({Bytes(data, data + count), count == 1024 || data[count] == 0});
    s->total += count;
    s->cv.notify_all();
  }
  bool WaitFor(size_t n) {
    std::unique_lock<std::mutex> l(m);
    return cv.wait_for(l, std::chrono::seconds(1), [&] { return total >= n; });
  }
  Bytes All() {
    std::lock_guard<std::mutex> l(m);
    Bytes out;
    for (auto& c : chunks) out.insert(out.end(), c.bytes.begin(), c.bytes.end());
    return out;
  }
  size_t Count() {
    std::lock_guard<std::mutex> l(m);
    return chunks.size();
  }
};

struct Channel : CSerial {
  std::string lastMessage;
  Channel() {
    m_pfnReceive = &Sink::Receive;
    SetMessageHook([this](const std::string& t) { lastMessage = t; });
  }
};

// Four writers at once, fifty 16-byte messages each: every message reaches the far end whole.
inline void ExpectConcurrentMessagesWhole(CSerial& ch, PortPeer& peer) {
  constexpr int kThreads = 4, kMessages = 50, kLen = 16;
  std::vector<std::thread> writers;
  for (int w = 0; w < kThreads; ++w)
    writers.emplace_back([&, w] {
      const Bytes msg(kLen, uint8_t('a' + w));
      for (int i = 0; i < kMessages; ++i) EXPECT_EQ(ch.WritePort(msg.data(), kLen), 1);
    });
  const Bytes got = peer.Receive(kThreads * kMessages * kLen);
  for (auto& t : writers) t.join();
  ASSERT_EQ(got.size(), size_t(kThreads * kMessages * kLen));
  for (size_t i = 0; i < got.size(); i += kLen)
    ASSERT_EQ(Bytes(got.begin() + i, got.begin() + i + kLen), Bytes(kLen, got[i])) << i;
}

}  // namespace serialtest
