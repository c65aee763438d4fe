// The channel's sequence, the same on every platform; the system calls are in port_io's twins.

#include "serial/serial_port.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <system_error>
#include <utility>

#include "serial/port_io.h"
#include "serial/port_path.h"

CSerial g_serial;

namespace {

using Clock = std::chrono::steady_clock;
using port_io::Wait;

constexpr uint32_t kChunkSize = 1024;
// Long enough for a charger's whole menu reply to land in one chunk.
constexpr auto kReadWindow = std::chrono::milliseconds(100);
constexpr auto kWriteTimeout = std::chrono::milliseconds(100);
constexpr int kMicrosPerByte = 87;  // 10 bits at 115200 baud
constexpr auto kDrainMargin = std::chrono::milliseconds(20);
constexpr auto kLongestDrain = std::chrono::microseconds(500000);
constexpr auto kEmergencyWait = std::chrono::milliseconds(300);

const char kTimeoutsFailed[] = "无法设置超时参数!";
const char kEventsFailed[] = "无法设置串口事件，请检查参数!";
const char kConfigureFailed[] = "无法按当前参数配置端口，请检查参数!";
const char kReaderFailed[] = "创建接收线程失败!";

// Rounded up so a sub-millisecond remainder waits instead of spinning.
int RemainingMs(Clock::time_point deadline) {
  const auto left = deadline - Clock::now();
  if (left <= Clock::duration::zero()) return 0;
  return static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(left).count());
}

// Bytes already accepted by WritePort still go out: discarding them at close would cut the
// end of a transfer (the closing block of a batch is written just before the port is let go).
// The wait is bounded by what the line can still send, so a stuck device cannot hold us; what
// it did not take is dropped, so closing cannot wait on it either. The settings go back only
// after that, so the last bytes leave at the speed they were sent, and the hold goes last, so
// no other updater configures the port before ours are back.
void LetGo(port_io::Port& port) {
  const uint32_t pending = port_io::PendingOutput(port);
  if (pending > 0) {
    const auto drain = std::chrono::microseconds(pending * kMicrosPerByte) + kDrainMargin;
    std::this_thread::sleep_for(std::min<std::chrono::microseconds>(drain, kLongestDrain));
  }
  // Output only when some is left: on a pty that would also drop what is on its way across.
  port_io::Purge(port, port_io::PendingOutput(port) > 0);
  port_io::RestoreSettings(port);
  port_io::LiftHold(port);
}

void Release(port_io::PortPtr port) {
  LetGo(*port);
}

bool WriteWithin(port_io::Port& port, const uint8_t* data, uint32_t length,
                 Clock::time_point deadline) {
  uint32_t done = 0;
  while (done < length) {
    const long n = port_io::Write(port, data + done, length - done, RemainingMs(deadline));
    if (n <= 0) return false;
    done += static_cast<uint32_t>(n);
  }
  return true;
}

enum class ChunkEnd { kWindowOver, kVanished, kClosing };

