#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "ymodem/blocks.h"
#include "ymodem/crc16.h"
#include "ymodem/sender.h"

// Recording SenderIo, shared with test_sender.cpp. Writes are logged as "XX" (one byte, hex)
// or "write N"; pauses as "pause N" and never sleep.
namespace {

struct Wire {
  std::mutex lock;
  std::vector<std::string> events;
  std::vector<uint8_t> bytes;
  std::vector<int32_t> progress;
  std::function<void()> beforeWrite;
} g_wire;

}  // namespace

std::string WriteEvent(const uint8_t* data, size_t length) {
  if (length != 1) return "write " + std::to_string(length);
  char hex[3];
  std::snprintf(hex, sizeof hex, "%02X", data[0]);
  return hex;
}

void RecordWire(std::function<void()> beforeWrite = {}) {
  std::lock_guard lock(g_wire.lock);
  g_wire.events.clear();
  g_wire.bytes.clear();
  g_wire.progress.clear();
  g_wire.beforeWrite = std::move(beforeWrite);
  SetSenderIo({[](const uint8_t* data, uint32_t length) {
                 if (g_wire.beforeWrite) g_wire.beforeWrite();
                 std::lock_guard lock(g_wire.lock);
                 g_wire.events.push_back(WriteEvent(data, length));
                 g_wire.bytes.insert(g_wire.bytes.end(), data, data + length);
                 return true;
               },
               [](std::chrono::milliseconds duration) {
                 std::lock_guard lock(g_wire.lock);
                 g_wire.events.push_back("pause " + std::to_string(duration.count()));
               }});
  g_sender.progressCallback = [](void*, int32_t percent) {
    std::lock_guard lock(g_wire.lock);
    g_wire.progress.push_back(percent);
  };
}

std::vector<std::string> WireEvents() {
  std::lock_guard lock(g_wire.lock);
  return g_wire.events;
}

std::vector<uint8_t> WireBytes() {
  std::lock_guard lock(g_wire.lock);
  return g_wire.bytes;
}

std::vector<int32_t> WireProgress() {
  std::lock_guard lock(g_wire.lock);
  return g_wire.progress;
}

std::vector<uint8_t> TestImage(uint32_t length) {
  std::vector<uint8_t> image(length);
  for (uint32_t i = 0; i < length; ++i) image[i] = static_cast<uint8_t>(i * 131 + (i >> 8));
  return image;
}

namespace {

// `prefix` then `count` times `fill`. Not written as "." + std::string(...): GCC 12 at -O3
// raises a false -Wrestrict on that.
std::string Prefixed(const std::string& prefix, size_t count, char fill) {
  std::string text = prefix;
  text.append(count, fill);
  return text;
}

std::vector<uint8_t> Frame(uint8_t start, uint8_t number, const std::vector<uint8_t>& payload) {
  // Sized first: GCC 12 at -O3 misreads an insert after a three-byte list (false -Warray-bounds).
  std::vector<uint8_t> block(3 + payload.size());
  block[0] = start;
  block[1] = number;
  block[2] = static_cast<uint8_t>(~number);
  std::copy(payload.begin(), payload.end(), block.begin() + 3);
  const uint16_t crc = Crc16(payload.data(), payload.size());
  block.push_back(static_cast<uint8_t>(crc >> 8));
  block.push_back(static_cast<uint8_t>(crc));
  return block;
}

class Blocks : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetSender(nullptr);
    RecordWire();
  }
  void Load(const char* name, uint32_t length) {
    image = TestImage(length);
    ASSERT_TRUE(PrepareTransfer(name, image.data(), length));
  }
  std::vector<uint8_t> image;
};

TEST_F(Blocks, HeaderAndEndOfBatchAreByteExactOneBytePerWrite) {
  Load("fw.bin", 3000);
  SendHeaderBlock(HeaderKind::File);
  std::vector<uint8_t> payload = {'f', 'w', '.', 'b', 'i', 'n', 0, '3', '0', '0', '0'};
  payload.resize(128, 0);
  EXPECT_EQ(WireBytes(), Frame(kSoh, 0, payload));
  EXPECT_EQ(WireEvents().size(), 133u);

  RecordWire();
  SendHeaderBlock(HeaderKind::EndOfBatch);
  std::vector<uint8_t> end = {0x01, 0x00, 0xFF};
  end.resize(131, 0x00);
  end.insert(end.end(), {0xFB, 0xFE});
  EXPECT_EQ(WireBytes(), end);
  EXPECT_EQ(WireEvents().size(), 133u);
  EXPECT_EQ(g_sender.blockSize, 128u);
}

