#include <windows.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cwctype>
#include <memory>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "platform/win32_text.h"
#include "serial/serial_port.h"

struct CSerial::SavedSettings {
  DCB dcb{};
  COMMTIMEOUTS timeouts{};
};

namespace {

constexpr uint32_t kChunkSize = 1024;
constexpr DWORD kQueueBytes = 16384;
constexpr DWORD kReadGapMs = 100;
constexpr DWORD kReadTotalMs = 100;
constexpr DWORD kWriteTotalMs = 100;
// The driver ends a write after kWriteTotalMs; this only guards against one that never does.
constexpr DWORD kWriteGuardMs = 1000;
constexpr int kMicrosPerByte = 87;  // 10 bits at 115200 baud
constexpr auto kDrainMargin = std::chrono::milliseconds(20);
constexpr auto kLongestDrain = std::chrono::microseconds(500000);
constexpr auto kEmergencyWait = std::chrono::milliseconds(300);

const char kTimeoutsFailed[] = "无法设置超时参数!";
const char kEventsFailed[] = "无法设置串口事件，请检查参数!";
const char kConfigureFailed[] = "无法按当前参数配置端口，请检查参数!";
const char kReaderFailed[] = "创建接收线程失败!";

HANDLE AsHandle(void* h) {
  return static_cast<HANDLE>(h);
}

// COM10 and up exist only in the device namespace; COM1..COM9 also have DOS names. Names that
// already carry a path are the caller's choice.
std::wstring DevicePath(const std::string& name) {
  const std::wstring wide = Widen(name);
  if (wide.size() >= 5 && wide.find(L'\\') == std::wstring::npos) return L"\\\\.\\" + wide;
  return wide;
}

// Share mode 0 keeps other programs off an open port, but Wine does not apply it to serial
// devices (a second CreateFile succeeds there). A named object per port keeps two updaters
// apart wherever they run; it goes away with the handle, also when a process dies.
using PortHold = std::unique_ptr<void, decltype(&CloseHandle)>;

PortHold HoldPortName(const std::string& name) {
  std::wstring key = Widen(name);
  if (key.rfind(L"\\\\.\\", 0) == 0) key = key.substr(4);
  for (wchar_t& c : key) c = c == L'\\' ? L'_' : static_cast<wchar_t>(std::towupper(c));
  HANDLE hold = CreateMutexW(nullptr, FALSE, (L"Global\\charger-updater-port-" + key).c_str());
  // Already there (another updater has the port), or made by a user we may not open it as.
  if (hold != nullptr && GetLastError() == ERROR_ALREADY_EXISTS) {
    CloseHandle(hold);
    hold = nullptr;
  }
  return PortHold(hold, &CloseHandle);
}

// In the engine's terms: a port another program holds is busy, not forbidden.
int OpenErrno(DWORD error) {
  switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_NAME:
      return ENOENT;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
      return EBUSY;
    default:
      return EIO;
  }
}

int LostErrno(DWORD error) {
  switch (error) {
    case ERROR_DEVICE_NOT_CONNECTED:
    case ERROR_DEVICE_REMOVED:
    case ERROR_BAD_COMMAND:
    case ERROR_FILE_NOT_FOUND:
      return ENODEV;
    default:
      return EIO;
  }
}

void ApplyLineSettings(DCB* dcb) {
  dcb->BaudRate = CBR_115200;
  dcb->ByteSize = 8;
  dcb->Parity = NOPARITY;
  dcb->StopBits = ONESTOPBIT;
  dcb->fBinary = TRUE;
  dcb->fParity = FALSE;
  dcb->fRtsControl = RTS_CONTROL_ENABLE;
  dcb->fOutX = FALSE;
  dcb->fInX = FALSE;
  dcb->fTXContinueOnXoff = FALSE;
  dcb->XoffChar = 0;
}

