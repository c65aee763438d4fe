// What the production station's window costs: eight simulated chargers (charger-sim --baud
// 115200, each in its own process) programmed from the station view against one alone, the
// window process's own CPU (its workers not counted) while the eight transfers run and while
// the eight chargers sit idle on their ports, and its memory with 32 rows at work. The window
// runs offscreen; a session's end is seen in the record it writes.
//
//   station_bench [--fast] [--baud RATE]

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/posix_child_process.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;
constexpr size_t kImageSize = 40960;
constexpr double kIdleSeconds = 5;

pid_t Spawn(std::vector<std::string> args, bool offscreen) {
  ChildLaunch launch;
  launch.argv = std::move(args);
  launch.outToNull = true;
  launch.errToNull = true;
  if (offscreen) {
    std::vector<std::string> env;
    for (char** entry = environ; *entry != nullptr; ++entry) env.emplace_back(*entry);
    env.emplace_back("QT_QPA_PLATFORM=offscreen");
    launch.env = std::move(env);
  }
  Child child;
  return SpawnChild(launch, &child) == 0 ? child.pid : -1;
}

// The process's own CPU seconds, without its children's.
double CpuSeconds(pid_t pid) {
  std::ifstream file("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  const size_t close = text.rfind(')');
  if (close == std::string::npos) return 0;
  std::istringstream fields(text.substr(close + 2));
  std::string field;
  double ticks = 0;
  for (int i = 3; i <= 15 && fields >> field; ++i)
    if (i == 14 || i == 15) ticks += std::atof(field.c_str());  // utime, stime
  return ticks / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// kB resident.
long RssKb(pid_t pid) {
  std::ifstream file("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(file, line);)
    if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
  return 0;
}

// Finished sessions in the record: its lines after the header.
int Rows(const std::string& record) {
  std::ifstream file(record);
  int lines = 0;
  for (std::string line; std::getline(file, line);) ++lines;
  return lines > 0 ? lines - 1 : 0;
}

struct Bench {
  std::string dir;
  std::string image;
  unsigned baud = 115200;
  bool fast = false;
  int runs = 0;

  std::pair<std::vector<pid_t>, std::string> StartChargers(int count) {
    std::vector<pid_t> sims;
    std::string ports;
    for (int i = 0; i < count; ++i) {
      const std::string link = dir + "/tty" + std::to_string(runs) + "-" + std::to_string(i);
      sims.push_back(Spawn(
          {CHARGER_SIM_PATH, "--link", link, "--keep-version", "--baud", std::to_string(baud)},
          false));
      ports += (ports.empty() ? "" : ",") + link;
    }
    for (int i = 0; i < count; ++i) {
      const std::string link = dir + "/tty" + std::to_string(runs) + "-" + std::to_string(i);
      struct stat info {};
      for (int tries = 0; tries < 100 && stat(link.c_str(), &info) != 0; ++tries)
        std::this_thread::sleep_for(milliseconds(20));
    }
    ++runs;
    return {sims, ports};
  }

  static void Stop(pid_t pid) {
    kill(pid, SIGTERM);
    waitpid(pid, nullptr, 0);
  }

  struct Result {
    double wallS = -1;    // until the last session's row
    double busyCpu = 0;   // share of one core while the transfers ran
    double idleCpu = -1;  // share of one core afterwards, the chargers still attached
    double peakMiB = 0;
  };

  Result Run(int count, bool idle) {
    auto [sims, ports] = StartChargers(count);
    const std::string record = dir + "/run" + std::to_string(runs) + ".csv";
    std::vector<std::string> args = {
        WINDOW_PATH, "--station", image,  "--ports", ports,
        "--start",   "--record",  record, "--count", std::to_string(count)};
    if (fast) args.push_back("--fast");
    Result result;
    const auto started = Clock::now();
    const pid_t window = Spawn(args, true);
    // Once the window is up and the workers run, its own start-up is behind it.
    std::this_thread::sleep_for(milliseconds(1500));
    const double cpuBusy = CpuSeconds(window);
    const auto busyFrom = Clock::now();
    long peakKb = 0;
    const auto deadline = started + std::chrono::seconds(120);
    while (Rows(record) < count && Clock::now() < deadline) {
      peakKb = std::max(peakKb, RssKb(window));
      std::this_thread::sleep_for(milliseconds(50));
    }
    if (Rows(record) >= count)
      result.wallS = std::chrono::duration<double>(Clock::now() - started).count();
    result.busyCpu = (CpuSeconds(window) - cpuBusy) /
                     std::chrono::duration<double>(Clock::now() - busyFrom).count();
    if (idle) {
      const double before = CpuSeconds(window);
      std::this_thread::sleep_for(std::chrono::duration<double>(kIdleSeconds));
      result.idleCpu = (CpuSeconds(window) - before) / kIdleSeconds;
    }
    result.peakMiB = std::max(peakKb, RssKb(window)) / 1024.0;
    Stop(window);
    for (pid_t sim : sims) Stop(sim);
    return result;
  }
};

}  // namespace

int main(int argc, char** argv) {
  Bench bench;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--fast") == 0)
      bench.fast = true;
    else if (std::strcmp(argv[i], "--baud") == 0 && i + 1 < argc)
      bench.baud = static_cast<unsigned>(std::max(50, std::atoi(argv[++i])));
  }
  char dirTemplate[] = "/tmp/station_bench.XXXXXX";
  bench.dir = mkdtemp(dirTemplate);
  bench.image = bench.dir + "/fw.bin";
  {
    std::vector<char> bytes(kImageSize);
    std::mt19937 random(17);
    for (char& b : bytes) b = static_cast<char>(random());
    std::ofstream(bench.image, std::ios::binary).write(bytes.data(), kImageSize);
  }
  // The window keeps config.ini in its working directory: this run's own.
  if (chdir(bench.dir.c_str()) != 0) return 1;

  std::printf("station_bench: %zu-byte image, charger-sim per port at %u baud, %s replies\n",
              kImageSize, bench.baud, bench.fast ? "--fast" : "default");
  const Bench::Result alone = bench.Run(1, false);
  std::printf("one charger alone:  %6.2f s\n", alone.wallS);
  const Bench::Result eight = bench.Run(8, true);
  std::printf("eight chargers:     %6.2f s = %.3f x alone   (target <= 1.15)\n", eight.wallS,
              eight.wallS / alone.wallS);
  std::printf("window CPU, eight transfers running:  %5.2f %% of a core   (target < 3 %%)\n",
              100 * eight.busyCpu);
  std::printf("window CPU, eight chargers idle:      %5.2f %% of a core   (target < 0.5 %%)\n",
              100 * eight.idleCpu);
  const Bench::Result many = bench.Run(32, false);
  std::printf("32 rows at work:    %6.2f s, window RSS at most %.1f MiB   (target < 80 MiB)\n",
              many.wallS, many.peakMiB);
  std::string command = "rm -rf " + bench.dir;
  std::system(command.c_str());
  return alone.wallS > 0 && eight.wallS > 0 && many.wallS > 0 ? 0 : 1;
}
