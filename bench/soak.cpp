// A long run of `charger-updater-cli auto` against the simulated charger: every session gets a
// fault drawn from a seeded mix, the charger is replugged between sessions, and every result
// is checked against its fault. Sessions stopped from outside (Ctrl-C, a closed terminal, a
// killed gang conductor) run apart, each with a charger of its own. Prints results by cause, the
// longest session, and the updater's descriptors, threads and resident memory at the start and at
// the end.
//
//   soak [--sessions N] [--seed S] [-v]

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "platform/posix_child_process.h"
#include "sim/sim_charger.h"
#include "wait_for_exit.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;
namespace fs = std::filesystem;

// Three data blocks: room for an unplug in the middle; short sessions keep 500 of them cheap.
constexpr size_t kImageSize = 2500;
constexpr int kSessionTimeoutS = 3;  // the watchdog, shortened so silent chargers cost little
constexpr auto kHang = std::chrono::seconds(60);

enum class Fault {
  None,
  SilentAfter1,
  Unplug,
  NakFirstEot,
  FaEnd,
  StrayAck,
  Garbage,
  Slow,
  Signal,
  HangUp,
  ConductorKilled
};

struct FaultInfo {
  Fault fault;
  const char* name;
  const char* expected;  // the result the updater must report
};

const FaultInfo kFaults[] = {
    {Fault::None, "none", "succeeded"},
    {Fault::SilentAfter1, "silent after \"1\"", "failed: timed out"},
    {Fault::Unplug, "unplug after block k", "failed: port lost"},
    {Fault::NakFirstEot, "NAK of the first EOT", "succeeded"},
    {Fault::FaEnd, "0xFA end", "succeeded"},
    {Fault::StrayAck, "stray ACK", "succeeded"},
    {Fault::Garbage, "garbage", "succeeded"},
    {Fault::Slow, "slow replies", "succeeded"},
    {Fault::Signal, "cancel by signal", "cancelled: exit 130"},
    {Fault::HangUp, "terminal closed", "cancelled: exit 129"},
    {Fault::ConductorKilled, "conductor killed", "cancelled: row kept"},
};

// The updater as a child process whose stdout and stderr arrive as lines on one queue.
class Updater {
 public:
  struct Line {
    bool err;
    std::string text;
  };

  explicit Updater(std::vector<std::string> args) {
    Child child;
    ChildLaunch launch;
    launch.argv = std::move(args);
    launch.pipeOut = launch.pipeErr = true;
    if (SpawnChild(launch, &child) != 0) return;
    m_pid = child.pid;
    m_reader = std::thread([this, o = child.out, e = child.err] { ReadLines(o, e); });
  }
  ~Updater() {
    if (m_pid > 0) {
      kill(m_pid, SIGKILL);
      waitpid(m_pid, nullptr, 0);
    }
    if (m_reader.joinable()) m_reader.join();
  }

  pid_t Pid() const { return m_pid; }

  // The next line, or nothing once `timeout` passed or both streams ended.
  std::optional<Line> Next(milliseconds timeout) {
    std::unique_lock lock(m_mutex);
    m_changed.wait_for(lock, timeout, [this] { return !m_lines.empty() || m_ended; });
    if (m_lines.empty()) return std::nullopt;
    Line line = std::move(m_lines.front());
    m_lines.pop_front();
    return line;
  }

  // The exit status (128 + signal when killed), or -1 after `timeout`.
  int Wait(milliseconds timeout) { return bench::WaitForExit(m_pid, timeout); }

 private:
  void ReadLines(int out, int err) {
    std::string partial[2];
    pollfd fds[2] = {{out, POLLIN, 0}, {err, POLLIN, 0}};
    int open = 2;
    while (open > 0 && poll(fds, 2, -1) > 0) {
      for (int i = 0; i < 2; ++i) {
        if (fds[i].fd < 0 || fds[i].revents == 0) continue;
        char buffer[4096];
        const ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
        if (n <= 0) {
          close(fds[i].fd);
          fds[i].fd = -1;
          --open;
          continue;
        }
        partial[i].append(buffer, static_cast<size_t>(n));
        for (size_t end; (end = partial[i].find('\n')) != std::string::npos;) {
          Push({i == 1, partial[i].substr(0, end)});
          partial[i].erase(0, end + 1);
        }
      }
    }
    std::lock_guard lock(m_mutex);
    m_ended = true;
    m_changed.notify_all();
  }
  void Push(Line line) {
    std::lock_guard lock(m_mutex);
    m_lines.push_back(std::move(line));
    m_changed.notify_all();
  }

  pid_t m_pid = -1;
  std::thread m_reader;
  std::mutex m_mutex;
  std::condition_variable m_changed;
  std::deque<Line> m_lines;
  bool m_ended = false;
};

struct Resources {
  int fds = 0;
  int threads = 0;
  long rssKiB = 0;
};

