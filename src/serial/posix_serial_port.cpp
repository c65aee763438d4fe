#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <system_error>
#include <thread>
#include <vector>

#include "serial/port_path.h"
#include "serial/posix_sys_io.h"
#include "serial/serial_port.h"

struct CSerial::SavedSettings {
  termios tio{};
  bool valid = false;
};

namespace {

using serial_io::Sys;
using Clock = std::chrono::steady_clock;

constexpr uint32_t kChunkSize = 1024;
// Long enough for a charger's whole menu reply to land in one chunk.
constexpr auto kReadWindow = std::chrono::milliseconds(100);
constexpr auto kWriteTimeout = std::chrono::milliseconds(100);
constexpr int kMicrosPerByte = 87;  // 10 bits at 115200 baud
constexpr auto kDrainMargin = std::chrono::milliseconds(20);
constexpr auto kLongestDrain = std::chrono::microseconds(500000);
constexpr auto kEmergencyWait = std::chrono::milliseconds(300);

const char kConfigureFailed[] = "无法按当前参数配置端口，请检查参数!";
const char kReaderFailed[] = "创建接收线程失败!";

constexpr short kGone = POLLHUP | POLLERR | POLLNVAL;

// Rounded up so a sub-millisecond remainder waits instead of spinning.
int RemainingMs(Clock::time_point deadline) {
  const auto left = deadline - Clock::now();
  if (left <= Clock::duration::zero()) return 0;
  return static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(left).count());
}

void SetRaw115200(termios* tio) {
  cfmakeraw(tio);
  tio->c_cflag &= ~(CSIZE | PARENB | CSTOPB | CRTSCTS);
  tio->c_cflag |= CS8 | CLOCAL | CREAD;
  tio->c_iflag &= ~(IXON | IXOFF | IXANY);
  // VMIN 1 makes an empty non-blocking read say EAGAIN; with 0 it would return 0, which we
  // take to mean the device is gone.
  tio->c_cc[VMIN] = 1;
  tio->c_cc[VTIME] = 0;
  cfsetispeed(tio, B115200);
  cfsetospeed(tio, B115200);
}

// Undoes TIOCEXCL explicitly: on a pty the flag outlives our close while the master stays
// open, and would lock out the next non-root opener.
// Bytes already accepted by WritePort still go out: discarding them at close would cut the
// end of a transfer (the closing block of a batch is written just before the port is let go).
// The wait is bounded by what the line can still send, so a stuck device cannot hold us.
// The settings go back only after that, so the last bytes leave at the speed they were sent.
void LetGo(int fd, const termios* saved) {
  ::ioctl(fd, TIOCNXCL);
  ::tcflush(fd, TCIFLUSH);
  int pending = 0;
  if (::ioctl(fd, TIOCOUTQ, &pending) == 0 && pending > 0) {
    const auto drain = std::chrono::microseconds(pending * kMicrosPerByte) + kDrainMargin;
    std::this_thread::sleep_for(std::min<std::chrono::microseconds>(drain, kLongestDrain));
    // Whatever a stuck device did not take is dropped, so close() cannot wait on it.
    if (::ioctl(fd, TIOCOUTQ, &pending) == 0 && pending > 0) ::tcflush(fd, TCOFLUSH);
  }
  if (saved != nullptr) Sys().tcsetattr(fd, TCSANOW, saved);
}

void ReleasePort(int fd, const termios* saved) {
  LetGo(fd, saved);
  Sys().close(fd);
}

// Writes what a non-blocking descriptor takes within `limit`; for the emergency path only.
void WriteBounded(int fd, const uint8_t* data, uint32_t length, std::chrono::milliseconds limit) {
  const auto deadline = Clock::now() + limit;
  uint32_t done = 0;
  while (done < length) {
    const ssize_t n = ::write(fd, data + done, length - done);
    if (n > 0) {
      done += static_cast<uint32_t>(n);
      continue;
    }
    if (n < 0 && errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK) return;
    const int waitMs = RemainingMs(deadline);
    if (waitMs == 0) return;
    pollfd out{fd, POLLOUT, 0};
    ::poll(&out, 1, waitMs);
  }
}

// Whether `fd` is the terminal device `path` was found to be, so nothing swapped in between
// the check and the open can be written to.
bool IsTheTerminal(int fd, const std::string& path) {
  struct stat opened, named;
  if (::fstat(fd, &opened) != 0 || !S_ISCHR(opened.st_mode) || !::isatty(fd)) return false;
  return ::stat(path.c_str(), &named) == 0 && named.st_rdev == opened.st_rdev &&
         ClassifyPortPath(path) == PortPathKind::Terminal;
}

enum class ChunkEnd { kWindowOver, kVanished, kClosing };

// The OS's reason for a failed read or poll; a hang-up carries none of its own.
int VanishReason(int err) {
  return err != 0 ? err : EIO;
}

