#include "sim/receiver.h"

#include <algorithm>
#include <cstdio>

#include "sim/loader_crc.h"

namespace chargersim {
namespace {

constexpr size_t kFrameOverhead = 5;  // start, number, complement, CRC high, CRC low

std::string Hex(uint8_t byte) {
  char text[8];
  std::snprintf(text, sizeof text, "0x%02X", byte);
  return text;
}

}  // namespace

std::string SessionResult::Summary() const {
  if (ok) return "programmed " + fileName + ", " + std::to_string(image.size()) + " bytes, CRC ok";
  std::string text = "programming failed: " + failure;
  if (!fileName.empty()) {
    text += " (" + fileName + ", " + std::to_string(image.size()) + " of " +
            std::to_string(announcedSize) + " bytes)";
  }
  return text;
}

Receiver::Receiver(ReceiverConfig config, Io io) : m_config(config), m_io(std::move(io)) {}

void Receiver::Begin(Clock::time_point now) {
  m_lastActivity = now;
  Log(true, "loader started, sending 'C'");
  Send({kCrcRequest});
}

void Receiver::Feed(uint8_t byte, Clock::time_point now) {
  if (m_finished) return;
  m_lastActivity = now;
  m_idleTimeouts = 0;

  if (!m_frame.empty()) {
    m_frame.push_back(byte);
    if (m_frame.size() == m_frameLength) OnFrame();
    return;
  }

  if (byte == kCan) {
    if (++m_cancels >= 2) Finish("cancelled by the sender");
    return;
  }
  m_cancels = 0;
  switch (byte) {
    case kSoh:
      StartFrame(byte, 128 + kFrameOverhead);
      return;
    case kStx:
      StartFrame(byte, 1024 + kFrameOverhead);
      return;
    case kEot:
      if (m_stage == Stage::Data) {
        OnEot();
        return;
      }
      break;
    default:
      break;
  }
  Log(true, "ignored stray byte " + Hex(byte));
}

void Receiver::StartFrame(uint8_t start, size_t length) {
  m_frame.clear();
  m_frame.reserve(length);
  m_frame.push_back(start);
  m_frameLength = length;
}

void Receiver::OnFrame() {
  const uint8_t start = m_frame[0];
  const uint8_t number = m_frame[1];
  const uint8_t complement = m_frame[2];
  const uint8_t* payload = m_frame.data() + 3;
  const size_t n = m_frameLength - kFrameOverhead;
  const uint16_t crc =
      static_cast<uint16_t>(m_frame[m_frameLength - 2] << 8) | m_frame[m_frameLength - 1];
  std::vector<uint8_t> frame = std::move(m_frame);
  m_frame.clear();

  const std::string name =
      std::string(start == kSoh ? "SOH" : "STX") + " block " + std::to_string(number);
  if (static_cast<uint8_t>(number ^ complement) != 0xFF) {
    return Reject(name + ": complement " + Hex(complement) + " does not match");
  }
  const uint16_t expectedCrc = LoaderCrc(payload, n);
  if (crc != expectedCrc) {
    char text[64];
    std::snprintf(text, sizeof text, ": CRC %04X, payload gives %04X", crc, expectedCrc);
    return Reject(name + text);
  }

  switch (m_stage) {
    case Stage::Header: {
      if (start != kSoh) return Reject(name + ": a header block starts with SOH");
      if (number != 0) return Reject(name + ": expected the header, block 0");
      if (payload[0] == 0) {
        Send({kAck});
        return Finish("the batch holds no file");
      }
      const std::string problem = CheckHeader(payload, n);
      if (!problem.empty()) return Reject("header: " + problem);
      Log(true, "header: " + m_result.fileName + ", " + std::to_string(m_result.announcedSize) +
                    " bytes -> ACK C");
      m_stage = Stage::Data;
      m_expectedBlock = 1;
      // A real loader answers the header with both at once.
      Send({kAck, kCrcRequest});
      return;
    }
    case Stage::Data: {
      if (number != m_expectedBlock) {
        return Reject(name + ": expected block " + std::to_string(m_expectedBlock));
      }
      size_t imageBytes = 0;
      const std::string problem = CheckData(payload, n, &imageBytes);
      if (!problem.empty()) return Reject(name + ": " + problem);
      m_result.image.insert(m_result.image.end(), payload, payload + imageBytes);
      ++m_result.dataBlocks;
      ++m_expectedBlock;
      if (m_config.unplugAfterBlocks != 0 && m_result.dataBlocks == m_config.unplugAfterBlocks) {
        Log(false, name + " arrived; pulling the cable");
        m_wantsUnplug = true;
        return Finish("unplugged after " + std::to_string(m_result.dataBlocks) + " blocks");
      }
      Log(true, name + ": " + std::to_string(imageBytes) + " image bytes, " +
                    std::to_string(m_result.image.size()) + "/" +
                    std::to_string(m_result.announcedSize) + " -> ACK");
      Send({kAck});
      return;
    }
    case Stage::EndOfBatch: {
      if (start != kSoh || number != 0) {
        return Reject(name + ": expected the end-of-batch block, SOH block 0");
      }
      if (payload[0] != 0) return Reject("a second file in one batch is not supported");
      if (!std::all_of(payload, payload + n, [](uint8_t b) { return b == 0; })) {
        return Reject("end-of-batch block is not all zero");
      }
      Log(true, "end of batch -> ACK");
      Send({kAck});
      return Finish(m_lateFailure);
    }
  }
}

std::string Receiver::CheckHeader(const uint8_t* payload, size_t n) {
  const uint8_t* nameEnd = std::find(payload, payload + n, 0);
  if (nameEnd == payload + n) return "the file name has no NUL";
  const uint8_t* digits = nameEnd + 1;
  const uint8_t* digitsEnd = digits;
  uint64_t size = 0;
  while (digitsEnd < payload + n && *digitsEnd >= '0' && *digitsEnd <= '9') {
    size = size * 10 + (*digitsEnd - '0');
    if (size > UINT32_MAX) return "the size does not fit 32 bits";
    ++digitsEnd;
  }
  if (digitsEnd == digits) return "no size digits after the name";
  // YMODEM allows more fields after a blank; this loader's sender ends the size with NUL.
  if (digitsEnd < payload + n && *digitsEnd != 0 && *digitsEnd != ' ') {
    return "the size digits end in " + Hex(*digitsEnd);
  }
  if (size == 0) return "the size is 0";
  m_result.fileName.assign(reinterpret_cast<const char*>(payload), nameEnd - payload);
  m_result.announcedSize = static_cast<uint32_t>(size);
  m_result.image.clear();
  m_result.image.reserve(std::min<uint64_t>(size, 1u << 24));
  return {};
}

std::string Receiver::CheckData(const uint8_t* payload, size_t n, size_t* imageBytes) const {
  const size_t have = m_result.image.size();
  const size_t left = m_result.announcedSize - have;
  if (left == 0) return "the whole image has already arrived";
  *imageBytes = std::min(left, n);
  for (size_t i = *imageBytes; i < n; ++i) {
    if (payload[i] != kPad) {
      return "padding byte " + std::to_string(i) + " is " + Hex(payload[i]) + ", not 0x1A";
    }
  }
  return {};
}

void Receiver::OnEot() {
  ++m_result.eots;
  if (m_config.nakFirstEot && m_result.eots == 1) {
    Log(true, "EOT -> NAK (fault: nak-first-eot)");
    Send({kNak});
    return;
  }
  if (m_result.image.size() < m_result.announcedSize) {
    m_lateFailure = "EOT after " + std::to_string(m_result.image.size()) + " of " +
                    std::to_string(m_result.announcedSize) + " bytes";
    Log(false, m_lateFailure);
  }
  std::vector<uint8_t> reply{kAck};
  if (m_config.strayAck) reply.push_back(kAck);
  reply.push_back(m_config.faInsteadOfFinalC ? kEndOfBatchAlt : kCrcRequest);
  Log(true, std::string("EOT -> ACK") + (m_config.strayAck ? " ACK" : "") +
                (m_config.faInsteadOfFinalC ? " 0xFA" : " C"));
  m_stage = Stage::EndOfBatch;
  Send(std::move(reply));
}

void Receiver::Reject(const std::string& why) {
  ++m_result.rejected;
  m_lastProblem = why;
  Log(false, "rejected " + why + " -> NAK");
  Send({kNak});
}

void Receiver::Tick(Clock::time_point now) {
  if (m_finished || now < Deadline()) return;
  m_lastActivity = now;
  if (!m_frame.empty()) {
    const size_t got = m_frame.size();
    m_frame.clear();
    m_cancels = 0;
    return Reject("block cut short: " + std::to_string(got) + " of " +
                  std::to_string(m_frameLength) + " bytes, then silence");
  }
  if (++m_idleTimeouts > m_config.maxIdleTimeouts) {
    std::string why = m_stage == Stage::Header ? "no header block came" : "the sender went silent";
    if (!m_lastProblem.empty()) why += " (last problem: " + m_lastProblem + ")";
    return Finish(why);
  }
  if (m_stage == Stage::Data) {
    Log(true, "nothing for a while -> NAK");
    Send({kNak});
  } else {
    Log(true, "nothing for a while -> C");
    Send({kCrcRequest});
  }
}

Receiver::Clock::time_point Receiver::Deadline() const {
  if (m_finished) return Clock::time_point::max();
  return m_lastActivity + (m_frame.empty() ? m_config.idleTimeout : m_config.byteTimeout);
}

void Receiver::Abort(const std::string& reason) {
  if (!m_finished) Finish(reason);
}

void Receiver::Finish(const std::string& failure) {
  m_finished = true;
  m_result.failure = failure;
  m_result.ok = failure.empty();
}

}  // namespace chargersim
