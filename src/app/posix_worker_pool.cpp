#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/signalfd.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

#include "worker_pool.h"

extern char** environ;

namespace {

std::string SelfPath() {
  char path[4096];
  const ssize_t n = ::readlink("/proc/self/exe", path, sizeof path - 1);
  if (n <= 0) return "charger-updater-cli";
  return std::string(path, static_cast<size_t>(n));
}

struct Worker {
  pid_t pid = -1;
  int in = -1;
  int out = -1;
  int err = -1;
  std::string outPartial;
  std::string errPartial;
  std::string startError;
  bool ended = false;
};

// Whatever `fd` has ready, split into complete lines; false once the stream has ended.
bool ReadLines(int& fd, std::string& partial, std::vector<std::string>* lines) {
  char buffer[4096];
  const ssize_t n = ::read(fd, buffer, sizeof buffer);
  if (n < 0 && errno == EINTR) return true;
  if (n <= 0) {
    if (!partial.empty()) lines->push_back(std::exchange(partial, {}));
    ::close(std::exchange(fd, -1));
    return false;
  }
  partial.append(buffer, static_cast<size_t>(n));
  for (size_t end; (end = partial.find('\n')) != std::string::npos;) {
    lines->push_back(partial.substr(0, end));
    partial.erase(0, end + 1);
  }
  return true;
}

bool Spawn(Worker& worker, std::vector<std::string> args, std::string* error) {
  int in[2], out[2], err[2];
  if (::pipe2(in, O_CLOEXEC) != 0) {
    *error = std::strerror(errno);
    return false;
  }
  if (::pipe2(out, O_CLOEXEC) != 0) {
    *error = std::strerror(errno);
    for (int fd : in) ::close(fd);
    return false;
  }
  if (::pipe2(err, O_CLOEXEC) != 0) {
    *error = std::strerror(errno);
    for (int fd : {in[0], in[1], out[0], out[1]}) ::close(fd);
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
  for (int signal : {SIGINT, SIGTERM, SIGPIPE}) sigaddset(&defaults, signal);
  posix_spawnattr_setsigmask(&attr, &none);
  posix_spawnattr_setsigdefault(&attr, &defaults);
  // A process group of its own: the terminal's Ctrl-C reaches the conductor alone, which
  // forwards it once; a second one straight from the terminal would make workers leave at once.
  posix_spawnattr_setpgroup(&attr, 0);
  posix_spawnattr_setflags(&attr,
                           POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETPGROUP);
  const std::string self = SelfPath();
  std::vector<char*> argv{const_cast<char*>(self.c_str())};
  for (auto& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  const int failed =
      ::posix_spawn(&worker.pid, self.c_str(), &actions, &attr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attr);
  for (int fd : {in[0], out[1], err[1]}) ::close(fd);
  worker.in = in[1];
  worker.out = out[0];
  worker.err = err[0];
  if (failed == 0) return true;
  *error = std::strerror(failed);
  worker.pid = -1;
  for (int* fd : {&worker.in, &worker.out, &worker.err}) ::close(std::exchange(*fd, -1));
  return false;
}

int Reap(pid_t pid) {
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  return 128 + (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
}

}  // namespace

struct WorkerPool::Impl {
  std::vector<std::vector<std::string>> args;
  std::vector<Worker> workers;
  sigset_t stopSignals{};
  sigset_t oldMask{};
  int signalFd = -1;
  int stopSignal = 0;
};

WorkerPool::WorkerPool(std::vector<std::vector<std::string>> args) : m_impl(new Impl) {
  m_impl->args = std::move(args);
  m_impl->workers.resize(m_impl->args.size());
  // Stop requests are read from a descriptor beside the workers' output, never handled
  // asynchronously.
  sigemptyset(&m_impl->stopSignals);
  sigaddset(&m_impl->stopSignals, SIGINT);
  sigaddset(&m_impl->stopSignals, SIGTERM);
  sigprocmask(SIG_BLOCK, &m_impl->stopSignals, &m_impl->oldMask);
  m_impl->signalFd = ::signalfd(-1, &m_impl->stopSignals, SFD_CLOEXEC);
}

WorkerPool::~WorkerPool() {
  for (Worker& worker : m_impl->workers) {
    for (int fd : {worker.in, worker.out, worker.err})
      if (fd >= 0) ::close(fd);
    if (worker.pid > 0) {
      ::kill(worker.pid, SIGKILL);
      ::waitpid(worker.pid, nullptr, 0);
    }
  }
  if (m_impl->signalFd >= 0) ::close(m_impl->signalFd);
  sigprocmask(SIG_SETMASK, &m_impl->oldMask, nullptr);
}

void WorkerPool::Start() {
  for (size_t i = 0; i < m_impl->workers.size(); ++i) {
    Worker& worker = m_impl->workers[i];
    if (!Spawn(worker, m_impl->args[i], &worker.startError) && worker.startError.empty())
      worker.startError = "unknown error";
  }
}

void WorkerPool::CloseInputs() {
  for (Worker& worker : m_impl->workers)
    if (worker.in >= 0) ::close(std::exchange(worker.in, -1));
}

int WorkerPool::StopStatus() const {
  if (m_impl->stopSignal == SIGINT) return 130;
  if (m_impl->stopSignal == SIGTERM) return 143;
  return 0;
}

void WorkerPool::Run(const Events& events, int tickMs) {
  for (size_t i = 0; i < m_impl->workers.size(); ++i) {
    Worker& worker = m_impl->workers[i];
    if (worker.startError.empty()) continue;
    events.err(i, "cannot start a worker: " + worker.startError);
    worker.ended = true;
    events.ended(i, 1);
  }
  for (;;) {
    std::vector<pollfd> fds;
    std::vector<size_t> owners;
    for (size_t i = 0; i < m_impl->workers.size(); ++i) {
      for (int fd : {m_impl->workers[i].out, m_impl->workers[i].err}) {
        if (fd < 0) continue;
        fds.push_back({fd, POLLIN, 0});
        owners.push_back(i);
      }
    }
    if (fds.empty()) return;
    fds.push_back({m_impl->signalFd, POLLIN, 0});
    if (::poll(fds.data(), fds.size(), tickMs > 0 ? tickMs : -1) < 0 && errno != EINTR) return;
    if (fds.back().revents & POLLIN) {
      signalfd_siginfo info{};
      if (::read(m_impl->signalFd, &info, sizeof info) == sizeof info) {
        m_impl->stopSignal = static_cast<int>(info.ssi_signo);
        for (Worker& worker : m_impl->workers)
          if (worker.pid > 0) ::kill(worker.pid, m_impl->stopSignal);
      }
    }
    for (size_t k = 0; k + 1 < fds.size(); ++k) {
      if (fds[k].revents == 0) continue;
      const size_t i = owners[k];
      Worker& worker = m_impl->workers[i];
      std::vector<std::string> lines;
      const bool isOut = fds[k].fd == worker.out;
      if (isOut)
        ReadLines(worker.out, worker.outPartial, &lines);
      else
        ReadLines(worker.err, worker.errPartial, &lines);
      for (const auto& line : lines) (isOut ? events.out : events.err)(i, line);
      if (worker.out < 0 && worker.err < 0 && !worker.ended) {
        worker.ended = true;
        const int status = Reap(worker.pid);
        worker.pid = -1;
        events.ended(i, status);
      }
    }
    events.tick();
  }
}