// Gathers bytes until the buffer is full or the read window closes, so a reply sent in a few
// pieces reaches the receiver whole. With a gap (ms), the chunk also ends once bytes have come
// and the line has then been quiet that long.
ChunkEnd CollectChunk(int fd, int wakeFd, int gapMs, uint8_t* buffer, uint32_t capacity,
                      uint32_t* count, int* error) {
  const auto deadline = Clock::now() + kReadWindow;
  *count = 0;
  while (*count < capacity) {
    const ssize_t n = Sys().read(fd, buffer + *count, capacity - *count);
    if (n > 0) {
      *count += static_cast<uint32_t>(n);
      continue;
    }
    if (n == 0) return ChunkEnd::kVanished;  // hung-up ttys read as end of file
    if (errno == EINTR) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) {
      *error = errno;
      return ChunkEnd::kVanished;
    }

    int waitMs = RemainingMs(deadline);
    if (waitMs == 0) break;
    if (gapMs > 0 && *count > 0) waitMs = std::min(waitMs, gapMs);
    pollfd fds[2] = {{fd, POLLIN, 0}, {wakeFd, POLLIN, 0}};
    const int ready = Sys().poll(fds, 2, waitMs);
    if (ready < 0) {
      if (errno == EINTR) continue;
      *error = errno;
      return ChunkEnd::kVanished;
    }
    if (ready == 0) break;
    if (fds[1].revents != 0) return ChunkEnd::kClosing;
    if (fds[0].revents & kGone) return ChunkEnd::kVanished;
  }
  return ChunkEnd::kWindowOver;
}

}  // namespace

CSerial::CSerial() = default;

CSerial::~CSerial() {
  if (IsOpen()) ClosePort();
}

int CSerial::OpenPort(const char* name, void* owner) {
  if (IsOpen()) return 0;
  SetOpenFailure(OpenStep::None, 0);  // an earlier port's refusal must not be blamed on this one
  if (name == nullptr) {
    SetOpenFailure(OpenStep::Open, EINVAL);
    return 0;
  }

  // Decided before opening: opening some devices has effects of its own.
  switch (ClassifyPortPath(name)) {
    case PortPathKind::NotTerminal:
      SetOpenFailure(OpenStep::Open, ENOTTY);
      return 0;
    case PortPathKind::OwnTerminal:
      SetOpenFailure(OpenStep::Open, EBUSY);
      return 0;
    case PortPathKind::Missing:
    case PortPathKind::Terminal:
    case PortPathKind::Unknown:
      break;
  }
  const int fd = Sys().open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    SetOpenFailure(OpenStep::Open, errno);
    return 0;
  }
  if (!IsTheTerminal(fd, name)) {
    Sys().close(fd);
    SetOpenFailure(OpenStep::Open, ENOTTY);
    return 0;
  }
  // flock before TIOCEXCL: a port someone else holds must not be left with our exclusive flag.
  // The flock is also what refuses root, which TIOCEXCL does not stop.
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    const int err = errno;
    Sys().close(fd);
    SetOpenFailure(OpenStep::Open, err == EWOULDBLOCK ? EBUSY : err);
    return 0;
  }
  // Root opens a port that another program holds with TIOCEXCL alone as if it were free; the
  // flag tells, and it is that program's to clear, never ours.
  if (int held = 0; ::ioctl(fd, TIOCGEXCL, &held) == 0 && held != 0) {
    Sys().close(fd);
    SetOpenFailure(OpenStep::Open, EBUSY);
    return 0;
  }
  ::ioctl(fd, TIOCEXCL);

  auto saved = std::make_unique<SavedSettings>();
  termios tio;
  if (Sys().tcgetattr(fd, &tio) == 0) {
    saved->tio = tio;
    saved->valid = true;
    SetRaw115200(&tio);
    if (Sys().tcsetattr(fd, TCSANOW, &tio) != 0) {
      SetOpenFailure(OpenStep::Configure, errno);
      ShowMessage(kConfigureFailed);
      ReleasePort(fd, &saved->tio);
      return 0;
    }
    // ptys have no modem lines and refuse this; that is no reason to refuse the port.
    int rts = TIOCM_RTS;
    ::ioctl(fd, TIOCMBIS, &rts);
  }
  ::tcflush(fd, TCIOFLUSH);

  int wake[2];
  const termios* restore = saved->valid ? &saved->tio : nullptr;
  if (Sys().pipe2(wake, O_CLOEXEC | O_NONBLOCK) != 0) {
    SetOpenFailure(OpenStep::Reader, errno);
    ReleasePort(fd, restore);
    ShowMessage(kReaderFailed);
    return 0;
  }

  m_nChunkSize = kChunkSize;
  std::promise<void> started;
  std::future<void> startedFuture = started.get_future();
  try {
    m_readerThread =
        std::thread(&CSerial::ReaderThread, this, ReaderStart{fd, wake[0], owner, &started});
  } catch (const std::system_error& error) {
    SetOpenFailure(OpenStep::Reader, error.code().value());
    ReleasePort(fd, restore);
    ::close(wake[0]);
    ::close(wake[1]);
    ShowMessage(kReaderFailed);
    return 0;
  }
  // The reader's start-up flush discards output too, so no write may be queued before it.
  startedFuture.wait();

  std::lock_guard lock(m_lock);
  m_saved = std::move(saved);
  m_wakeFd[0] = wake[0];
  m_wakeFd[1] = wake[1];
  m_fd = fd;
  return 1;
}

