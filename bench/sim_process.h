#pragma once

// Pieces the benchmarks share: the simulated charger as a child process, and CPU time.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

#include "platform/posix_child_process.h"
#include "wait_for_exit.h"

namespace bench {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

inline double CpuSeconds() {
  rusage usage;
  getrusage(RUSAGE_SELF, &usage);
  auto seconds = [](const timeval& t) { return t.tv_sec + t.tv_usec / 1e6; };
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

// charger-sim --once in a child process.
class Charger {
 public:
  // `baud` 0: bytes take no time on the line.
  Charger(const std::string& savePath, bool verbose, unsigned baud = 0) {
    ChildLaunch launch;
    launch.argv = {CHARGER_SIM_PATH, "--once", "--save", savePath};
    if (baud != 0) launch.argv.insert(launch.argv.end(), {"--baud", std::to_string(baud)});
    launch.pipeOut = true;
    launch.errToNull = !verbose;
    if (verbose) launch.argv.push_back("-v");
    Child child;
    if (SpawnChild(launch, &child) != 0) return;
    m_pid = child.pid;
    m_out = child.out;
  }
  ~Charger() {
    if (m_pid > 0) {
      kill(m_pid, SIGTERM);
      waitpid(m_pid, nullptr, 0);
    }
    if (m_out >= 0) close(m_out);
  }

  // The port it printed; empty if it printed none within a few seconds.
  std::string Port() {
    std::string line;
    char c;
    for (;;) {
      pollfd fds = {m_out, POLLIN, 0};
      if (poll(&fds, 1, 5000) <= 0 || read(m_out, &c, 1) != 1) return {};
      if (c == '\n') return line;
      line += c;
    }
  }

  // Its exit status once it has ended by itself (--once), or -1 after `timeout`.
  int Wait(milliseconds timeout) {
    const int status = WaitForExit(m_pid, timeout);
    return status > 128 ? -1 : status;
  }

 private:
  pid_t m_pid = -1;
  int m_out = -1;
};

}  // namespace bench
