#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace chargersim {

inline constexpr uint8_t kSoh = 0x01;
inline constexpr uint8_t kStx = 0x02;
inline constexpr uint8_t kEot = 0x04;
inline constexpr uint8_t kAck = 0x06;
inline constexpr uint8_t kNak = 0x15;
inline constexpr uint8_t kCan = 0x18;
inline constexpr uint8_t kPad = 0x1A;
inline constexpr uint8_t kCrcRequest = 'C';
inline constexpr uint8_t kEndOfBatchAlt = 0xFA;

struct ReceiverConfig {
  // Faults.
  bool nakFirstEot = false;
  bool faInsteadOfFinalC = false;  // 0xFA where the last 'C' belongs
  bool strayAck = false;           // one ACK too many before the last 'C'
  unsigned unplugAfterBlocks = 0;  // 0: never; else cut the cable once this block has arrived

  // A block whose bytes stop coming for this long is dropped and NAKed.
  std::chrono::milliseconds byteTimeout{1000};
  // Silence between blocks: ask again ('C' or NAK); give up after maxIdleTimeouts of them.
  std::chrono::milliseconds idleTimeout{3000};
  unsigned maxIdleTimeouts = 10;
};

struct SessionResult {
  bool ok = false;
  std::string fileName;
  uint32_t announcedSize = 0;
  std::vector<uint8_t> image;  // the file's bytes, padding stripped
  std::string failure;         // empty when ok
  unsigned dataBlocks = 0;     // accepted
  unsigned rejected = 0;       // blocks NAKed for a failed check or a timeout
  unsigned eots = 0;

  // "programmed NAME, N bytes, CRC ok" or "programming failed: REASON".
  std::string Summary() const;
};

// The charger loader's YMODEM receiver for one batch of one file. Fed byte by byte in any
// chunking; never blocks and never reads a clock of its own, so the caller drives time.
class Receiver {
 public:
  using Clock = std::chrono::steady_clock;
  struct Io {
    std::function<void(std::vector<uint8_t>)> send;  // one call = one write on the line
    std::function<void(bool detail, const std::string& text)> log;
  };

  Receiver(ReceiverConfig config, Io io);

  // The loader has just been started: ask for the header.
  void Begin(Clock::time_point now);
  void Feed(uint8_t byte, Clock::time_point now);
  void Tick(Clock::time_point now);
  Clock::time_point Deadline() const;

  bool Finished() const { return m_finished; }
  // The fault asked for the cable to be pulled; the session is over.
  bool WantsUnplug() const { return m_wantsUnplug; }
  // Ends the session from outside (the cable was pulled, the simulator stops).
  void Abort(const std::string& reason);
  const SessionResult& Result() const { return m_result; }

 private:
  enum class Stage { Header, Data, EndOfBatch };

  void StartFrame(uint8_t start, size_t length);
  void OnFrame();
  std::string CheckHeader(const uint8_t* payload, size_t n);
  std::string CheckData(const uint8_t* payload, size_t n, size_t* imageBytes) const;
  void OnEot();
  void Reject(const std::string& why);
  void Finish(const std::string& failure);
  void Send(std::vector<uint8_t> bytes) { m_io.send(std::move(bytes)); }
  void Log(bool detail, const std::string& text) {
    if (m_io.log) m_io.log(detail, text);
  }

  ReceiverConfig m_config;
  Io m_io;
  Stage m_stage = Stage::Header;
  std::vector<uint8_t> m_frame;
  size_t m_frameLength = 0;
  uint8_t m_expectedBlock = 1;
  unsigned m_cancels = 0;
  unsigned m_idleTimeouts = 0;
  Clock::time_point m_lastActivity{};
  std::string m_lateFailure;  // a problem that fails the session once the batch is closed
  std::string m_lastProblem;
  bool m_finished = false;
  bool m_wantsUnplug = false;
  SessionResult m_result;
};

}  // namespace chargersim
