#include "worker_process.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

extern char** environ;

WorkerProcess::WorkerProcess(std::string port, std::vector<std::string> args)
    : m_port(std::move(port)), m_args(std::move(args)) {}

WorkerProcess::~WorkerProcess() {
  for (int fd : {m_inFd, m_outFd, m_errFd})
    if (fd >= 0) ::close(fd);
  if (m_pid > 0) {
    ::kill(m_pid, SIGKILL);
    ::waitpid(m_pid, nullptr, 0);
  }
}

bool WorkerProcess::Start(std::string* error) {
  int in[2], out[2], err[2];
  if (::pipe2(in, O_CLOEXEC) != 0) {
    *error = std::strerror(errno);
    return false;
  }
  if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0) {
    *error = std::strerror(errno);
    ::close(in[0]);
    ::close(in[1]);
    return false;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
  posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  sigset_t none, defaults;
  sigemptyset(&none);
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGINT);
  sigaddset(&defaults, SIGTERM);
  sigaddset(&defaults, SIGPIPE);
  posix_spawnattr_setsigmask(&attr, &none);
  posix_spawnattr_setsigdefault(&attr, &defaults);
  posix_spawnattr_setpgroup(&attr, 0);
  posix_spawnattr_setflags(&attr,
                           POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETPGROUP);
  const std::string self = SelfPath();
  std::vector<char*> argv{const_cast<char*>(self.c_str())};
  for (auto& arg : m_args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  const int failed = ::posix_spawn(&m_pid, self.c_str(), &actions, &attr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attr);
  ::close(in[0]);
  ::close(out[1]);
  ::close(err[1]);
  m_inFd = in[1];
  m_outFd = out[0];
  m_errFd = err[0];
  if (failed != 0) {
    *error = std::strerror(failed);
    m_pid = -1;
    return false;
  }
  return true;
}

void WorkerProcess::CloseInput() {
  if (m_inFd >= 0) ::close(std::exchange(m_inFd, -1));
}

void WorkerProcess::Signal(int signal) {
  if (m_pid > 0) ::kill(m_pid, signal);
}

bool WorkerProcess::ReadReady(int fd, std::vector<std::string>* lines) {
  int& owned = fd == m_outFd ? m_outFd : m_errFd;
  std::string& partial = fd == m_outFd ? m_outPartial : m_errPartial;
  if (owned < 0) return false;
  char buffer[4096];
  const ssize_t n = ::read(owned, buffer, sizeof buffer);
  if (n < 0 && errno == EINTR) return true;
  if (n <= 0) {
    if (!partial.empty()) lines->push_back(std::exchange(partial, {}));
    ::close(std::exchange(owned, -1));
    return false;
  }
  partial.append(buffer, static_cast<size_t>(n));
  for (size_t end; (end = partial.find('\n')) != std::string::npos;) {
    lines->push_back(partial.substr(0, end));
    partial.erase(0, end + 1);
  }
  return true;
}

int WorkerProcess::Wait() {
  if (m_pid <= 0) return -1;
  int status = 0;
  while (::waitpid(m_pid, &status, 0) < 0 && errno == EINTR) {
  }
  m_pid = -1;
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  return 128 + (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
}

std::string SelfPath() {
  char path[4096];
  const ssize_t n = ::readlink("/proc/self/exe", path, sizeof path - 1);
  if (n <= 0) return "charger-updater-cli";
  return std::string(path, static_cast<size_t>(n));
}
