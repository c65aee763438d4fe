// What programming many chargers at once costs: gang against 1, 4, 8, 16 and 32 simulated
// chargers (charger-sim child processes), one 40960-byte image. For each it prints the wall
// time against one charger programmed alone by flash, the updater's CPU (conductor and
// workers) as a share of one core, and the updater's resident memory (RSS and PSS summed over
// conductor and workers, the highest sample). Each with the default replies and with --fast,
// on a pty as it is and on one paced at 115200 baud (charger-sim --baud), where the wall time
// is also set against the wire's own floor.
//
//   gang_bench [port counts...] [--fast | --default] [--baud RATE | --pty]

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
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

namespace {

using Clock = std::chrono::steady_clock;
constexpr size_t kImageSize = 40960;
constexpr int kSampleMs = 100;  // memory sampling period
constexpr unsigned kLineBaud = 115200;
// 8N1 carries baud / 10 bytes a second; each 1024-byte block is 1029 bytes on the wire.
double WireFloorSeconds(unsigned baud) {
  return kImageSize / 1024 * 1029.0 / (baud / 10.0);
}

pid_t Spawn(std::vector<std::string> args, bool quiet) {
  Child child;
  ChildLaunch launch;
  launch.argv = std::move(args);
  launch.outToNull = true;
  launch.errToNull = quiet;
  if (SpawnChild(launch, &child) != 0) return -1;
  return child.pid;
}

// kB of one process: {Rss, Pss} from smaps_rollup.
std::pair<long, long> Memory(pid_t pid) {
  std::ifstream file("/proc/" + std::to_string(pid) + "/smaps_rollup");
  long rss = 0, pss = 0;
  for (std::string line; std::getline(file, line);) {
    std::istringstream fields(line);
    std::string name;
    long kb = 0;
    fields >> name >> kb;
    if (name == "Rss:") rss = kb;
    if (name == "Pss:") pss = kb;
  }
  return {rss, pss};
}

std::vector<pid_t> Children(pid_t pid) {
  std::vector<pid_t> children;
  const std::string taskDir = "/proc/" + std::to_string(pid) + "/task";
  DIR* tasks = opendir(taskDir.c_str());
  if (tasks == nullptr) return children;
  while (dirent* task = readdir(tasks)) {
    if (task->d_name[0] == '.') continue;
    std::ifstream file(taskDir + "/" + task->d_name + "/children");
    for (pid_t child; file >> child;) children.push_back(child);
  }
  closedir(tasks);
  return children;
}

struct Run {
  double wallS = 0;
  double cpuS = 0;
  long rssKb = 0;
  long pssKb = 0;
  int status = -1;
};

// Runs the updater to its end, sampling the memory of it and its workers.
Run Measure(std::vector<std::string> args) {
  Run run;
  const auto started = Clock::now();
  const pid_t pid = Spawn(std::move(args), true);
  if (pid <= 0) return run;
  // Readable once the updater ends, so the wall time is not rounded up to a sampling period.
  const int ended = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
  for (;;) {
    int status = 0;
    rusage usage{};
    if (wait4(pid, &status, WNOHANG, &usage) == pid) {
      if (ended >= 0) close(ended);
      run.wallS = std::chrono::duration<double>(Clock::now() - started).count();
      run.cpuS = usage.ru_utime.tv_sec + usage.ru_utime.tv_usec / 1e6 + usage.ru_stime.tv_sec +
                 usage.ru_stime.tv_usec / 1e6;
      // wait4 counts the conductor with every worker it reaped.
      run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
      return run;
    }
    long rss = 0, pss = 0;
    std::vector<pid_t> all = {pid};
    for (pid_t child : Children(pid)) all.push_back(child);
    for (pid_t p : all) {
      const auto [r, s] = Memory(p);
      rss += r;
      pss += s;
    }
    run.rssKb = std::max(run.rssKb, rss);
    run.pssKb = std::max(run.pssKb, pss);
    pollfd gone = {ended, POLLIN, 0};
    if (ended < 0 || poll(&gone, 1, kSampleMs) < 0)
      std::this_thread::sleep_for(std::chrono::milliseconds(kSampleMs));
  }
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<int> counts;
  std::vector<bool> replies = {false, true};  // --fast
  std::vector<unsigned> lines = {0, kLineBaud};
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--fast") == 0)
      replies = {true};
    else if (std::strcmp(argv[i], "--default") == 0)
      replies = {false};
    else if (std::strcmp(argv[i], "--pty") == 0)
      lines = {0};
    else if (std::strcmp(argv[i], "--baud") == 0 && i + 1 < argc)
      lines = {static_cast<unsigned>(std::max(50, std::atoi(argv[++i])))};
    else
      counts.push_back(std::max(1, std::atoi(argv[i])));
  }
  if (counts.empty()) counts = {1, 4, 8, 16, 32};

