#include "ymodem/sender.h"

#include <cstring>
#include <mutex>
#include <system_error>
#include <thread>

#include "serial/serial_port.h"
#include "ymodem/blocks.h"
#include "ymodem/header_name.h"
#include "ymodem/rx_ring.h"

SenderContext g_sender;
char HeaderName[kHeaderNameSize];
uint8_t ImageBuffer[kImageBufferSize];

namespace {

SenderIo DefaultIo() {
  return {
      [](const uint8_t* data, uint32_t length) { return g_serial.WritePort(data, length) == 1; },
      [](std::chrono::milliseconds duration) { std::this_thread::sleep_for(duration); }};
}

SenderIo g_io = DefaultIo();
RxRing g_rxRing;
thread_local bool t_onPump = false;

// Owns the pump thread. Defined after the ring and the I/O hooks so that at exit it stops the
// pump before they go away.
class Pump {
 public:
  ~Pump() { Stop(); }

  bool Start() {
    if (t_onPump) return false;  // it would have to join itself
    std::lock_guard lock(m_lock);
    StopLocked();
    g_sender.pumpRun = 1;
    try {
      m_thread = std::thread(Run);
    } catch (const std::system_error&) {
      g_sender.pumpRun = 0;
      return false;
    }
    return true;
  }

  void Stop() {
    if (t_onPump) {
      // The loop ends once the current byte is fed; the next Stop or Start joins the thread.
      g_sender.pumpRun = 0;
      return;
    }
    std::lock_guard lock(m_lock);
    StopLocked();
  }

 private:
  static void Run() {
    t_onPump = true;
    while (g_sender.pumpRun.load() && PumpStep()) {
    }
  }

  void StopLocked() {
    g_sender.pumpRun = 0;
    g_rxRing.Wake();
    if (m_thread.joinable()) m_thread.join();
  }

  std::mutex m_lock;  // serialises starting and joining; the pump itself never takes it
  std::thread m_thread;
};

Pump g_pump;

void WriteEot() {
  const uint8_t eot = kEot;
  SenderWrite(&eot, 1);
}

}  // namespace

void SetSenderIo(SenderIo io) {
  SenderIo defaults = DefaultIo();
  g_io.write = io.write ? std::move(io.write) : std::move(defaults.write);
  g_io.pause = io.pause ? std::move(io.pause) : std::move(defaults.pause);
}

void ResetSenderIo() {
  g_io = DefaultIo();
}

bool SenderWrite(const uint8_t* data, uint32_t length) {
  return g_io.write(data, length);
}

void SenderPause(std::chrono::milliseconds duration) {
  g_io.pause(duration);
}

void ResetSender(void* owner) {
  StopPump();
  g_sender.imageLength = 0;
  g_sender.blockNumber = 0;
  g_sender.blockSize = 128;
  g_sender.crcModeChar = kCrcRequest;
  g_rxRing.Clear();
  g_sender.owner = owner;
  g_sender.state = WaitHeaderC;
}

bool PrepareTransfer(const char* name, const uint8_t* data, uint32_t length) {
  if (length > kImageBufferSize || (data == nullptr && length > 0)) return false;
  const std::string kept = FitHeaderName(name ? name : "", kHeaderNameSize - 1);
  std::memcpy(HeaderName, kept.data(), kept.size());
  HeaderName[kept.size()] = '\0';
  g_sender.imageLength = length;
  g_sender.blockNumber = 1;
  g_sender.sentOffset = 0;
  g_sender.blockSize = 128;
  g_sender.state = WaitHeaderC;
  g_sender.crcModeChar = kCrcRequest;
  if (length > 0) std::memcpy(ImageBuffer, data, length);
  return true;
}

void PostRxByte(uint8_t byte) {
  g_rxRing.Post(byte);
}

void FeedByte(uint8_t byte) {
  switch (g_sender.state.load()) {
    case WaitHeaderC:
      if (byte == kCrcRequest) {
        SendHeaderBlock(HeaderKind::File);
        g_sender.state = WaitHeaderAck;
      }
      break;
    case WaitHeaderAck:
      if (byte == kAck) g_sender.state = WaitDataC;
      break;
    case WaitDataC:
      if (byte == kCrcRequest) {
        g_sender.state = SendingData;
        SendDataBlock();
      }
      break;
    case SendingData:
      // A NAK gets no resend: the loader does not expect one, and the session watchdog ends
      // a transfer that stalls here.
      if (byte != kAck) break;
      g_sender.sentOffset += g_sender.blockSize;
      ++g_sender.blockNumber;
      if (g_sender.sentOffset < g_sender.imageLength) {
        SendDataBlock();
      } else {
        WriteEot();
        g_sender.state = WaitEotAck;
      }
      break;
    case WaitEotAck:
      if (byte == kAck) {
        g_sender.state = WaitEndC;
      } else if (byte == kNak) {
        WriteEot();
      }
      break;
    case WaitEndC:
      if (byte == kCrcRequest || byte == kEndOfBatchAlt) {
        SendHeaderBlock(HeaderKind::EndOfBatch);
        g_sender.transferActive = 0;
        if (g_sender.progressCallback) g_sender.progressCallback(g_sender.owner, 100);
      }
      break;
    default:
      break;
  }
}

bool SendCancel() {
  g_sender.transferActive = 0;
  g_sender.state = 0;
  return SenderWrite(kCancelSequence, sizeof kCancelSequence);
}

bool PumpStep() {
  uint8_t byte;
  if (!g_rxRing.Take(byte, g_sender.pumpRun)) return false;
  FeedByte(byte);
  return true;
}

bool StartPump() {
  return g_pump.Start();
}

void StopPump() {
  g_pump.Stop();
}