// Gathers bytes until the buffer is full or the read window, opened by the chunk's first byte,
// closes, so a reply sent in a few pieces reaches the receiver whole. With a reply gap, the
// chunk also ends once the line has been quiet that long after a byte.
ChunkEnd CollectChunk(port_io::Port& port, const std::atomic<int>& replyGapMs, uint8_t* buffer,
                      uint32_t capacity, uint32_t* count, int* error) {
  Clock::time_point deadline;
  int gapMs = 0;
  *count = 0;
  while (*count < capacity) {
    const long n = port_io::ReadAvailable(port, buffer + *count, capacity - *count, error);
    if (n < 0) return ChunkEnd::kVanished;
    if (n > 0 && *count == 0) {
      deadline = Clock::now() + kReadWindow;
      gapMs = replyGapMs;
    }
    *count += static_cast<uint32_t>(n);
    if (n > 0) continue;

    int waitMs = -1;  // nothing yet, so no window either
    if (*count > 0) {
      waitMs = RemainingMs(deadline);
      if (waitMs == 0) break;
      if (gapMs > 0) waitMs = std::min(waitMs, gapMs);
    }
    switch (port_io::WaitInput(port, waitMs, error)) {
      case Wait::kReady:
        break;
      case Wait::kTimedOut:
        return ChunkEnd::kWindowOver;
      case Wait::kClosing:
        return ChunkEnd::kClosing;
      case Wait::kGone:
        return ChunkEnd::kVanished;
    }
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
  port_io::PortPtr port;
  int error = port_io::Open(name, &port);
  if (error == 0) error = port_io::Hold(*port, name);
  if (error != 0) {
    SetOpenFailure(OpenStep::Open, error);
    return 0;
  }

  const port_io::ConfigureFailure failure = port_io::Configure(*port, &error);
  if (failure != port_io::ConfigureFailure::kNone) {
    SetOpenFailure(OpenStep::Configure, error);
    // Shown while the port is still held: the operator may retry at once.
    ShowMessage(failure == port_io::ConfigureFailure::kTimeouts ? kTimeoutsFailed
                : failure == port_io::ConfigureFailure::kEvents ? kEventsFailed
                                                                : kConfigureFailed);
    Release(std::move(port));
    return 0;
  }
  port_io::Purge(*port, true);

  error = port_io::PrepareWake(*port);
  std::promise<void> started;
  std::future<void> startedFuture = started.get_future();
  if (error == 0) {
    try {
      m_readerThread = std::thread(&CSerial::ReaderThread, this, port.get(), owner, &started);
    } catch (const std::system_error& failure) {
      error = failure.code().value();
    }
  }
  if (error != 0) {
    SetOpenFailure(OpenStep::Reader, error);
    Release(std::move(port));
    ShowMessage(kReaderFailed);
    return 0;
  }
  // The reader's start-up purge discards output too, so no write may be queued before it.
  startedFuture.wait();

  std::lock_guard lock(m_lock);
  m_port = port.release();
  return 1;
}

int CSerial::WritePort(const uint8_t* data, uint32_t length) {
  if (!IsOpen()) return 0;
  std::lock_guard lock(m_lock);
  port_io::Port* const port = m_port.load();
  if (port == nullptr) return 0;
  return WriteWithin(*port, data, length, Clock::now() + kWriteTimeout) ? 1 : 0;
}

int CSerial::ClosePort() {
  port_io::Port* const port = m_port.load();
  if (port == nullptr) return 0;

  // The reader and any waiting writer all see this, so the close does not queue behind them.
  m_closing = true;
  port_io::Wake(*port);
  if (m_readerThread.joinable()) m_readerThread.join();

  std::lock_guard lock(m_lock);
  m_port = nullptr;
  Release(port_io::PortPtr(port));
  m_closing = false;
  return 1;
}

bool CSerial::IsOpen() const {
  return m_port.load() != nullptr;
}

void CSerial::EmergencyRelease(const uint8_t* lastWords, uint32_t length) {
  std::unique_lock lock(m_lock, std::defer_lock);
  // A writer holds the lock for at most its write time-out; ClosePort holds it while it lets
  // the port go itself.
  if (!lock.try_lock_for(kEmergencyWait)) return;
  port_io::Port* const port = m_port.load();
  if (port == nullptr) return;
  if (lastWords != nullptr && length > 0)
    WriteWithin(*port, lastWords, length, Clock::now() + kWriteTimeout);
  // The device stays open: the reader may still be using it. The system closes it when the
  // process ends a moment later.
  LetGo(*port);
}

void CSerial::ReaderThread(port_io::Port* port, void* owner, std::promise<void>* started) {
  // One spare byte keeps even a full chunk zero-terminated for careless receivers.
  std::vector<uint8_t> buffer(kChunkSize + 1);
  port_io::Purge(*port, true);  // whatever arrived while the port was being opened
  started->set_value();

  const int error = ReadUntilGone(*port, owner, buffer);
  // A failure while ClosePort stops us is the close itself, not a lost device.
  if (error != 0 && !m_closing && m_pfnPortLost != nullptr) m_pfnPortLost(owner, error);
}

int CSerial::ReadUntilGone(port_io::Port& port, void* owner, std::vector<uint8_t>& buffer) {
  const uint32_t chunkSize = static_cast<uint32_t>(buffer.size() - 1);
  for (;;) {
    std::fill(buffer.begin(), buffer.end(), 0);
    uint32_t count = 0;
    int error = 0;
    const ChunkEnd end = CollectChunk(port, m_replyGapMs, buffer.data(), chunkSize, &count, &error);
    if (end == ChunkEnd::kClosing) return 0;
    if (count > 0 && m_pfnReceive != nullptr) m_pfnReceive(owner, buffer.data(), count);
    if (end == ChunkEnd::kVanished) return error;
  }
}

int CSerial::LastOpenError() const {
  return m_lastOpenError.load();
}

CSerial::OpenStep CSerial::LastOpenStep() const {
  return m_lastOpenStep.load();
}

void CSerial::SetOpenFailure(OpenStep step, int error) {
  m_lastOpenStep = step;
  m_lastOpenError = error;
}

void CSerial::SetMessageHook(SerialMessageHook hook) {
  std::lock_guard<std::mutex> lock(m_hookLock);
  m_messageHook = std::move(hook);
}

void CSerial::ShowMessage(const std::string& text) {
  SerialMessageHook hook;
  {
    std::lock_guard<std::mutex> lock(m_hookLock);
    hook = m_messageHook;
  }
  if (hook) {
    hook(text);
    return;
  }
  const std::string line = text + "\n";
  std::fwrite(line.data(), 1, line.size(), stderr);
}