  char dirTemplate[] = "/tmp/gang_bench.XXXXXX";
  const std::string dir = mkdtemp(dirTemplate);
  const std::string image = dir + "/fw.bin";
  {
    std::vector<char> bytes(kImageSize);
    std::mt19937 random(9);
    for (char& b : bytes) b = static_cast<char>(random());
    std::ofstream(image, std::ios::binary).write(bytes.data(), kImageSize);
  }

  auto startChargers = [&](int count, unsigned baud) {
    std::vector<pid_t> sims;
    std::string ports;
    for (int i = 0; i < count; ++i) {
      const std::string link = dir + "/tty" + std::to_string(i);
      std::vector<std::string> sim = {CHARGER_SIM_PATH, "--link", link, "--keep-version"};
      if (baud != 0) sim.insert(sim.end(), {"--baud", std::to_string(baud)});
      sims.push_back(Spawn(sim, true));
      ports += (ports.empty() ? "" : ",") + link;
    }
    for (int i = 0; i < count; ++i) {  // wait for every link to appear
      const std::string link = dir + "/tty" + std::to_string(i);
      struct stat info {};
      for (int tries = 0; tries < 100 && stat(link.c_str(), &info) != 0; ++tries)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return std::make_pair(sims, ports);
  };
  auto stopChargers = [](const std::vector<pid_t>& sims) {
    for (pid_t pid : sims) kill(pid, SIGTERM);
    for (pid_t pid : sims) waitpid(pid, nullptr, 0);
  };

  std::printf("gang_bench: %zu-byte image, charger-sim per port\n", kImageSize);
  for (unsigned baud : lines) {
    for (bool fast : replies) {
      std::printf(
          "\n%s, %s replies",
          baud == 0 ? "pty line (no line speed)" : (std::to_string(baud) + " baud line").c_str(),
          fast ? "--fast" : "default");
      if (baud != 0) std::printf("; wire floor %.2f s", WireFloorSeconds(baud));
      std::printf("\n");
      auto [oneSim, onePort] = startChargers(1, baud);
      std::vector<std::string> flash = {CLI_PATH, "flash", image, "--ports", onePort};
      if (fast) flash.push_back("--fast");
      const Run alone = Measure(flash);
      stopChargers(oneSim);
      std::printf("one charger alone (flash): %.2f s, exit %d", alone.wallS, alone.status);
      if (baud != 0) std::printf(", %.3f x wire floor", alone.wallS / WireFloorSeconds(baud));
      std::printf("\n%6s %9s %9s %9s %10s %10s %6s\n", "ports", "wall s", "x alone", "CPU %",
                  "RSS MiB", "PSS MiB", "exit");
      for (int count : counts) {
        auto [sims, ports] = startChargers(count, baud);
        std::vector<std::string> gang = {
            CLI_PATH, "gang", image, "--ports", ports, "--count", std::to_string(count)};
        if (fast) gang.push_back("--fast");
        const Run run = Measure(gang);
        stopChargers(sims);
        std::printf("%6d %9.2f %9.3f %9.2f %10.1f %10.1f %6d\n", count, run.wallS,
                    run.wallS / alone.wallS, 100.0 * run.cpuS / run.wallS, run.rssKb / 1024.0,
                    run.pssKb / 1024.0, run.status);
        std::fflush(stdout);
      }
    }
  }
  std::printf(
      "\ntargets at 8 ports: wall <= 1.15 x alone, CPU <= 5 %% of one core, "
      "RSS <= 64 MiB; at 115200 baud --fast alone <= 1.10 x wire floor\n");
  std::string command = "rm -rf " + dir;
  std::system(command.c_str());
  return 0;
}
