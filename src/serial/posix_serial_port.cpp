// The channel's system calls on a termios device.

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>

#include "serial/port_io.h"
#include "serial/port_path.h"
#include "serial/posix_sys_io.h"

namespace port_io {

struct Port {
  int fd = -1;
  int wake[2] = {-1, -1};  // Wake writes to [1]; the waits poll [0], which is never drained
  termios saved{};
  bool hasSaved = false;
};

namespace {

using serial_io::Sys;

constexpr short kGone = POLLHUP | POLLERR | POLLNVAL;

// Whether `fd` is the terminal device `path` was found to be, so nothing swapped in between
// the check and the open can be written to.
bool IsTheTerminal(int fd, const std::string& path) {
  struct stat opened, named;
  if (::fstat(fd, &opened) != 0 || !S_ISCHR(opened.st_mode) || !::isatty(fd)) return false;
  return ::stat(path.c_str(), &named) == 0 && named.st_rdev == opened.st_rdev &&
         ClassifyPortPath(path) == PortPathKind::Terminal;
}

// Polls the port for `events` and the wake pipe; retried when a signal cuts it short.
int PollWithWake(const Port& port, short events, int timeoutMs, pollfd* fds) {
  for (;;) {
    fds[0] = {port.fd, events, 0};
    fds[1] = {port.wake[0], POLLIN, 0};
    const int ready = Sys().poll(fds, 2, timeoutMs);
    if (ready >= 0 || errno != EINTR) return ready;
  }
}

}  // namespace

void Closer::operator()(Port* port) const {
  for (int fd : port->wake)
    if (fd >= 0) ::close(fd);
  Sys().close(port->fd);
  delete port;
}

int Open(const std::string& name, PortPtr* port) {
  const int fd = Sys().open(name.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return errno;
  port->reset(new Port{fd});
  return IsTheTerminal(fd, name) ? 0 : ENOTTY;
}

// flock before TIOCEXCL: a port someone else holds must not be left with our exclusive flag.
// The flock is also what refuses root, which TIOCEXCL does not stop.
int Hold(Port& port, const std::string&) {
  if (::flock(port.fd, LOCK_EX | LOCK_NB) != 0) return errno == EWOULDBLOCK ? EBUSY : errno;
  // Root opens a port that another program holds with TIOCEXCL alone as if it were free; the
  // flag tells, and it is that program's to clear, never ours.
  if (int held = 0; ::ioctl(port.fd, TIOCGEXCL, &held) == 0 && held != 0) return EBUSY;
  ::ioctl(port.fd, TIOCEXCL);
  return 0;
}

// Said explicitly: on a pty TIOCEXCL outlives our close while the master stays open, and
// would lock out the next non-root opener. The flock goes with the descriptor.
void LiftHold(Port& port) {
  ::ioctl(port.fd, TIOCNXCL);
}

ConfigureFailure Configure(Port& port, int* error) {
  port.hasSaved = Sys().tcgetattr(port.fd, &port.saved) == 0;
  if (!port.hasSaved) return ConfigureFailure::kNone;
  termios tio = port.saved;
  cfmakeraw(&tio);
  tio.c_cflag &= ~(CSIZE | PARENB | CSTOPB | CRTSCTS);
  tio.c_cflag |= CS8 | CLOCAL | CREAD;
  tio.c_iflag &= ~(IXON | IXOFF | IXANY);
  // VMIN 1 makes an empty non-blocking read say EAGAIN; with 0 it would return 0, which we
  // take to mean the device is gone.
  tio.c_cc[VMIN] = 1;
  tio.c_cc[VTIME] = 0;
  cfsetispeed(&tio, B115200);
  cfsetospeed(&tio, B115200);
  if (Sys().tcsetattr(port.fd, TCSANOW, &tio) != 0) {
    *error = errno;
    return ConfigureFailure::kLine;
  }
  // ptys have no modem lines and refuse this; that is no reason to refuse the port.
  int rts = TIOCM_RTS;
  ::ioctl(port.fd, TIOCMBIS, &rts);
  return ConfigureFailure::kNone;
}

void RestoreSettings(Port& port) {
  if (port.hasSaved) Sys().tcsetattr(port.fd, TCSANOW, &port.saved);
}

void Purge(Port& port, bool output) {
  ::tcflush(port.fd, output ? TCIOFLUSH : TCIFLUSH);
}

uint32_t PendingOutput(Port& port) {
  int pending = 0;
  return ::ioctl(port.fd, TIOCOUTQ, &pending) == 0 && pending > 0 ? pending : 0;
}

int PrepareWake(Port& port) {
  return Sys().pipe2(port.wake, O_CLOEXEC | O_NONBLOCK) == 0 ? 0 : errno;
}

void Wake(Port& port) {
  const char wake = 1;
  while (::write(port.wake[1], &wake, 1) < 0 && errno == EINTR) {
  }
}

Wait WaitInput(Port& port, int timeoutMs, int* error) {
  pollfd fds[2];
  const int ready = PollWithWake(port, POLLIN, timeoutMs, fds);
  if (ready < 0) {
    *error = errno;
    return Wait::kGone;
  }
  if (ready == 0) return Wait::kTimedOut;
  if (fds[1].revents != 0) return Wait::kClosing;
  if (fds[0].revents & kGone) {
    *error = EIO;  // a hang-up carries no reason of its own: unplugged
    return Wait::kGone;
  }
  return Wait::kReady;
}

long ReadAvailable(Port& port, uint8_t* buffer, uint32_t capacity, int* error) {
  for (;;) {
    const ssize_t n = Sys().read(port.fd, buffer, capacity);
    if (n > 0) return n;
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return 0;
    *error = n == 0 ? EIO : errno;  // hung-up ttys read as end of file
    return -1;
  }
}

// The wake pipe lets ClosePort cut a wait for room short instead of queueing behind it.
long Write(Port& port, const uint8_t* data, uint32_t length, int timeoutMs) {
  for (;;) {
    const ssize_t n = Sys().write(port.fd, data, length);
    if (n > 0) return n;
    if (n < 0 && errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK) return -1;
    pollfd fds[2];
    if (PollWithWake(port, POLLOUT, timeoutMs, fds) <= 0 || fds[1].revents != 0) return 0;
    if ((fds[0].revents & POLLOUT) == 0) return 0;
  }
}

}  // namespace port_io
