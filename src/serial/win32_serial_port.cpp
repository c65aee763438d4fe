// The channel's system calls on a Win32 communications device, all overlapped.

#include <windows.h>

#include <algorithm>
#include <cerrno>

#include "serial/port_io.h"
#include "serial/win32_port_path.h"

namespace port_io {

struct Port {
  HANDLE handle;
  HANDLE hold = nullptr;  // the port's name, held against other updaters
  DCB dcb{};
  COMMTIMEOUTS timeouts{};
  // Manual reset, as overlapped calls need (each call clears its own as it starts). Wake sets
  // stop; writers take turns with writeDone under the channel's lock.
  HANDLE stop = nullptr, readDone = nullptr, writeDone = nullptr, eventDone = nullptr;
  OVERLAPPED eventOv{};  // stays pending across a timed-out wait rather than cancelled
  DWORD events = 0;
  bool eventPending = false;
};

namespace {

// Read interval, read multiplier and constant, write multiplier and constant (ms). Reads only
// ask for bytes already there, so they never wait these out.
constexpr COMMTIMEOUTS kTimeouts = {100, 0, 100, 0, 100};
// The driver ends a write after its time-out; this only guards against one that never does.
constexpr DWORD kWriteGuardMs = 1000;

Wait Lost(int* error) {
  const DWORD e = GetLastError();
  const bool unplugged = e == ERROR_DEVICE_NOT_CONNECTED || e == ERROR_DEVICE_REMOVED ||
                         e == ERROR_BAD_COMMAND || e == ERROR_FILE_NOT_FOUND;
  *error = unplugged ? ENODEV : EIO;
  return Wait::kGone;
}

// What the driver holds each way; this also clears an error that would stop later transfers.
bool Queued(const Port& port, COMSTAT* stat) {
  DWORD errors = 0;
  return ClearCommError(port.handle, &errors, stat);
}

}  // namespace

void Closer::operator()(Port* port) const {
  // A WaitCommEvent issued just after Wake's mask change waits on under Wine; another ends it.
  DWORD ignored = 0;
  if (port->eventPending) SetCommMask(port->handle, 0);
  if (port->eventPending) GetOverlappedResult(port->handle, &port->eventOv, &ignored, TRUE);
  for (HANDLE h :
       {port->handle, port->hold, port->stop, port->readDone, port->writeDone, port->eventDone})
    if (h != nullptr) CloseHandle(h);
  delete port;
}

// Share mode 0: Windows itself refuses a second opener, us included. A file or a pipe named by
// mistake is let go untouched.
int Open(const std::string& name, PortPtr* port) {
  HANDLE handle = CreateFileW(DevicePath(name).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                              OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    // In the engine's terms: a port another program holds is busy, not forbidden.
    const DWORD e = GetLastError();
    if (e == ERROR_ACCESS_DENIED || e == ERROR_SHARING_VIOLATION) return EBUSY;
    const bool absent = e == ERROR_FILE_NOT_FOUND || e == ERROR_PATH_NOT_FOUND;
    return absent || e == ERROR_INVALID_NAME ? ENOENT : EIO;
  }
  port->reset(new Port{handle});
  // The settings that tell a serial port from anything else are the ones put back at the end.
  Port& opened = **port;
  opened.dcb.DCBlength = sizeof(DCB);
  const bool serial = GetFileType(handle) == FILE_TYPE_CHAR && GetCommState(handle, &opened.dcb);
  return serial && GetCommTimeouts(handle, &opened.timeouts) ? 0 : ENOTTY;
}

// Wine does not apply share mode 0 to serial devices, so a named object per port keeps two
// updaters apart wherever they run; it goes away with the handle, also when a process dies.
int Hold(Port& port, const std::string& name) {
  const std::wstring key = L"Global\\charger-updater-port-" + PortKey(name);
  port.hold = CreateMutexW(nullptr, FALSE, key.c_str());
  // Already there (another updater has the port), or made by a user we may not open it as.
  if (port.hold != nullptr && GetLastError() != ERROR_ALREADY_EXISTS) return 0;
  LiftHold(port);
  return EBUSY;
}

void LiftHold(Port& port) {
  if (port.hold != nullptr) CloseHandle(port.hold);
  port.hold = nullptr;
}

ConfigureFailure Configure(Port& port, int* error) {
  *error = EIO;
  COMMTIMEOUTS timeouts = kTimeouts;
  if (!SetCommTimeouts(port.handle, &timeouts)) return ConfigureFailure::kTimeouts;
  if (!SetCommMask(port.handle, EV_RXCHAR)) return ConfigureFailure::kEvents;
  DCB dcb = port.dcb;  // the rest as the driver reported it
  dcb.BaudRate = CBR_115200, dcb.ByteSize = 8, dcb.Parity = NOPARITY, dcb.StopBits = ONESTOPBIT;
  dcb.fBinary = TRUE, dcb.fParity = FALSE, dcb.fRtsControl = RTS_CONTROL_ENABLE;
  dcb.fOutX = dcb.fInX = dcb.fTXContinueOnXoff = FALSE, dcb.XoffChar = 0;
  SetupComm(port.handle, 16384, 16384);  // input and output queues
  return SetCommState(port.handle, &dcb) ? ConfigureFailure::kNone : ConfigureFailure::kLine;
}

void RestoreSettings(Port& port) {
  SetCommState(port.handle, &port.dcb);
  SetCommTimeouts(port.handle, &port.timeouts);
}

// A pending read is left alone: aborted, it would look like a lost device.
void Purge(Port& port, bool output) {
  Queued(port, nullptr);
  PurgeComm(port.handle, output ? PURGE_TXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR : PURGE_RXCLEAR);
}

uint32_t PendingOutput(Port& port) {
  COMSTAT stat{};
  return Queued(port, &stat) ? stat.cbOutQue : 0;
}

int PrepareWake(Port& port) {
  for (HANDLE* event : {&port.stop, &port.readDone, &port.writeDone, &port.eventDone})
    if ((*event = CreateEventW(nullptr, TRUE, FALSE, nullptr)) == nullptr) return ENOMEM;
  return 0;
}

// Clearing the mask completes a pending WaitCommEvent, which CancelIoEx does not under Wine.
void Wake(Port& port) {
  SetEvent(port.stop);
  SetCommMask(port.handle, 0);
}

// A byte that came between the reader's last look and WaitCommEvent still ends the wait:
// Windows keeps the event until it is waited for, and Wine looks at the input queue.
Wait WaitInput(Port& port, int timeoutMs, int* error) {
  if (!port.eventPending) {
    port.eventOv = OVERLAPPED{};
    port.eventOv.hEvent = port.eventDone;
    if (WaitCommEvent(port.handle, &port.events, &port.eventOv)) return Wait::kReady;
    if (GetLastError() != ERROR_IO_PENDING) return Lost(error);
    port.eventPending = true;
  }
  // The stop event first: Wake sets it before its mask change ends the WaitCommEvent.
  HANDLE waits[2] = {port.stop, port.eventDone};
  const DWORD woken = WaitForMultipleObjects(2, waits, FALSE, static_cast<DWORD>(timeoutMs));
  if (woken == WAIT_TIMEOUT) return Wait::kTimedOut;
  if (woken == WAIT_OBJECT_0) return Wait::kClosing;
  if (woken != WAIT_OBJECT_0 + 1) return Lost(error);
  DWORD ignored = 0;
  port.eventPending = false;
  if (GetOverlappedResult(port.handle, &port.eventOv, &ignored, FALSE)) return Wait::kReady;
  return Lost(error);
}

// Only what the driver holds already is asked for, so the read ends at once. Wine ends a read
// that got nothing with ERROR_TIMEOUT; that is an empty read, not a failure.
long ReadAvailable(Port& port, uint8_t* buffer, uint32_t capacity, int* error) {
  COMSTAT stat{};
  DWORD count = 0;
  if (Queued(port, &stat)) {
    if (stat.cbInQue == 0) return 0;
    OVERLAPPED ov{};
    ov.hEvent = port.readDone;
    const DWORD want = std::min<DWORD>(stat.cbInQue, capacity);
    if (ReadFile(port.handle, buffer, want, nullptr, &ov) || GetLastError() == ERROR_IO_PENDING) {
      if (GetOverlappedResult(port.handle, &ov, &count, TRUE)) return count;
      if (GetLastError() == ERROR_TIMEOUT) return 0;
    }
  }
  Lost(error);
  return -1;
}

// The driver's write time-out, the channel's own, bounds the wait for room; Wake cuts it short.
// A write that outlives it is aborted, and the record is collected before it leaves scope.
long Write(Port& port, const uint8_t* data, uint32_t length, int) {
  OVERLAPPED ov{};
  ov.hEvent = port.writeDone;
  DWORD written = 0;
  if (WriteFile(port.handle, data, length, nullptr, &ov) || GetLastError() == ERROR_IO_PENDING) {
    HANDLE waits[2] = {port.writeDone, port.stop};
    if (WaitForMultipleObjects(2, waits, FALSE, kWriteGuardMs) != WAIT_OBJECT_0)
      CancelIoEx(port.handle, &ov);  // Wine does not end a pending write for PurgeComm
    if (GetOverlappedResult(port.handle, &ov, &written, TRUE)) return written;
  }
  Queued(port, nullptr);
  return -1;
}

}  // namespace port_io
