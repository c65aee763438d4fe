#pragma once

// charger-updater-cli run as a child process with its output captured: what the command-line
// tests share.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <functional>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "platform/posix_child_process.h"

extern char** environ;  // what the child inherits

namespace clitest {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

inline constexpr int kUsage = 2;

struct Outcome {
  int exitCode = -1;  // -1: killed by a signal or by the timeout
  std::string out;
  std::string err;
  double seconds = 0;
};

inline std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

// One run of the CLI with stdout and stderr captured. The child is killed if it outlives
// the test's patience, so a hung CLI fails the test instead of the whole suite.
class Cli {
 public:
  // `ownGroup`: the CLI leads a process group of its own, as a shell's job does, so the test
  // can signal the whole group as a terminal does. `program`: another of ours, run the same way.
  Cli(const std::vector<std::string>& args, const std::map<std::string, std::string>& env = {},
      bool ownGroup = false, const std::string& program = CLI_PATH) {
    std::vector<std::string> envText;
    for (char** e = environ; *e != nullptr; ++e) {
      const std::string entry = *e;
      const std::string name = entry.substr(0, entry.find('='));
      // The tests decide which ports are searched.
      if (env.count(name) || name == "CHARGER_UPDATER_PORTS") continue;
      envText.push_back(entry);
    }
    for (const auto& [name, value] : env) envText.push_back(name + "=" + value);

    // The simulator's pty master must not live on in the child, or unplugging would not
    // hang up the port.
    ChildLaunch launch;
    launch.argv = {program};
    launch.env = envText;
    launch.pipeOut = launch.pipeErr = true;
    launch.inheritNothingElse = true;
    launch.ownProcessGroup = ownGroup;
    launch.argv.insert(launch.argv.end(), args.begin(), args.end());
    m_started = Clock::now();
    Child child;
    if (SpawnChild(launch, &child) != 0) {
      ADD_FAILURE() << "cannot start " << program;
      return;
    }
    m_pid = child.pid;
    m_outFd = child.out;
    m_errFd = child.err;
  }

  ~Cli() {
    if (m_pid <= 0) return;
    ::kill(m_pid, SIGKILL);
    ::waitpid(m_pid, nullptr, 0);
    for (int fd : {m_outFd, m_errFd})
      if (fd >= 0) ::close(fd);
  }

  // Reads until `done(out, err)` holds, the child closes its output, or `timeout` passes.
  bool ReadUntil(const std::function<bool(const std::string&, const std::string&)>& done,
                 std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    while (!done(m_out, m_err)) {
      if (m_outFd < 0 && m_errFd < 0) return false;
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
      if (left <= 0ms) return false;
      pollfd fds[2] = {{m_outFd, POLLIN, 0}, {m_errFd, POLLIN, 0}};
      if (::poll(fds, 2, static_cast<int>(left.count())) < 0 && errno != EINTR) return false;
      Drain(fds[0], m_outFd, m_out);
      Drain(fds[1], m_errFd, m_err);
    }
    return true;
  }

  void Signal(int signal) { ::kill(m_pid, signal); }
  // Every process of the CLI's group (started with `ownGroup`), as a terminal signals.
  void SignalGroup(int signal) { ::kill(-m_pid, signal); }
  // Stops reading its stdout, as a pipe's reader that has seen enough.
  void CloseOut() {
    if (m_outFd >= 0) ::close(std::exchange(m_outFd, -1));
  }
  pid_t Pid() const { return m_pid; }

  // Waits for the child to end; kills it once `timeout` has passed.
  Outcome Finish(std::chrono::milliseconds timeout = 30s) {
    Outcome outcome;
    if (m_pid <= 0) return outcome;
    const bool ended =
        ReadUntil([](auto&, auto&) { return false; }, timeout) || (m_outFd < 0 && m_errFd < 0);
    if (!ended) {
      ADD_FAILURE() << "the CLI did not end in time; killed. stderr so far:\n" << m_err;
      ::kill(m_pid, SIGKILL);
    }
    int status = 0;
    ::waitpid(m_pid, &status, 0);
    m_pid = -1;
    for (int* fd : {&m_outFd, &m_errFd})
      if (*fd >= 0) ::close(std::exchange(*fd, -1));
    outcome.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    outcome.out = m_out;
    outcome.err = m_err;
    outcome.seconds = std::chrono::duration<double>(Clock::now() - m_started).count();
    return outcome;
  }

 private:
  static void Drain(const pollfd& fd, int& owned, std::string& into) {
    if (owned < 0 || fd.revents == 0) return;
    char buffer[4096];
    const ssize_t n = ::read(owned, buffer, sizeof buffer);
    if (n > 0) {
      into.append(buffer, static_cast<size_t>(n));
    } else if (n == 0 || errno != EINTR) {
      ::close(std::exchange(owned, -1));
    }
  }

  pid_t m_pid = -1;
  int m_outFd = -1;
  int m_errFd = -1;
  std::string m_out;
  std::string m_err;
  Clock::time_point m_started;
};

inline Outcome RunCli(const std::vector<std::string>& args,
                      const std::map<std::string, std::string>& env = {},
                      std::chrono::milliseconds timeout = 30s) {
  return Cli(args, env).Finish(timeout);
}

}  // namespace clitest
