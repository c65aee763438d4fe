#pragma once

#include <poll.h>
#include <sys/types.h>
#include <termios.h>

#include <cstddef>

// The system calls the serial channel makes, gathered so tests can inject EINTR, EAGAIN,
// short transfers and EIO that a real tty rarely produces on demand.
namespace serial_io {

struct SysIo {
  int (*open)(const char* path, int flags);
  int (*close)(int fd);
  ssize_t (*read)(int fd, void* buf, size_t count);
  ssize_t (*write)(int fd, const void* buf, size_t count);
  int (*poll)(pollfd* fds, nfds_t count, int timeoutMs);
  int (*tcgetattr)(int fd, termios* tio);
  int (*tcsetattr)(int fd, int action, const termios* tio);
  int (*pipe2)(int fds[2], int flags);
};

const SysIo& RealSysIo();
// The table in use; the real one unless a test installed another.
const SysIo& Sys();
// Tests only. `io` must outlive its use; nullptr restores the real calls.
void SetSysIoForTests(const SysIo* io);

}  // namespace serial_io