Resources Measure(pid_t pid) {
  Resources r;
  const std::string proc = "/proc/" + std::to_string(pid);
  std::error_code ec;
  for (auto it = fs::directory_iterator(proc + "/fd", ec); !ec && it != fs::directory_iterator();
       it.increment(ec))
    ++r.fds;
  std::ifstream status(proc + "/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("Threads:", 0) == 0) r.threads = std::stoi(line.substr(8));
    if (line.rfind("VmRSS:", 0) == 0) r.rssKiB = std::stol(line.substr(6));
  }
  return r;
}

chargersim::Options SimOptions(Fault fault, const std::string& link, std::mt19937& random) {
  chargersim::Options options;
  options.linkPath = link;
  options.seed = random();
  switch (fault) {
    case Fault::SilentAfter1:
      options.silentAfter1 = true;
      break;
    case Fault::Unplug:
      options.receiver.unplugAfterBlocks = 1 + random() % 2;
      break;
    case Fault::NakFirstEot:
      options.receiver.nakFirstEot = true;
      break;
    case Fault::FaEnd:
      options.receiver.faInsteadOfFinalC = true;
      break;
    case Fault::StrayAck:
      options.receiver.strayAck = true;
      break;
    case Fault::Garbage:
      options.garbage = true;
      break;
    case Fault::Slow:
      options.replyDelay = milliseconds(150);
      break;
    case Fault::None:
    case Fault::Signal:
    case Fault::HangUp:
    case Fault::ConductorKilled:
      break;
  }
  return options;
}

// The updater's verdict on one session, from its outcome line and the reason before it.
std::string Verdict(const std::string& outcome, const std::vector<std::string>& errLines) {
  if (outcome.find("succeeded") != std::string::npos) return "succeeded";
  std::string reasons;
  for (const auto& line : errLines) reasons += line + "\n";
  if (reasons.find("stopped answering") != std::string::npos ||
      reasons.find("no reply") != std::string::npos ||
      reasons.find("timed out") != std::string::npos)
    return "failed: timed out";
  if (reasons.find("port") != std::string::npos) return "failed: port lost";
  return "failed: " + (errLines.empty() ? std::string("no reason given") : errLines.back());
}

struct Tally {
  int sessions = 0;
  int matched = 0;
  std::map<std::string, int> verdicts;
};

// A stop from outside in the middle of a transfer: Ctrl-C or a closed terminal on `flash`, or
// `gang`'s conductor killed outright. The updater must say so with the cause's status (the
// killed conductor's worker, with its row), and the charger must be out of its loader at once
// (it answers the next probe).
std::string StoppedSession(Fault fault, const std::string& cli, const std::string& image,
                           const fs::path& dir, std::mt19937& random) {
  const std::string link = (dir / "stopped-port").string();
  const std::string record = (dir / "stopped.csv").string();
  fs::remove(record);
  chargersim::SimCharger sim;
  chargersim::Options options = SimOptions(fault, link, random);
  std::mutex mutex;
  std::condition_variable arrived;
  bool blockArrived = false;
  options.verbose = true;
  options.log = [&](const std::string& text) {
    if (text.find(" block 1:") == std::string::npos) return;
    std::lock_guard lock(mutex);
    blockArrived = true;
    arrived.notify_all();
  };
  if (!sim.Start(options)) return "simulator did not start";
  const bool gang = fault == Fault::ConductorKilled;
  Updater stopped({cli, gang ? "gang" : "flash", image, "--ports", link, "--record", record});
  {
    std::unique_lock lock(mutex);
    arrived.wait_for(lock, std::chrono::seconds(10), [&] { return blockArrived; });
  }
  kill(stopped.Pid(), fault == Fault::Signal ? SIGINT : fault == Fault::HangUp ? SIGHUP : SIGKILL);
  const int status = stopped.Wait(std::chrono::seconds(10));
  // The killed conductor's worker cancels and writes its row on its own, just after.
  std::string rows;
  for (const auto deadline = Clock::now() + std::chrono::seconds(5);
       rows.find(",cancelled,") == std::string::npos && Clock::now() < deadline;
       std::this_thread::sleep_for(milliseconds(20))) {
    std::ifstream file(record);
    rows.assign(std::istreambuf_iterator<char>(file), {});
  }
  Updater info({cli, "info", "--ports", link, "--wait", "2"});
  const int infoStatus = info.Wait(std::chrono::seconds(10));
  const auto ended = sim.Sessions();
  if (ended.empty() || ended.back().failure.find("cancelled") == std::string::npos)
    return "cancelled: the charger saw no cancel";
  if (infoStatus != 0) return "cancelled: charger stuck in its loader";
  if (rows.find(",cancelled,") == std::string::npos) return "cancelled: no row";
  if (gang) return status == 128 + SIGKILL ? "cancelled: row kept" : "cancelled: conductor lived";
  return "cancelled: exit " + std::to_string(status);
}

}  // namespace