int CSerial::WritePort(const uint8_t* data, uint32_t length) {
  if (m_fd.load() < 0) return 0;
  std::lock_guard lock(m_lock);
  const int fd = m_fd.load();
  if (fd < 0) return 0;
  const int wakeFd = m_wakeFd[0];

  const auto deadline = Clock::now() + kWriteTimeout;
  uint32_t done = 0;
  while (done < length) {
    const ssize_t n = Sys().write(fd, data + done, length - done);
    if (n > 0) {
      done += static_cast<uint32_t>(n);
      continue;
    }
    if (n < 0 && errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK) return 0;
    const int waitMs = RemainingMs(deadline);
    if (waitMs == 0) return 0;
    if (n < 0 && errno == EINTR) continue;

    // The wake pipe lets ClosePort cut this wait short instead of queueing behind it.
    pollfd fds[2] = {{fd, POLLOUT, 0}, {wakeFd, POLLIN, 0}};
    const int ready = Sys().poll(fds, 2, waitMs);
    if (ready < 0) {
      if (errno == EINTR) continue;
      return 0;
    }
    if (ready == 0 || fds[1].revents != 0) return 0;
    if ((fds[0].revents & POLLOUT) == 0) return 0;
  }
  return 1;
}

int CSerial::ClosePort() {
  const int fd = m_fd.load();
  if (fd < 0) return 0;

  // The pipe is never drained, so the reader and any waiting writer all see it.
  const char wake = 1;
  while (::write(m_wakeFd[1], &wake, 1) < 0 && errno == EINTR) {
  }
  if (m_readerThread.joinable()) m_readerThread.join();

  std::lock_guard lock(m_lock);
  ReleasePort(fd, m_saved && m_saved->valid ? &m_saved->tio : nullptr);
  m_saved.reset();
  m_fd = -1;
  ::close(m_wakeFd[0]);
  ::close(m_wakeFd[1]);
  m_wakeFd[0] = m_wakeFd[1] = -1;
  return 1;
}

bool CSerial::IsOpen() const {
  return m_fd.load() >= 0;
}

void CSerial::EmergencyRelease(const uint8_t* lastWords, uint32_t length) {
  std::unique_lock lock(m_lock, std::defer_lock);
  // A writer holds the lock for at most its write time-out; ClosePort holds it while it lets
  // the port go itself.
  if (!lock.try_lock_for(kEmergencyWait)) return;
  const int fd = m_fd.load();
  if (fd < 0) return;
  if (lastWords != nullptr && length > 0) WriteBounded(fd, lastWords, length, kWriteTimeout);
  LetGo(fd, m_saved && m_saved->valid ? &m_saved->tio : nullptr);
}

void CSerial::ReaderThread(ReaderStart start) {
  const auto [fd, wakeFd, owner, started] = start;
  const uint32_t chunkSize = m_nChunkSize;
  // One spare byte keeps even a full chunk zero-terminated for careless receivers.
  std::vector<uint8_t> buffer(chunkSize + 1);
  ::tcflush(fd, TCIOFLUSH);  // whatever arrived while the port was being opened
  started->set_value();

  const int error = ReadUntilGone(start, buffer);
  if (error != 0 && m_pfnPortLost != nullptr) m_pfnPortLost(owner, error);
}

int CSerial::ReadUntilGone(const ReaderStart& start, std::vector<uint8_t>& buffer) {
  const int fd = start.fd;
  const int wakeFd = start.wakeFd;
  void* const owner = start.owner;
  const uint32_t chunkSize = static_cast<uint32_t>(buffer.size() - 1);
  for (;;) {
    pollfd fds[2] = {{fd, POLLIN, 0}, {wakeFd, POLLIN, 0}};
    if (Sys().poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      return VanishReason(errno);
    }
    if (fds[1].revents != 0) return 0;
    if (fds[0].revents & kGone) return EIO;  // unplugged
    if ((fds[0].revents & POLLIN) == 0) continue;

    std::fill(buffer.begin(), buffer.end(), 0);
    uint32_t count = 0;
    int error = 0;
    const ChunkEnd end =
        CollectChunk(fd, wakeFd, m_replyGapMs, buffer.data(), chunkSize, &count, &error);
    if (end == ChunkEnd::kClosing) return 0;
    if (count > 0 && m_pfnReceive != nullptr) m_pfnReceive(owner, buffer.data(), count);
    if (end == ChunkEnd::kVanished) return VanishReason(error);
  }
}
