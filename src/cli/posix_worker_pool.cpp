#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

#include "cli/line_splitter.h"
#include "cli/worker_pool.h"
#include "platform/exit_status.h"
#include "platform/posix_child_process.h"

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
  LineSplitter outLines;
  LineSplitter errLines;
  std::string startError;
  bool ended = false;
};

// Whatever `fd` has ready, split into complete lines; false once the stream has ended.
bool ReadLines(int& fd, LineSplitter& splitter, std::vector<std::string>* lines) {
  char buffer[4096];
  const ssize_t n = ::read(fd, buffer, sizeof buffer);
  if (n < 0 && errno == EINTR) return true;
  if (n <= 0) {
    if (auto last = splitter.Finish()) lines->push_back(std::move(*last));
    ::close(std::exchange(fd, -1));
    return false;
  }
  *lines = splitter.Add(std::string_view(buffer, static_cast<size_t>(n)));
  return true;
}

// A process group of its own: the terminal's Ctrl-C reaches the conductor alone, which
// forwards it once; a second one straight from the terminal would make workers leave at once.
bool Spawn(Worker& worker, const std::vector<std::string>& args, std::string* error) {
  ChildSpec spec;
  spec.argv = {SelfPath()};
  spec.argv.insert(spec.argv.end(), args.begin(), args.end());
  spec.pipeIn = spec.pipeOut = spec.pipeErr = true;
  spec.ownProcessGroup = true;
  Child child;
  if (const int failed = SpawnChild(spec, &child); failed != 0) {
    *error = std::strerror(failed);
    return false;
  }
  worker.pid = child.pid;
  worker.in = child.in;
  worker.out = child.out;
  worker.err = child.err;
  return true;
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
  if (m_impl->stopSignal == SIGINT) return kExitInterrupted;
  if (m_impl->stopSignal == SIGTERM) return kExitTerminated;
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
        ReadLines(worker.out, worker.outLines, &lines);
      else
        ReadLines(worker.err, worker.errLines, &lines);
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
