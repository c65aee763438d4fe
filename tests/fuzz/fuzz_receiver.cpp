// The simulated charger's block receiver on any byte stream from a sender. Input: one byte
// choosing the faults, then the stream; the clock moves 1 ms per byte.

#include <chrono>
#include <cstddef>
#include <cstdint>

#include "fuzz_check.h"
#include "sim/receiver.h"

using chargersim::Receiver;
using chargersim::ReceiverConfig;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  ReceiverConfig config;
  config.nakFirstEot = data[0] & 0x01;
  config.faInsteadOfFinalC = data[0] & 0x02;
  config.strayAck = data[0] & 0x04;
  config.unplugAfterBlocks = (data[0] >> 3) & 0x07;
  const bool silenceMidway = data[0] & 0x80;

  size_t writes = 0;
  Receiver receiver(config, {[&](std::vector<uint8_t> bytes) {
                               FUZZ_CHECK(!bytes.empty());
                               ++writes;
                             },
                             {}});
  Receiver::Clock::time_point now{};
  receiver.Begin(now);
  FUZZ_CHECK(writes == 1);
  for (size_t i = 1; i < size; ++i) {
    now += std::chrono::milliseconds(1);
    receiver.Feed(data[i], now);
    if (silenceMidway && i == size / 2) {
      now = receiver.Deadline() == Receiver::Clock::time_point::max() ? now : receiver.Deadline();
      receiver.Tick(now);
    }
  }

  // A sender that falls silent is given up on after a bounded number of retries.
  for (unsigned i = 0; i <= config.maxIdleTimeouts + 1 && !receiver.Finished(); ++i) {
    now = receiver.Deadline();
    receiver.Tick(now);
  }
  FUZZ_CHECK(receiver.Finished());
  FUZZ_CHECK(receiver.Deadline() == Receiver::Clock::time_point::max());

  const chargersim::SessionResult& result = receiver.Result();
  FUZZ_CHECK(result.ok == result.failure.empty());
  FUZZ_CHECK(result.image.size() <= result.announcedSize);
  if (result.ok) {
    FUZZ_CHECK(!receiver.WantsUnplug());
    FUZZ_CHECK(result.image.size() == result.announcedSize);
    FUZZ_CHECK(result.dataBlocks > 0);
  }
  FUZZ_CHECK(!result.Summary().empty());
  return 0;
}
