// How close a 40960-byte programming comes to the protocol's own floor, and what it costs the
// sender in CPU; then the same with fast replies (--fast), and the ratio of the two. Then both
// again on a line paced at 115200 baud (charger-sim --baud), against the wire's own floor. The
// charger is charger-sim in a child process, so the CPU figure is ours alone.
//
//   transfer_bench [runs] [-v]

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <mutex>
#include <random>
#include <string>
#include <vector>

#include "bench/sim_process.h"
#include "serial/serial_port.h"
#include "ymodem/sender.h"

namespace {

using bench::Charger;
using bench::CpuSeconds;

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr uint32_t kImageSize = 40960;
constexpr double kBlockPauseMs = 80;   // the sender's own pause after each block's data
constexpr double kReadWindowMs = 100;  // each charger reply waits out one read window
constexpr double kFastGapMs = 2;       // ... or, with fast replies, a quiet gap
constexpr unsigned kLineBaud = 115200;
constexpr double kBlockBytes = 1029;  // start, number, its complement, 1024 bytes, CRC

struct Done {
  std::mutex lock;
  std::condition_variable changed;
  bool finished = false;
};

void OnProgress(void* owner, int32_t percent) {
  if (percent != 100) return;
  auto* done = static_cast<Done*>(owner);
  std::lock_guard lock(done->lock);
  done->finished = true;
  done->changed.notify_all();
}

void OnReceive(void*, const uint8_t* data, uint32_t count) {
  if (g_sender.transferActive.load() != 1) return;
  for (uint32_t i = 0; i < count; ++i) PostRxByte(data[i]);
}

// Wall time in ms, or a negative value when the run failed.
double RunOnce(int run, bool verbose, bool fast, unsigned baud) {
  std::vector<uint8_t> image(kImageSize);
  std::mt19937 random(static_cast<uint32_t>(run));
  for (uint8_t& b : image) b = static_cast<uint8_t>(random());

  const std::string savePath = "/tmp/transfer_bench-" + std::to_string(getpid()) + ".bin";
  Charger charger(savePath, verbose, baud);
  const std::string port = charger.Port();
  if (port.empty()) {
    std::fprintf(stderr, "charger-sim did not start (%s)\n", CHARGER_SIM_PATH);
    return -1;
  }

  Done done;
  g_serial.m_pfnReceive = OnReceive;
  if (g_serial.OpenPort(port.c_str(), &done) != 1) {
    std::fprintf(stderr, "cannot open %s\n", port.c_str());
    return -1;
  }
  // --fast: a reply goes to the sender once the line has been quiet for 2 ms.
  g_serial.SetReplyGap(milliseconds(fast ? 2 : 0));
  ResetSender(&done);
  g_sender.progressCallback = OnProgress;

  const double cpuBefore = CpuSeconds();
  const Clock::time_point started = Clock::now();
  const uint8_t start = '1';
  g_serial.WritePort(&start, 1);
  g_sender.transferActive = 1;
  PrepareTransfer("bench.bin", image.data(), kImageSize);
  StartPump();
  bool finished;
  {
    std::unique_lock lock(done.lock);
    finished = done.changed.wait_for(lock, milliseconds(60000), [&] { return done.finished; });
  }
  const double wallMs = std::chrono::duration<double, std::milli>(Clock::now() - started).count();
  const double cpu = CpuSeconds() - cpuBefore;
  // Closing flushes the port, which on a pty also drops whatever the charger has not read
  // yet: the end-of-batch block must have reached it first.
  const int status = charger.Wait(milliseconds(5000));
  StopPump();
  g_serial.ClosePort();
  std::ifstream saved(savePath, std::ios::binary);
  const std::vector<uint8_t> received((std::istreambuf_iterator<char>(saved)),
                                      std::istreambuf_iterator<char>());
  std::remove(savePath.c_str());

  const unsigned blocks = (kImageSize + 1023) / 1024;
  const unsigned replies = blocks + 3;
  const double windowMs = fast ? kFastGapMs : kReadWindowMs;
  const double floorMs = blocks * kBlockPauseMs + replies * windowMs;
  std::printf("run %d%s%s: %s, charger %s\n", run, fast ? " (fast replies)" : "",
              baud != 0 ? (" at " + std::to_string(baud) + " baud").c_str() : "",
              finished ? "completed" : "DID NOT COMPLETE",
              status == 0 && received == image ? "received the image intact"
                                               : "did NOT receive the image intact");
  std::printf("  wall time        %8.1f ms\n", wallMs);
  if (baud != 0) {
    // 8N1: ten bits a byte. The blocks alone, as the line must carry them.
    const double bytesPerSecond = baud / 10.0;
    const double wireMs = blocks * kBlockBytes / bytesPerSecond * 1000;
    std::printf("  wire floor       %8.1f ms = %u blocks x %.0f bytes at %.0f bytes/s\n", wireMs,
                blocks, kBlockBytes, bytesPerSecond);
    std::printf("  wall / floor     %8.3f   (%s)\n", wallMs / wireMs,
                fast ? "target <= 1.10" : "each reply waits out the 100 ms read window");
    std::printf("  per block        %8.1f ms   (%.1f ms on the wire, %.0f ms pause in it)\n",
                wallMs / blocks, kBlockBytes / bytesPerSecond * 1000, kBlockPauseMs);
    std::printf("  sender CPU       %8.3f s = %.2f %% of wall\n", cpu,
                100.0 * cpu * 1000.0 / wallMs);
    return finished ? wallMs : -1;
  }
  std::printf(
      "  protocol floor   %8.1f ms = %u blocks x %.0f ms pause + %u replies x %.0f ms "
      "read window\n",
      floorMs, blocks, kBlockPauseMs, replies, windowMs);
  std::printf(
      "                   (replies: 'C', ACK+C after the header, %u block ACKs, ACK+C "
      "after EOT)\n",
      blocks);
  std::printf("  wall / floor     %8.3f   (target <= 1.05)\n", wallMs / floorMs);
  std::printf("  sender CPU       %8.3f s = %.2f %% of wall   (target <= 5 %%)\n", cpu,
              100.0 * cpu * 1000.0 / wallMs);
  return finished ? wallMs : -1;
}

}  // namespace

int main(int argc, char** argv) {
  int runs = 1;
  bool verbose = false;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "-v") == 0) {
      verbose = true;
    } else {
      runs = std::max(1, std::atoi(argv[i]));
    }
  }
  std::printf(
      "transfer_bench: %u-byte image, real sender and serial channel, charger-sim over a "
      "pty\n",
      kImageSize);
  for (int run = 1; run <= runs; ++run) {
    for (unsigned baud : {0u, kLineBaud}) {
      const double normalMs = RunOnce(run, verbose, false, baud);
      const double fastMs = RunOnce(run, verbose, true, baud);
      if (normalMs < 0 || fastMs < 0) return 1;
      std::printf("run %d%s: fast / normal %8.3f%s\n\n", run,
                  baud != 0 ? (" at " + std::to_string(baud) + " baud").c_str() : "",
                  fastMs / normalMs, baud != 0 ? "" : "   (target <= 0.5)");
    }
  }
  return 0;
}
