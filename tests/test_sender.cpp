#include <gtest/gtest.h>
#include <time.h>

#include <algorithm>
#include <functional>
#include <future>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "ymodem/sender.h"

// Recording SenderIo from test_blocks.cpp.
void RecordWire(std::function<void()> beforeWrite = {});
std::vector<uint8_t> WireBytes();
std::vector<int32_t> WireProgress();
std::vector<uint8_t> TestImage(uint32_t length);

namespace {

using namespace std::chrono_literals;

class Sender : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetSender(nullptr);
    RecordWire();
  }
  void TearDown() override { ResetSender(nullptr); }
  void Load(uint32_t length) {
    image = TestImage(length);
    g_sender.transferActive = 1;
    ASSERT_TRUE(PrepareTransfer("fw.bin", image.data(), length));
  }
  // What the machine writes in answer to one byte.
  std::vector<uint8_t> Feed(uint8_t byte) {
    const size_t before = WireBytes().size();
    FeedByte(byte);
    const auto after = WireBytes();
    return {after.begin() + before, after.end()};
  }
  std::vector<uint8_t> image;
};

bool WaitUntil(const std::function<bool()>& done) {
  const auto deadline = std::chrono::steady_clock::now() + 5s;
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(1ms);
  }
  return true;
}

std::chrono::nanoseconds ProcessCpuTime() {
  timespec t{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return std::chrono::seconds(t.tv_sec) + std::chrono::nanoseconds(t.tv_nsec);
}

struct Script {
  uint32_t length;
  size_t blocks;
  uint8_t finalRequest;
};

class ScriptedCharger : public Sender, public ::testing::WithParamInterface<Script> {};

TEST_P(ScriptedCharger, ExchangeFollowsTheStateTable) {
  const Script script = GetParam();
  Load(script.length);
  const size_t blockBytes = script.length < 128 ? 133 : 1029;
  EXPECT_TRUE(Feed(kAck).empty());
  EXPECT_EQ(Feed('C').size(), 133u);  // header
  EXPECT_TRUE(Feed('C').empty());
  EXPECT_TRUE(Feed(kNak).empty());  // no resend of the header
  EXPECT_TRUE(Feed(kAck).empty());
  auto written = Feed('C');
  size_t blocks = 0;
  while (written.size() == blockBytes) {
    ++blocks;
    EXPECT_EQ(written[1], static_cast<uint8_t>(blocks));
    EXPECT_TRUE(Feed('C').empty());   // block outstanding
    EXPECT_TRUE(Feed(kNak).empty());  // no resend of a data block
    written = Feed(kAck);
  }
  EXPECT_EQ(blocks, script.blocks);
  EXPECT_EQ(written, std::vector<uint8_t>{kEot});
  EXPECT_EQ(Feed(kNak), std::vector<uint8_t>{kEot});
  EXPECT_EQ(Feed(kNak), std::vector<uint8_t>{kEot});
  EXPECT_TRUE(Feed(kAck).empty());
  EXPECT_TRUE(Feed(kAck).empty());  // stray ACK while waiting for the end request
  EXPECT_EQ(g_sender.transferActive, 1);

  written = Feed(script.finalRequest);
  ASSERT_EQ(written.size(), 133u);
  EXPECT_EQ(std::vector<uint8_t>(written.begin(), written.begin() + 3),
            (std::vector<uint8_t>{kSoh, 0x00, 0xFF}));
  EXPECT_EQ(std::vector<uint8_t>(written.end() - 2, written.end()),
            (std::vector<uint8_t>{0xFB, 0xFE}));
  EXPECT_EQ(g_sender.transferActive, 0);
  const auto progress = WireProgress();
  EXPECT_EQ(std::count(progress.begin(), progress.end(), 100), 1);
  EXPECT_EQ(progress.back(), 100);
}

INSTANTIATE_TEST_SUITE_P(Images, ScriptedCharger,
                         ::testing::Values(Script{1, 1, 'C'}, Script{3000, 3, 'C'},
                                           Script{3000, 3, kEndOfBatchAlt},
                                           Script{40960, 40, 'C'}));

TEST_F(Sender, PrepareTransferRefusesImagesLargerThanTheBuffer) {
  Load(3000);
  const std::vector<uint8_t> big(kImageBufferSize + 1, 0xEE);
  EXPECT_FALSE(PrepareTransfer("big.bin", big.data(), big.size()));
  EXPECT_EQ(g_sender.imageLength, 3000u);
  EXPECT_STREQ(HeaderName, "fw.bin");
  EXPECT_EQ(ImageBuffer[0], image[0]);
  EXPECT_TRUE(PrepareTransfer("big.bin", big.data(), kImageBufferSize));
}

// A charger conversation padded with NAKs, so that a lost, repeated or reordered byte changes
// what is written (every NAK after EOT is answered with another EOT).
std::vector<uint8_t> LongConversation() {
  std::vector<uint8_t> stream = {'C', kAck, 'C'};
  for (int block = 0; block < 3; ++block) {
    stream.insert(stream.end(), 30, kNak);
    stream.push_back(kAck);
  }
  stream.insert(stream.end(), 4900, kNak);
  stream.insert(stream.end(), {kAck, kAck, 'C'});
  return stream;
}

TEST_F(Sender, RingDeliversABacklogOnceAndInOrder) {
  const auto stream = LongConversation();
  Load(3000);
  for (uint8_t byte : stream) FeedByte(byte);
  const auto expected = WireBytes();

  ResetSender(nullptr);
  Load(3000);
  bool slowed = false;  // pump thread only
  RecordWire([&slowed] {
    if (!std::exchange(slowed, true)) std::this_thread::sleep_for(50ms);
  });
  const size_t early = stream.size() / 2;
  for (size_t i = 0; i < early; ++i) PostRxByte(stream[i]);  // no pump yet: must not block
  ASSERT_TRUE(StartPump());
  std::thread receiver([&] {
    for (size_t i = early; i < stream.size(); ++i) PostRxByte(stream[i]);
  });
  receiver.join();
  ASSERT_TRUE(WaitUntil([] { return g_sender.transferActive == 0; }));
  StopPump();
  EXPECT_EQ(WireBytes(), expected);
}

TEST_F(Sender, StopPumpFinishesTheCurrentByteAndLeavesTheRestQueued) {
  Load(3000);
  std::promise<void> entered, release;
  auto enteredFuture = entered.get_future();
  auto releaseFuture = release.get_future();
  bool first = true;  // pump thread only
  RecordWire([&] {
    if (!std::exchange(first, false)) return;
    entered.set_value();
    releaseFuture.wait();
  });
  ASSERT_TRUE(StartPump());
  for (uint8_t byte : {kCrcRequest, kAck, kCrcRequest}) PostRxByte(byte);
  enteredFuture.wait();  // the pump is writing the header block

  auto stopped = std::async(std::launch::async, StopPump);
  EXPECT_EQ(stopped.wait_for(50ms), std::future_status::timeout);
  release.set_value();
  ASSERT_EQ(stopped.wait_for(2s), std::future_status::ready);
  EXPECT_EQ(g_sender.state, WaitHeaderAck);
  StopPump();  // none running

  ASSERT_TRUE(StartPump());  // the queued ACK and 'C' are fed now
  EXPECT_TRUE(WaitUntil([] { return g_sender.state == SendingData; }));
  StopPump();
}

TEST_F(Sender, ResetSenderEmptiesTheRingAndAStoppedPumpStepFeedsNothing) {
  PostRxByte(kCrcRequest);  // left over from an earlier session
  ResetSender(nullptr);
  Load(3000);
  PostRxByte(kAck);
  g_sender.pumpRun = 1;  // pump steps driven from this thread
  EXPECT_TRUE(PumpStep());
  EXPECT_TRUE(WireBytes().empty());
  PostRxByte(kCrcRequest);
  g_sender.pumpRun = 0;
  EXPECT_FALSE(PumpStep());  // neither waits nor feeds once told to stop
  EXPECT_TRUE(WireBytes().empty());
}

TEST_F(Sender, IdlePumpSleepsYetWakesForAByte) {
  Load(3000);
  ASSERT_TRUE(StartPump());
  const auto before = ProcessCpuTime();
  std::this_thread::sleep_for(300ms);
  EXPECT_LT(ProcessCpuTime() - before, 30ms);
  PostRxByte(kCrcRequest);
  EXPECT_TRUE(WaitUntil([] { return g_sender.state == WaitHeaderAck; }));
  ResetSender(nullptr);
  EXPECT_EQ(g_sender.pumpRun, 0);
}

}  // namespace