// Bytes already accepted by WritePort still go out: discarding them at close would cut the
// end of a transfer. The wait is bounded by what the line can still send.
void DrainOutput(HANDLE port) {
  COMSTAT stat{};
  DWORD errors = 0;
  if (ClearCommError(port, &errors, &stat) && stat.cbOutQue > 0) {
    const auto drain = std::chrono::microseconds(stat.cbOutQue * kMicrosPerByte) + kDrainMargin;
    std::this_thread::sleep_for(std::min<std::chrono::microseconds>(drain, kLongestDrain));
  }
  PurgeComm(port, PURGE_TXABORT | PURGE_TXCLEAR | PURGE_RXABORT | PURGE_RXCLEAR);
}

// Puts the port back as we found it; the settings go back only after the output has left, so
// the last bytes leave at the speed they were sent.
void LetGo(HANDLE port, DCB* dcb, COMMTIMEOUTS* timeouts) {
  SetCommMask(port, 0);
  DrainOutput(port);
  SetCommState(port, dcb);
  SetCommTimeouts(port, timeouts);
}

void ReleasePort(HANDLE port, DCB* dcb, COMMTIMEOUTS* timeouts) {
  LetGo(port, dcb, timeouts);
  CloseHandle(port);
}

class Event {
 public:
  Event() : m_handle(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}
  ~Event() {
    if (m_handle != nullptr) CloseHandle(m_handle);
  }
  Event(const Event&) = delete;
  Event& operator=(const Event&) = delete;
  HANDLE get() const { return m_handle; }

 private:
  HANDLE m_handle;
};

enum class Wait { kDone, kFailed, kNoData };

