#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>

// Control bytes of the transfer.
inline constexpr uint8_t kSoh = 0x01;
inline constexpr uint8_t kStx = 0x02;
inline constexpr uint8_t kEot = 0x04;
inline constexpr uint8_t kAck = 0x06;
inline constexpr uint8_t kNak = 0x15;
inline constexpr uint8_t kCrcRequest = 'C';
inline constexpr uint8_t kEndOfBatchAlt = 0xFA;  // some loaders send it instead of the final 'C'
inline constexpr uint8_t kPad = 0x1A;
inline constexpr uint8_t kCan = 0x18;
// The transfer's cancel. Receivers act on two CANs in a row, so that one noise byte cannot
// end a transfer; five still make two in a row when the receiver swallows the first few into
// the block it was reading or loses one, and are no harm to one that already stopped.
inline constexpr uint8_t kCancelSequence[] = {kCan, kCan, kCan, kCan, kCan};

inline constexpr size_t kHeaderNameSize = 200;
inline constexpr size_t kImageBufferSize = 40960;

enum SenderState : uint8_t {
  WaitHeaderC = 0x89,
  WaitHeaderAck = 0x8A,
  WaitDataC = 0x8E,
  SendingData = 0x8F,
  WaitEotAck = 0x91,
  WaitEndC = 0x8C,
};

// Progress: 0..99 once per data byte, 100 once when the batch is closed. Pump thread.
using ProgressProc = void (*)(void* owner, int32_t percent);

struct SenderContext {
  std::atomic<uint8_t> state{0};
  uint32_t imageLength = 0;
  std::atomic<uint32_t> sentOffset{0};  // image bytes the receiver acknowledged
  uint8_t blockNumber = 0;
  uint32_t blockSize = 0;
  char crcModeChar = 0;
  std::atomic<int> transferActive{0};
  ProgressProc progressCallback = nullptr;
  void* owner = nullptr;
  std::atomic<int32_t> lastPercent{0};
  std::atomic<int> pumpRun{0};
};

extern SenderContext g_sender;
extern char HeaderName[kHeaderNameSize];
extern uint8_t ImageBuffer[kImageBufferSize];

// How the sender reaches the wire. Defaults: g_serial.WritePort and a real sleep.
struct SenderIo {
  std::function<bool(const uint8_t* data, uint32_t length)> write;
  std::function<void(std::chrono::milliseconds)> pause;
};
// Only while no pump runs. Members left empty keep their defaults.
void SetSenderIo(SenderIo io);
void ResetSenderIo();
// Through the installed SenderIo; used by the block senders on the pump thread.
bool SenderWrite(const uint8_t* data, uint32_t length);
void SenderPause(std::chrono::milliseconds duration);

// Stops and joins any running pump, empties the receive ring and puts the machine into
// WaitHeaderC.
void ResetSender(void* owner);
// Copies name and image for the block senders. false (nothing copied) when the image does
// not fit ImageBuffer; the caller must then not start the session.
bool PrepareTransfer(const char* name, const uint8_t* data, uint32_t length);
// Receive thread: queue one byte for the pump. Never drops, never blocks for long.
void PostRxByte(uint8_t byte);
// One step of the state machine; pump thread only.
void FeedByte(uint8_t byte);
// Writes the cancel through the sender's write path and leaves the machine idle. Stop the
// pump first, so no block follows the cancel. true when the bytes were written.
bool SendCancel();
// Waits for one queued byte and feeds it; false once the pump has been told to stop.
bool PumpStep();
// Starts the pump thread with pumpRun = 1; false when the thread cannot be created.
bool StartPump();
// pumpRun = 0, wakes the pump and joins it. Safe when no pump runs. Bytes still queued stay
// queued. Called from the pump itself (a progress callback), it only ends the pump's loop.
void StopPump();