TEST_F(Blocks, LongNamesAreCutSoTheHeaderStillFits) {
  const std::string name(250, 'n');
  Load(name.c_str(), 40960);
  EXPECT_EQ(std::strlen(HeaderName), 199u);
  SendHeaderBlock(HeaderKind::File);
  const auto bytes = WireBytes();
  ASSERT_EQ(bytes.size(), 133u);
  const std::vector<uint8_t> payload(bytes.begin() + 3, bytes.begin() + 131);
  EXPECT_EQ(bytes, Frame(kSoh, 0, payload));
  const std::string text(payload.begin(), payload.end());
  const size_t nameEnd = text.find('\0');
  EXPECT_EQ(text.substr(0, nameEnd), name.substr(0, nameEnd));
  EXPECT_EQ(text.substr(nameEnd), std::string({'\0', '4', '0', '9', '6', '0', '\0'}));
}

// A cut name that lost ".bin" would be refused or mis-stored by the charger.
TEST_F(Blocks, CutNamesKeepTheirExtension) {
  const struct {
    std::string name, sent;
  } cases[] = {
      {std::string(250, 'n') + ".bin", std::string(117, 'n') + ".bin"},
      {std::string(118, 'a') + ".b.bin", std::string(117, 'a') + ".bin"},
      // No stem to keep: a hidden file's leading dot, an extension longer than the room.
      {Prefixed(".", 249, 'h'), Prefixed(".", 120, 'h')},
      {Prefixed("a.", 248, 'e'), Prefixed("a.", 119, 'e')},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name.substr(0, 8));
    RecordWire();
    Load(c.name.c_str(), 40960);
    SendHeaderBlock(HeaderKind::File);
    const auto bytes = WireBytes();
    ASSERT_EQ(bytes.size(), 133u);
    const std::string text(bytes.begin() + 3, bytes.begin() + 131);
    EXPECT_EQ(text.substr(0, text.find('\0')), c.sent);
    EXPECT_EQ(text.substr(c.sent.size(), 7), std::string({'\0', '4', '0', '9', '6', '0', '\0'}));
  }
  // The sender's own copy of the name is cut the same way.
  Load((std::string(250, 'n') + ".bin").c_str(), 1);
  EXPECT_EQ(std::string(HeaderName), std::string(195, 'n') + ".bin");
}

// 'X': a 1024-byte STX block, 'S': a 128-byte SOH block. Numbering from 255 shows the wrap to
// 0 with complement FF.
struct Layout {
  uint32_t length;
  std::string blocks;
  uint8_t firstNumber = 1;
};

class DataBlocks : public Blocks, public ::testing::WithParamInterface<Layout> {};

TEST_P(DataBlocks, ImageGoesOutInOneWritePerBlockThenPadding) {
  const Layout layout = GetParam();
  Load("fw.bin", layout.length);
  std::vector<std::string> events;
  std::vector<uint8_t> bytes;
  uint32_t offset = 0;
  for (size_t n = 0; n < layout.blocks.size(); ++n) {
    const bool longBlock = layout.blocks[n] == 'X';
    const uint32_t size = longBlock ? 1024 : 128;
    const uint32_t data = std::min(size, layout.length - offset);
    std::vector<uint8_t> payload(image.begin() + offset, image.begin() + offset + data);
    payload.resize(size, kPad);
    const uint8_t number = static_cast<uint8_t>(layout.firstNumber + n);
    const auto block = Frame(longBlock ? kStx : kSoh, number, payload);
    bytes.insert(bytes.end(), block.begin(), block.end());
    for (int i = 0; i < 3; ++i) events.push_back(WriteEvent(&block[i], 1));
    events.push_back(WriteEvent(&block[3], data));
    events.push_back("pause 80");
    events.insert(events.end(), size - data, "1A");
    events.push_back(WriteEvent(&block[block.size() - 2], 1));
    events.push_back(WriteEvent(&block[block.size() - 1], 1));

    g_sender.sentOffset = offset;
    g_sender.blockNumber = number;
    SendDataBlock();
    EXPECT_EQ(g_sender.blockSize, size);
    offset += size;
  }
  EXPECT_EQ(WireEvents(), events);
  EXPECT_EQ(WireBytes(), bytes);
}

INSTANTIATE_TEST_SUITE_P(Images, DataBlocks,
                         ::testing::Values(Layout{1, "S"}, Layout{2048, "XX"}, Layout{2100, "XXS"},
                                           Layout{3000, "XXX", 255},
                                           // Exactly 128 bytes left: STX with 896 pad, not SOH.
                                           Layout{128, "X"}, Layout{1152, "XX"}, Layout{1151, "XS"},
                                           Layout{40960, std::string(40, 'X')}));

TEST_F(Blocks, ProgressIsTheBlockStartPercentForEveryDataByte) {
  Load("fw.bin", 3000);
  for (uint32_t offset : {0u, 1024u, 2048u}) {
    g_sender.sentOffset = offset;
    SendDataBlock();
  }
  std::vector<std::pair<int32_t, size_t>> runs;
  for (int32_t percent : WireProgress()) {
    if (runs.empty() || runs.back().first != percent) runs.emplace_back(percent, 0);
    ++runs.back().second;
  }
  EXPECT_EQ(runs, (std::vector<std::pair<int32_t, size_t>>{{0, 1024}, {34, 1024}, {68, 952}}));
  EXPECT_EQ(g_sender.lastPercent, 68);
}

}  // namespace
