#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/timed_lock.h"

namespace port_io {
struct Port;
}

// Receive callback: one call per chunk of 1 to 1024 bytes, on the reader thread, in arrival
// order. `data` is valid only during the call.
using ReceiveProc = void (*)(void* owner, const uint8_t* data, uint32_t count);
// Port failure: called once, on the reader thread, when the reader ends because the device
// failed (hang-up, I/O error, unplugged); never because of ClosePort. `error` is the OS's
// reason (EIO when the device only hung up). The channel stays open until ClosePort.
using PortLostProc = void (*)(void* owner, int error);

// Shows a configuration failure to the operator and returns once it is dismissed.
using SerialMessageHook = std::function<void(const std::string& text)>;

// The one channel to the charger: an exclusively opened serial port at 115200 8N1, raw, no
// flow control, with a reader thread that hands every received chunk to `m_pfnReceive`.
class CSerial {
 public:
  CSerial();
  virtual ~CSerial();
  CSerial(const CSerial&) = delete;
  CSerial& operator=(const CSerial&) = delete;

  // 1: open, configured, reader running. 0: the channel is closed again (absent or held
  // ports are refused silently). Anything that is not a terminal device is refused with
  // ENOTTY before a byte is written; the process's own terminal with EBUSY. The port's
  // settings are saved here and put back by ClosePort. Call only while closed.
  int OpenPort(const char* name, void* owner);
  // 1 when all `length` bytes were written within the write time-out, else 0 (also when closed).
  int WritePort(const uint8_t* data, uint32_t length);
  // 1 when a port was open and is now closed (reader stopped and joined), 0 when already closed.
  // Never call it from the receive callback: it waits for the reader that runs the callback.
  int ClosePort();
  bool IsOpen() const;
  // For a process about to exit at once: writes `lastWords` (best effort, bounded), lifts the
  // exclusive hold and puts the saved settings back, without joining or closing anything.
  // Safe from any thread while others use the channel.
  void EmergencyRelease(const uint8_t* lastWords, uint32_t length);
  // Why the last OpenPort failed (EACCES, EBUSY, ENOENT, ENOTTY, ...); 0 when it succeeded.
  int LastOpenError() const;
  // Which step of the last OpenPort failed.
  enum class OpenStep { None, Open, Configure, Reader };
  OpenStep LastOpenStep() const;

  // Installed once by the dialog's start-up before any port is opened.
  ReceiveProc m_pfnReceive = nullptr;
  PortLostProc m_pfnPortLost = nullptr;

  // How long the line must stay quiet before a chunk is handed on; 0 (the default) waits out
  // the whole read window, which keeps a menu reply in one chunk. A short gap hands each
  // transfer reply on at once. Takes effect from the next chunk; any thread.
  void SetReplyGap(std::chrono::milliseconds gap) { m_replyGapMs = static_cast<int>(gap.count()); }

  // Where the configuration failure texts go; defaults to stderr.
  void SetMessageHook(SerialMessageHook hook);

 private:
  void ReaderThread(port_io::Port* port, void* owner, std::promise<void>* started);
  // 0 when told to stop, else why the device failed (an errno value).
  int ReadUntilGone(port_io::Port& port, void* owner, std::vector<uint8_t>& buffer);
  void ShowMessage(const std::string& text);

  void SetOpenFailure(OpenStep step, int error);

  std::atomic<int> m_lastOpenError{0};
  std::atomic<int> m_replyGapMs{0};
  std::atomic<OpenStep> m_lastOpenStep{OpenStep::None};
  // The open port; set and cleared under m_lock, read by IsOpen and ClosePort without it.
  std::atomic<port_io::Port*> m_port{nullptr};
  std::atomic<bool> m_closing{false};
  std::thread m_readerThread;
  // Held by a write from its start to its end, and while the port is closed, so a port is
  // never used after close and each WritePort's bytes stay together on the wire. Timed so the
  // emergency path never waits on a stuck writer for long.
  TimedLock m_lock;
  std::mutex m_hookLock;
  SerialMessageHook m_messageHook;
};

extern CSerial g_serial;
