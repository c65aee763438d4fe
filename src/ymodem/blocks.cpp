#include "ymodem/blocks.h"

#include <algorithm>
#include <charconv>
#include <cstring>

#include "ymodem/crc16.h"
#include "ymodem/header_name.h"
#include "ymodem/sender.h"

namespace {

constexpr uint32_t kShortBlock = 128;
constexpr uint32_t kLongBlock = 1024;
// Gives the charger time to program what it has just received.
constexpr std::chrono::milliseconds kProgramPause{80};

void WriteByte(uint8_t byte) {
  SenderWrite(&byte, 1);
}

void WritePayloadByte(uint8_t byte, uint16_t& crc) {
  WriteByte(byte);
  crc = Crc16Update(byte, crc);
}

void WriteBlockStart(uint8_t start, uint8_t number) {
  WriteByte(start);
  WriteByte(number);
  WriteByte(static_cast<uint8_t>(~number));
}

void WriteCrc(uint16_t crc) {
  WriteByte(static_cast<uint8_t>(crc >> 8));
  WriteByte(static_cast<uint8_t>(crc & 0xFF));
}

// The image bytes of a block go out in one write, then the charger gets its programming time.
void FlushImage(uint32_t offset, uint32_t count) {
  SenderWrite(ImageBuffer + offset, count);
  SenderPause(kProgramPause);
}

}  // namespace

void SendHeaderBlock(HeaderKind kind) {
  WriteBlockStart(kSoh, 0);
  uint16_t crc = 0;
  uint32_t count = 0;
  if (kind == HeaderKind::EndOfBatch) {
    g_sender.blockSize = kShortBlock;
  } else {
    char digits[16];
    const auto digitsEnd = std::to_chars(digits, digits + sizeof digits, g_sender.imageLength).ptr;
    const size_t digitCount = static_cast<size_t>(digitsEnd - digits);
    // Leave room for the name's NUL, the size and a NUL after it, so a long name can neither
    // overflow the block nor leave the size unterminated.
    const std::string name =
        FitHeaderName(std::string_view(HeaderName, strnlen(HeaderName, kHeaderNameSize)),
                      kShortBlock - 2 - digitCount);
    for (char c : name) {
      WritePayloadByte(static_cast<uint8_t>(c), crc);
      ++count;
    }
    WritePayloadByte(0, crc);
    ++count;
    for (size_t i = 0; i < digitCount; ++i, ++count) {
      WritePayloadByte(static_cast<uint8_t>(digits[i]), crc);
    }
  }
  for (; count < kShortBlock; ++count) WritePayloadByte(0, crc);
  WriteCrc(crc);
}

void SendDataBlock() {
  const uint32_t offset = g_sender.sentOffset;
  const uint32_t length = std::min<uint32_t>(g_sender.imageLength, kImageBufferSize);
  // A long block whenever at least a short block's worth remains, even if it then needs padding.
  const uint32_t remaining = length - offset;
  const uint8_t start = remaining < kShortBlock ? kSoh : kStx;
  g_sender.blockSize = start == kSoh ? kShortBlock : kLongBlock;
  WriteBlockStart(start, g_sender.blockNumber);

  // The percentage of the block's start, in single precision as the progress bar always had it.
  const int32_t percent =
      length == 0
          ? 0
          : static_cast<int32_t>(static_cast<float>(offset) / static_cast<float>(length) * 100.0f);
  const uint32_t size = g_sender.blockSize;
  uint16_t crc = 0;
  uint32_t staged = 0;  // image bytes of this block not yet written; they start at offset
  for (uint32_t i = 0; i < size; ++i) {
    if (offset + i < length) {
      const uint8_t byte = ImageBuffer[offset + i];
      if (++staged == kLongBlock) {
        FlushImage(offset, staged);
        staged = 0;
      }
      crc = Crc16Update(byte, crc);
      g_sender.lastPercent = percent;
      if (g_sender.progressCallback) g_sender.progressCallback(g_sender.owner, percent);
    } else {
      if (staged > 0) {
        FlushImage(offset, staged);
        staged = 0;
      }
      WritePayloadByte(kPad, crc);
    }
  }
  WriteCrc(crc);
}
