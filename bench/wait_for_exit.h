#pragma once

#include <poll.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>

namespace bench {

// The child's exit status (128 + signal when killed), or -1 after `timeout`; `pid` becomes -1
// once the child is reaped.
inline int WaitForExit(pid_t& pid, std::chrono::milliseconds timeout) {
  // A pidfd becomes readable when the child ends: one blocking wait, no polling.
  const int pidfd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
  if (pidfd < 0) return -1;
  pollfd ended = {pidfd, POLLIN, 0};
  const int ready = poll(&ended, 1, static_cast<int>(timeout.count()));
  close(pidfd);
  int status = 0;
  if (ready <= 0 || waitpid(pid, &status, 0) != pid) return -1;
  pid = -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

}  // namespace bench
