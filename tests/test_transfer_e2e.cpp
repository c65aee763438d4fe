// The real sender and serial channel programming the simulated charger over a real pty.

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <ostream>
#include <random>
#include <string>
#include <vector>

#include "serial/serial_port.h"
#include "sim/sim_charger.h"
#include "ymodem/sender.h"

namespace {

using std::chrono::milliseconds;

// What the updater's progress handler would see.
struct Progress {
  std::mutex lock;
  std::condition_variable changed;
  int32_t last = -1;
  int hundreds = 0;
  bool wentBack = false;
};

void OnProgress(void* owner, int32_t percent) {
  auto* progress = static_cast<Progress*>(owner);
  std::lock_guard lock(progress->lock);
  if (percent < progress->last) progress->wentBack = true;
  progress->last = percent;
  if (percent == 100) ++progress->hundreds;
  progress->changed.notify_all();
}

// The reply parser's part in a transfer: every byte to the sender while one is active.
void OnReceive(void*, const uint8_t* data, uint32_t count) {
  if (g_sender.transferActive.load() != 1) return;
  for (uint32_t i = 0; i < count; ++i) PostRxByte(data[i]);
}

struct Case {
  const char* name;
  size_t size;
  void (*faults)(chargersim::Options&);
};

void PrintTo(const Case& c, std::ostream* os) {
  *os << c.name;
}

class TransferE2e : public ::testing::TestWithParam<Case> {};

TEST_P(TransferE2e, ImageArrivesByteForByte) {
  const Case& c = GetParam();
  chargersim::Options options;
  if (c.faults != nullptr) c.faults(options);
  if (std::getenv("SIM_LOG") != nullptr) {
    options.verbose = true;
    options.log = [](const std::string& text) { std::fprintf(stderr, "sim: %s\n", text.c_str()); };
  }
  chargersim::SimCharger sim;
  std::string error;
  ASSERT_TRUE(sim.Start(options, &error)) << error;

  std::vector<uint8_t> image(c.size);
  std::mt19937 random(static_cast<uint32_t>(c.size));
  for (uint8_t& b : image) b = static_cast<uint8_t>(random());
  // Runs of FF FF bring the CRC to zero, where the charger's CRC departs from the textbook one.
  for (size_t i = 100; i + 1 < image.size(); i += 997) image[i] = image[i + 1] = 0xFF;

  Progress progress;
  g_serial.m_pfnReceive = OnReceive;
  ASSERT_EQ(g_serial.OpenPort(sim.SlavePath().c_str(), &progress), 1);

  ResetSender(&progress);
  g_sender.progressCallback = OnProgress;
  const uint8_t start = '1';
  ASSERT_EQ(g_serial.WritePort(&start, 1), 1);
  g_sender.transferActive = 1;
  ASSERT_TRUE(PrepareTransfer("fw.bin", image.data(), static_cast<uint32_t>(image.size())));
  ASSERT_TRUE(StartPump());

  {
    std::unique_lock lock(progress.lock);
    EXPECT_TRUE(progress.changed.wait_for(lock, milliseconds(30000),
                                          [&] { return progress.hundreds > 0; }));
  }
  ASSERT_TRUE(sim.WaitForSessions(1, milliseconds(5000)));
  const chargersim::SessionResult session = sim.Sessions().front();
  EXPECT_TRUE(session.ok) << session.failure;
  EXPECT_EQ(session.fileName, "fw.bin");
  EXPECT_EQ(session.rejected, 0u);
  EXPECT_EQ(sim.ReceivedImage(), image);

  StopPump();
  g_serial.ClosePort();
  g_serial.m_pfnReceive = nullptr;
  std::lock_guard lock(progress.lock);
  EXPECT_EQ(progress.hundreds, 1);
  EXPECT_FALSE(progress.wentBack);
}

INSTANTIATE_TEST_SUITE_P(
    Images, TransferE2e,
    ::testing::Values(
        Case{"Image3000", 3000, nullptr}, Case{"FullBuffer40960", 40960, nullptr},
        // NAK of the first EOT, a stray ACK, 0xFA for the last 'C' and noise before each reply.
        Case{"AwkwardCharger3000", 3000,
             [](chargersim::Options& o) {
               o.receiver.nakFirstEot = true;
               o.receiver.strayAck = true;
               o.receiver.faInsteadOfFinalC = true;
               o.garbage = true;
             }}),
    [](const ::testing::TestParamInfo<Case>& info) { return std::string(info.param.name); });

}  // namespace
