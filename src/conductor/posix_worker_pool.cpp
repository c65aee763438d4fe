#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <utility>

#include "conductor/line_splitter.h"
#include "conductor/worker_pool.h"
#include "platform/posix_child_process.h"

namespace {

struct Worker {
  pid_t pid = -1;
  int in = -1;
  int out = -1;
  int err = -1;
  LineSplitter outLines;
  LineSplitter errLines;
};

void CloseFd(int& fd) {
  if (fd >= 0) ::close(std::exchange(fd, -1));
}

int Reap(pid_t pid) {
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  return 128 + (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
}

// A write to a worker that has just ended raises SIGPIPE at the writing thread; it is kept
// blocked there and taken back here, so the process's own handling is never involved.
void DiscardPipeSignal() {
  sigset_t pipe;
  sigemptyset(&pipe);
  sigaddset(&pipe, SIGPIPE);
  const timespec now{};
  while (::sigtimedwait(&pipe, nullptr, &now) == SIGPIPE) {
  }
}

}  // namespace

struct WorkerPool::Impl {
  std::string program;
  std::vector<Worker> workers;
  int wake[2] = {-1, -1};

  // Whatever `fd` has ready, as events; the stream's end closes it.
  void Read(size_t index, bool isErr, std::vector<Event>* events) {
    Worker& worker = workers[index];
    int& fd = isErr ? worker.err : worker.out;
    LineSplitter& lines = isErr ? worker.errLines : worker.outLines;
    const Event::Kind kind = isErr ? Event::Kind::Err : Event::Kind::Out;
    char buffer[4096];
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) return;
    if (n <= 0) {
      if (auto last = lines.Finish()) events->push_back({kind, index, std::move(*last), 0});
      CloseFd(fd);
    } else {
      for (auto& line : lines.Add(std::string_view(buffer, static_cast<size_t>(n))))
        events->push_back({kind, index, std::move(line), 0});
    }
    if (worker.out < 0 && worker.err < 0 && worker.pid > 0) {
      CloseFd(worker.in);
      events->push_back({Event::Kind::Ended, index, {}, Reap(std::exchange(worker.pid, -1))});
    }
  }
};

WorkerPool::WorkerPool(std::string program, size_t workers) : m_impl(new Impl) {
  m_impl->program = program.empty() ? ThisProgram() : std::move(program);
  m_impl->workers.resize(workers);
  if (::pipe2(m_impl->wake, O_CLOEXEC | O_NONBLOCK) != 0) m_impl->wake[0] = m_impl->wake[1] = -1;
  sigset_t pipe;
  sigemptyset(&pipe);
  sigaddset(&pipe, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &pipe, nullptr);
}

WorkerPool::~WorkerPool() {
  for (Worker& worker : m_impl->workers) {
    for (int* fd : {&worker.in, &worker.out, &worker.err}) CloseFd(*fd);
    if (worker.pid > 0) {
      ::kill(-worker.pid, SIGKILL);
      Reap(worker.pid);
    }
  }
  for (int& fd : m_impl->wake) CloseFd(fd);
}

std::string WorkerPool::ThisProgram() {
  char path[4096];
  const ssize_t n = ::readlink("/proc/self/exe", path, sizeof path - 1);
  if (n <= 0) return "charger-updater-cli";
  return std::string(path, static_cast<size_t>(n));
}

// A process group of its own: the terminal's Ctrl-C and hang-up reach the conductor alone,
// which tells each worker once.
std::string WorkerPool::Start(size_t index, const std::vector<std::string>& args) {
  Worker& worker = m_impl->workers[index];
  if (worker.pid > 0) return "it is still running";
  ChildLaunch launch;
  launch.argv = {m_impl->program};
  launch.argv.insert(launch.argv.end(), args.begin(), args.end());
  launch.pipeIn = launch.pipeOut = launch.pipeErr = true;
  launch.ownProcessGroup = true;
  Child child;
  if (const int failed = SpawnChild(launch, &child); failed != 0) return std::strerror(failed);
  worker = Worker{};
  worker.pid = child.pid;
  worker.in = child.in;
  worker.out = child.out;
  worker.err = child.err;
  ::fcntl(worker.in, F_SETFL, ::fcntl(worker.in, F_GETFL) | O_NONBLOCK);
  return {};
}

void WorkerPool::Send(size_t index, const std::string& line) {
  Worker& worker = m_impl->workers[index];
  if (worker.in < 0) return;
  const std::string text = line + "\n";
  ssize_t put;
  while ((put = ::write(worker.in, text.data(), text.size())) < 0 && errno == EINTR) {
  }
  if (put < 0 && errno == EPIPE) DiscardPipeSignal();
}

void WorkerPool::Kill(size_t index) {
  // Its whole process group: nothing it started may keep its output open.
  if (m_impl->workers[index].pid > 0) ::kill(-m_impl->workers[index].pid, SIGKILL);
}

void WorkerPool::Wake() {
  const char wake = 1;
  while (::write(m_impl->wake[1], &wake, 1) < 0 && errno == EINTR) {
  }
}

std::vector<WorkerPool::Event> WorkerPool::Wait(std::chrono::milliseconds timeout) {
  std::vector<pollfd> fds{{m_impl->wake[0], POLLIN, 0}};
  std::vector<std::pair<size_t, bool>> owners{{0, false}};
  for (size_t i = 0; i < m_impl->workers.size(); ++i) {
    const Worker& worker = m_impl->workers[i];
    if (worker.out >= 0) fds.push_back({worker.out, POLLIN, 0}), owners.emplace_back(i, false);
    if (worker.err >= 0) fds.push_back({worker.err, POLLIN, 0}), owners.emplace_back(i, true);
  }
  std::vector<Event> events;
  const int ms = timeout.count() < 0 ? -1 : static_cast<int>(timeout.count());
  if (::poll(fds.data(), fds.size(), ms) <= 0) return events;
  if (fds[0].revents != 0) {
    char drained[64];
    while (::read(m_impl->wake[0], drained, sizeof drained) > 0) {
    }
  }
  for (size_t k = 1; k < fds.size(); ++k)
    if (fds[k].revents != 0) m_impl->Read(owners[k].first, owners[k].second, &events);
  return events;
}