int main(int argc, char** argv) {
  int sessions = 500;
  uint32_t seed = 1;
  bool verbose = false;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--sessions" && i + 1 < argc) {
      sessions = std::atoi(argv[++i]);
    } else if (arg == "--seed" && i + 1 < argc) {
      seed = static_cast<uint32_t>(std::strtoul(argv[++i], nullptr, 10));
    } else if (arg == "-v") {
      verbose = true;
    } else {
      std::fprintf(stderr, "usage: soak [--sessions N] [--seed S] [-v]\n");
      return 2;
    }
  }

  const fs::path dir = fs::temp_directory_path() / ("soak-" + std::to_string(getpid()));
  fs::create_directories(dir);
  std::mt19937 random(seed);
  const std::string image = (dir / "soak-fw.bin").string();
  {
    std::ofstream file(image, std::ios::binary);
    for (size_t i = 0; i < kImageSize; ++i) file.put(static_cast<char>(random()));
  }
  const std::string link = (dir / "port").string();
  Updater updater(
      {CLI_PATH, "auto", image, "--ports", link, "--timeout", std::to_string(kSessionTimeoutS)});

  std::map<std::string, Tally> byFault;
  std::optional<Resources> first;
  milliseconds longest{0};
  std::string longestFault;
  int hangs = 0;
  const auto soakStart = Clock::now();

  for (int n = 0; n < sessions; ++n) {
    const FaultInfo& info = kFaults[random() % std::size(kFaults)];
    const auto started = Clock::now();
    std::string verdict;
    if (info.fault == Fault::Signal || info.fault == Fault::HangUp ||
        info.fault == Fault::ConductorKilled) {
      verdict = StoppedSession(info.fault, CLI_PATH, image, dir, random);
    } else {
      chargersim::SimCharger sim;
      if (!sim.Start(SimOptions(info.fault, link, random))) {
        std::fprintf(stderr, "the simulated charger did not start\n");
        return 1;
      }
      std::vector<std::string> errLines;
      std::string outcome;
      const auto deadline = started + kHang;
      while (outcome.empty() && Clock::now() < deadline) {
        const auto line =
            updater.Next(std::chrono::duration_cast<milliseconds>(deadline - Clock::now()));
        if (!line) break;
        if (verbose) std::fprintf(stderr, "  %s %s\n", line->err ? "E" : "O", line->text.c_str());
        if (line->err) {
          if (line->text.rfind("Programming", 0) != 0) errLines.push_back(line->text);
        } else if (line->text.rfind("Program ", 0) == 0) {
          outcome = line->text;
        }
      }
      // The reason goes to stderr just before the outcome goes to stdout; the two pipes are
      // read apart, so it may arrive a little after.
      while (!outcome.empty()) {
        const auto late = updater.Next(milliseconds(300));
        if (!late) break;
        if (verbose) std::fprintf(stderr, "  %s %s\n", late->err ? "E" : "O", late->text.c_str());
        if (late->err && late->text.rfind("Programming", 0) != 0) errLines.push_back(late->text);
      }
      if (outcome.empty()) {
        ++hangs;
        verdict = "hang";
      } else {
        verdict = Verdict(outcome, errLines);
      }
      sim.Stop();  // unplugged; the next session plugs a new charger in
    }
    const auto took = std::chrono::duration_cast<milliseconds>(Clock::now() - started);
    if (took > longest) {
      longest = took;
      longestFault = info.name;
    }
    Tally& tally = byFault[info.name];
    ++tally.sessions;
    ++tally.verdicts[verdict];
    if (verdict == info.expected) ++tally.matched;
    if (verbose || verdict != info.expected)
      std::fprintf(stderr, "session %d: %s -> %s (%lld ms)\n", n + 1, info.name, verdict.c_str(),
                   static_cast<long long>(took.count()));
    if (n == 9) first = Measure(updater.Pid());  // after the start-up allocations have settled
  }
  const Resources last = Measure(updater.Pid());
  kill(updater.Pid(), SIGTERM);
  const int updaterStatus = updater.Wait(std::chrono::seconds(10));
  fs::remove_all(dir);

  const double minutes = std::chrono::duration<double>(Clock::now() - soakStart).count() / 60.0;
  std::printf("sessions run: %d in %.1f min (seed %u)\n", sessions, minutes, seed);
  std::printf("%-24s %8s %8s  results\n", "fault", "sessions", "matched");
  int matched = 0;
  for (const FaultInfo& info : kFaults) {
    const auto it = byFault.find(info.name);
    if (it == byFault.end()) continue;
    matched += it->second.matched;
    std::string results;
    for (const auto& [verdict, count] : it->second.verdicts)
      results += (results.empty() ? "" : ", ") + verdict + " x" + std::to_string(count);
    std::printf("%-24s %8d %8d  %s\n", info.name, it->second.sessions, it->second.matched,
                results.c_str());
  }
  std::printf("matched: %d of %d; hangs: %d\n", matched, sessions, hangs);
  std::printf("longest session: %lld ms (%s)\n", static_cast<long long>(longest.count()),
              longestFault.c_str());
  if (first) {
    std::printf("updater at session 10: %d fds, %d threads, %ld KiB resident\n", first->fds,
                first->threads, first->rssKiB);
  }
  std::printf("updater at the end:    %d fds, %d threads, %ld KiB resident\n", last.fds,
              last.threads, last.rssKiB);
  std::printf("updater exit after SIGTERM: %d\n", updaterStatus);
  return 0;
}