// Waits for an overlapped operation to end. Wine ends a read that got nothing with
// ERROR_TIMEOUT; that is an empty read, not a failure.
Wait Finish(HANDLE port, OVERLAPPED* ov, DWORD* count, DWORD* error) {
  *count = 0;
  if (GetOverlappedResult(port, ov, count, TRUE)) return *count > 0 ? Wait::kDone : Wait::kNoData;
  *error = GetLastError();
  return *error == ERROR_TIMEOUT ? Wait::kNoData : Wait::kFailed;
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

  PortHold hold = HoldPortName(name);
  if (!hold) {
    SetOpenFailure(OpenStep::Open, EBUSY);
    return 0;
  }
  // Share mode 0: Windows itself refuses a second opener, us included.
  HANDLE port = CreateFileW(DevicePath(name).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                            OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
  if (port == INVALID_HANDLE_VALUE) {
    SetOpenFailure(OpenStep::Open, OpenErrno(GetLastError()));
    return 0;
  }
  // Only a device that answers as a serial port is ever written to: a file or a pipe given
  // by mistake is refused before a byte goes out.
  auto saved = std::make_unique<SavedSettings>();
  saved->dcb.DCBlength = sizeof saved->dcb;
  if (GetFileType(port) != FILE_TYPE_CHAR || !GetCommState(port, &saved->dcb) ||
      !GetCommTimeouts(port, &saved->timeouts)) {
    CloseHandle(port);
    SetOpenFailure(OpenStep::Open, ENOTTY);
    return 0;
  }
  DCB* const dcbBack = &saved->dcb;
  COMMTIMEOUTS* const timeoutsBack = &saved->timeouts;

  COMMTIMEOUTS timeouts{};
  timeouts.ReadIntervalTimeout = kReadGapMs;
  timeouts.ReadTotalTimeoutMultiplier = 0;
  timeouts.ReadTotalTimeoutConstant = kReadTotalMs;
  timeouts.WriteTotalTimeoutMultiplier = 0;
  timeouts.WriteTotalTimeoutConstant = kWriteTotalMs;
  if (!SetCommTimeouts(port, &timeouts)) {
    SetOpenFailure(OpenStep::Configure, EIO);
    ShowMessage(kTimeoutsFailed);
    ReleasePort(port, dcbBack, timeoutsBack);
    return 0;
  }
  if (!SetCommMask(port, EV_RXCHAR)) {
    SetOpenFailure(OpenStep::Configure, EIO);
    ShowMessage(kEventsFailed);
    ReleasePort(port, dcbBack, timeoutsBack);
    return 0;
  }
  DCB dcb = saved->dcb;
  ApplyLineSettings(&dcb);
  SetupComm(port, kQueueBytes, kQueueBytes);
  if (!SetCommState(port, &dcb)) {
    SetOpenFailure(OpenStep::Configure, EIO);
    ShowMessage(kConfigureFailed);
    ReleasePort(port, dcbBack, timeoutsBack);
    return 0;
  }
  PurgeComm(port, PURGE_TXCLEAR | PURGE_RXCLEAR);

  HANDLE stop = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (stop == nullptr) {
    SetOpenFailure(OpenStep::Reader, ENOMEM);
    ReleasePort(port, dcbBack, timeoutsBack);
    ShowMessage(kReaderFailed);
    return 0;
  }
  m_nChunkSize = kChunkSize;
  std::promise<void> started;
  std::future<void> startedFuture = started.get_future();
  try {
    m_readerThread =
        std::thread(&CSerial::ReaderThread, this, ReaderStart{port, stop, owner, &started});
  } catch (const std::system_error& error) {
    SetOpenFailure(OpenStep::Reader, error.code().value());
    ReleasePort(port, dcbBack, timeoutsBack);
    CloseHandle(stop);
    ShowMessage(kReaderFailed);
    return 0;
  }
  // The reader's start-up purge discards output too, so no write may be queued before it.
  startedFuture.wait();

  std::lock_guard lock(m_lock);
  m_saved = std::move(saved);
  m_hStopEvent = stop;
  m_hPortHold = hold.release();
  m_hPort = port;
  return 1;
}

int CSerial::WritePort(const uint8_t* data, uint32_t length) {
  if (!IsOpen()) return 0;
  std::lock_guard lock(m_lock);
  HANDLE port = AsHandle(m_hPort.load());
  if (port == INVALID_HANDLE_VALUE) return 0;
  if (length == 0) return 1;

  Event done;
  if (done.get() == nullptr) return 0;
  OVERLAPPED ov{};
  ov.hEvent = done.get();
  DWORD written = 0;
  if (!WriteFile(port, data, length, nullptr, &ov)) {
    if (GetLastError() != ERROR_IO_PENDING) {
      DWORD errors = 0;
      ClearCommError(port, &errors, nullptr);
      return 0;
    }
    // ClosePort's stop event cuts the wait short; a write that outlives the driver's own
    // time-out is aborted. Either way the record is collected before it goes out of scope.
    HANDLE waits[2] = {done.get(), AsHandle(m_hStopEvent)};
    if (WaitForMultipleObjects(2, waits, FALSE, kWriteGuardMs) != WAIT_OBJECT_0)
      PurgeComm(port, PURGE_TXABORT);
  }
  if (!GetOverlappedResult(port, &ov, &written, TRUE)) {
    DWORD errors = 0;
    ClearCommError(port, &errors, nullptr);
    return 0;
  }
  return written == length ? 1 : 0;
}

int CSerial::ClosePort() {
  HANDLE port = AsHandle(m_hPort.load());
  if (port == INVALID_HANDLE_VALUE) return 0;

  // Stop first, so the reader takes its wake-up as the end and not as a lost port. Clearing
  // the mask completes a pending WaitCommEvent (CancelIoEx does not under Wine); a pending
  // read ends within its 100 ms time-out.
  SetEvent(AsHandle(m_hStopEvent));
  SetCommMask(port, 0);
  if (m_readerThread.joinable()) m_readerThread.join();

  std::lock_guard lock(m_lock);
  ReleasePort(port, &m_saved->dcb, &m_saved->timeouts);
  m_hPort = INVALID_HANDLE_VALUE;
  CloseHandle(AsHandle(m_hStopEvent));
  m_hStopEvent = nullptr;
  CloseHandle(AsHandle(m_hPortHold));
  m_hPortHold = nullptr;
  m_saved.reset();
  return 1;
}

bool CSerial::IsOpen() const {
  return AsHandle(m_hPort.load()) != INVALID_HANDLE_VALUE;
}

void CSerial::EmergencyRelease(const uint8_t* lastWords, uint32_t length) {
  std::unique_lock lock(m_lock, std::defer_lock);
  // A writer holds the lock for at most its write time-out; ClosePort holds it while it lets
  // the port go itself.
  if (!lock.try_lock_for(kEmergencyWait)) return;
  HANDLE port = AsHandle(m_hPort.load());
  if (port == INVALID_HANDLE_VALUE) return;
  if (lastWords != nullptr && length > 0) {
    Event done;
    OVERLAPPED ov{};
    ov.hEvent = done.get();
    if (done.get() != nullptr && !WriteFile(port, lastWords, length, nullptr, &ov) &&
        GetLastError() == ERROR_IO_PENDING &&
        WaitForSingleObject(done.get(), kWriteTotalMs) != WAIT_OBJECT_0)
      CancelIoEx(port, &ov);
    DWORD written = 0;
    if (done.get() != nullptr) GetOverlappedResult(port, &ov, &written, TRUE);
  }
  // The handle stays open: the reader may still be using it. Windows lets go of the port,
  // and with it our exclusive hold, when the process ends a moment later.
  LetGo(port, &m_saved->dcb, &m_saved->timeouts);
}

void CSerial::ReaderThread(ReaderStart start) {
  HANDLE port = AsHandle(start.port);
  const uint32_t chunkSize = m_nChunkSize;
  // One spare byte keeps even a full chunk zero-terminated for careless receivers.
  std::vector<uint8_t> buffer(chunkSize + 1);
  {
    std::lock_guard lock(m_lock);
    DWORD errors = 0;
    ClearCommError(port, &errors, nullptr);
    // Whatever arrived while the port was being opened.
    PurgeComm(port, PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR);
  }
  start.started->set_value();

  const int error = ReadUntilGone(start, buffer);
  if (error != 0 && m_pfnPortLost != nullptr) m_pfnPortLost(start.owner, error);
}

int CSerial::ReadUntilGone(const ReaderStart& start, std::vector<uint8_t>& buffer) {
  HANDLE port = AsHandle(start.port);
  HANDLE stop = AsHandle(start.stopEvent);
  const uint32_t chunkSize = static_cast<uint32_t>(buffer.size() - 1);
  Event waitDone;
  Event readDone;
  if (waitDone.get() == nullptr || readDone.get() == nullptr) return ENOMEM;

  auto stopping = [stop] { return WaitForSingleObject(stop, 0) == WAIT_OBJECT_0; };
  DWORD failure = 0;
  while (!stopping()) {
    OVERLAPPED waitOv{};
    waitOv.hEvent = waitDone.get();
    ResetEvent(waitOv.hEvent);
    DWORD mask = 0;
    DWORD count = 0;
    if (!WaitCommEvent(port, &mask, &waitOv)) {
      if (GetLastError() != ERROR_IO_PENDING) {
        failure = GetLastError();
        break;
      }
      if (Finish(port, &waitOv, &count, &failure) == Wait::kFailed) break;
    }
    COMSTAT stat{};
    DWORD errors = 0;
    if (!ClearCommError(port, &errors, &stat)) {
      failure = GetLastError();
      break;
    }
    if (stat.cbInQue == 0) continue;

    std::fill(buffer.begin(), buffer.end(), 0);
    OVERLAPPED readOv{};
    readOv.hEvent = readDone.get();
    ResetEvent(readOv.hEvent);
    BOOL issued;
    {
      std::lock_guard lock(m_lock);
      issued = ReadFile(port, buffer.data(), chunkSize, nullptr, &readOv);
    }
    if (!issued && GetLastError() != ERROR_IO_PENDING) {
      failure = GetLastError();
      break;
    }
    const Wait read = Finish(port, &readOv, &count, &failure);
    if (read == Wait::kFailed) break;
    if (read == Wait::kDone && m_pfnReceive != nullptr)
      m_pfnReceive(start.owner, buffer.data(), count);
  }
  // A failure while ClosePort is stopping us is the close itself, not a lost device.
  if (failure == 0 || stopping()) return 0;
  return LostErrno(failure);
}
