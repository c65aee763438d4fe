// The serial channel against the far end of a real line, the same tests for both platforms'
// channels: on Linux against a pty in this process, under Wine against a pty that a Linux-side
// host keeps for the Windows channel (scripts/test-windows.sh). A behaviour one channel lacks
// fails here.

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>

#include "support/channel_sink.h"
#include "support/port_peer.h"

namespace serialtest {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// A 100-byte menu reply as a charger sends it: in four pieces, 12 ms apart.
void SendInPieces(PortPeer& peer, const Bytes& reply) {
  for (size_t i = 0; i < reply.size(); i += 25) {
    peer.Send(Bytes(reply.begin() + i, reply.begin() + i + 25));
    std::this_thread::sleep_for(12ms);
  }
}

// A line with the channel under test open at the port end.
class OpenLine : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(ch.OpenPort(peer.PortName().c_str(), &sink), 1); }
  PortPeer peer;
  Sink sink;
  Channel ch;  // closed first: it hands chunks to the sink
};
using SerialChannelReceive = OpenLine;
using SerialChannelWrite = OpenLine;

TEST(SerialChannelOpen, AbsentHeldAndNamelessPortsAreRefusedSilently) {
  PortPeer peer;
  Sink sink;
  Channel holder, other;
  EXPECT_EQ(other.OpenPort(AbsentPortName().c_str(), &sink), 0);
  EXPECT_EQ(other.LastOpenError(), ENOENT);
  EXPECT_EQ(other.OpenPort(nullptr, &sink), 0);
  EXPECT_EQ(other.LastOpenError(), EINVAL);

  EXPECT_FALSE(peer.Held());
  ASSERT_EQ(holder.OpenPort(peer.PortName().c_str(), &sink), 1);
  EXPECT_EQ(holder.LastOpenError(), 0) << "an earlier refusal is forgotten";
  EXPECT_TRUE(peer.Held());
  EXPECT_EQ(other.OpenPort(peer.PortName().c_str(), &sink), 0);
  EXPECT_EQ(other.LastOpenError(), EBUSY);
  EXPECT_EQ(other.LastOpenStep(), CSerial::OpenStep::Open);
  EXPECT_FALSE(other.IsOpen());
  EXPECT_TRUE(peer.Held()) << "the refused opener left the holder's hold alone";
  EXPECT_EQ(holder.lastMessage + other.lastMessage, "");
  EXPECT_EQ(holder.ClosePort(), 1);
  EXPECT_FALSE(peer.Held());
  EXPECT_EQ(other.OpenPort(peer.PortName().c_str(), &sink), 1);
}

// A file given as a port is refused before anything is written to it.
TEST(SerialChannelOpen, WhatIsNotASerialPortIsRefusedUnopenedAndUnchanged) {
  const std::filesystem::path file =
      std::filesystem::temp_directory_path() / "serial-channel-victim.bin";
  std::ofstream(file, std::ios::binary) << "precious";
  Sink sink;
  Channel ch;
  EXPECT_EQ(ch.OpenPort(file.string().c_str(), &sink), 0);
  EXPECT_EQ(ch.LastOpenError(), ENOTTY);
  EXPECT_FALSE(ch.IsOpen());
  std::ifstream in(file, std::ios::binary);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "precious");
  in.close();
  std::filesystem::remove(file);
}

TEST(SerialChannelOpen, ClosedChannelRefusesWritesAndCloses) {
  PortPeer peer;
  Sink sink;
  Channel ch;
  const uint8_t probe = '0';
  EXPECT_EQ(ch.WritePort(&probe, 1), 0);
  EXPECT_EQ(ch.ClosePort(), 0);
  ASSERT_EQ(ch.OpenPort(peer.PortName().c_str(), &sink), 1);
  EXPECT_TRUE(ch.IsOpen());
  EXPECT_EQ(ch.OpenPort(peer.PortName().c_str(), &sink), 0) << "already open";
  EXPECT_EQ(ch.ClosePort(), 1);
  EXPECT_EQ(ch.ClosePort(), 0);
  EXPECT_FALSE(ch.IsOpen());
  EXPECT_EQ(ch.WritePort(&probe, 1), 0);
  EXPECT_TRUE(peer.Receive(1, 100ms).empty());
}

// 115200 8N1, raw, no flow control while in use; afterwards the port is as the channel found
// it, whether it was closed or let go on the way out (still open, for a process about to end).
TEST(SerialChannelRelease, ClosingAndTheEmergencyPathPutTheLineBackAsItWas) {
  PortPeer peer;
  // A pty keeps 8 bits and no parity whatever it is told, so the rest is what shows.
  LineSettings before;
  before.speed = 9600;
  before.stopBits = 2;
  before.flowControl = true;
  peer.SetLine(before);
  for (bool emergency : {false, true}) {
    SCOPED_TRACE(emergency ? "emergency" : "close");
    Sink sink;
    Channel ch;
    ASSERT_EQ(ch.OpenPort(peer.PortName().c_str(), &sink), 1);
    const LineSettings open = peer.Line();
    EXPECT_EQ(open.speed, 115200u);
    EXPECT_EQ(open.dataBits, 8);
    EXPECT_EQ(open.parity, 'N');
    EXPECT_EQ(open.stopBits, 1);
    EXPECT_TRUE(open.raw);
    EXPECT_FALSE(open.flowControl);
    EXPECT_TRUE(peer.Held());
    if (emergency) {
      const Bytes lastWords(5, 0x18);
      ch.EmergencyRelease(lastWords.data(), 5);
      EXPECT_EQ(peer.Receive(5), lastWords);
      EXPECT_TRUE(ch.IsOpen());
    } else {
      EXPECT_EQ(ch.ClosePort(), 1);
    }
    EXPECT_FALSE(peer.Held());
    const LineSettings after = peer.Line();
    EXPECT_EQ(after.speed, before.speed);
    EXPECT_EQ(after.stopBits, before.stopBits);
    EXPECT_EQ(after.flowControl, before.flowControl);
  }
}

std::atomic<int> g_lost{0};
std::atomic<int> g_lostError{0};
void CountLoss(void*, int error) {
  ++g_lost;
  g_lostError = error;
}

// Unplugged: reported once and at once, nothing shown, writes refused; closing is no loss.
TEST(SerialChannelRelease, PortLossIsReportedOnceAtOnceAndCloseIsNot) {
  PortPeer peer;
  Sink sink;
  Channel ch;
  ch.m_pfnPortLost = &CountLoss;
  g_lost = 0;
  ASSERT_EQ(ch.OpenPort(peer.PortName().c_str(), &sink), 1);
  EXPECT_EQ(ch.ClosePort(), 1);
  EXPECT_EQ(g_lost, 0);

  ASSERT_EQ(ch.OpenPort(peer.PortName().c_str(), &sink), 1);
  const auto unplugged = Clock::now();
  peer.Unplug();
  for (int i = 0; i < 100 && g_lost == 0; ++i) std::this_thread::sleep_for(10ms);
  EXPECT_LT(MsSince(unplugged), 500);
  std::this_thread::sleep_for(50ms);
  EXPECT_EQ(g_lost, 1);
  EXPECT_TRUE(g_lostError == EIO || g_lostError == ENODEV) << g_lostError;
  const uint8_t probe = '0';
  EXPECT_EQ(ch.WritePort(&probe, 1), 0);
  EXPECT_TRUE(ch.IsOpen()) << "open until ClosePort";
  const auto closing = Clock::now();
  EXPECT_EQ(ch.ClosePort(), 1);
  EXPECT_LT(MsSince(closing), 100);
  EXPECT_EQ(g_lost, 1);
  EXPECT_EQ(ch.lastMessage, "");
  EXPECT_EQ(sink.Count(), 0u);
}

TEST_F(SerialChannelReceive, BurstArrivesInOrderInChunksOfAtMost1024) {
  const Bytes sent = Pattern(3000);
  peer.Send(sent);
  ASSERT_TRUE(sink.WaitFor(sent.size()));
  std::this_thread::sleep_for(150ms);  // nothing repeated afterwards
  EXPECT_EQ(sink.All(), sent);
  EXPECT_GE(sink.Count(), 3u);
  std::lock_guard<std::mutex> lock(sink.m);
  for (auto& c : sink.chunks) EXPECT_LE(c.bytes.size(), 1024u);
  for (auto& c : sink.chunks) EXPECT_TRUE(c.zeroAfter);
}

TEST_F(SerialChannelReceive, MenuReplySentInPiecesArrivesAsOneChunk) {
  const Bytes reply = Pattern(100);
  SendInPieces(peer, reply);
  ASSERT_TRUE(sink.WaitFor(reply.size()));
  ASSERT_EQ(sink.Count(), 1u);
  EXPECT_EQ(sink.chunks[0].bytes, reply);
}

// Fast replies: a reply is handed on once the line is quiet, long before the read window
// ends; clearing the gap brings back whole chunks for the next menu reply.
TEST_F(SerialChannelReceive, ReplyGapHandsRepliesOnAtOnceAndCanBeTurnedOff) {
  ch.SetReplyGap(2ms);
  const auto sent = Clock::now();
  peer.Send({0x06, 'C'});
  ASSERT_TRUE(sink.WaitFor(2));
  EXPECT_LT(MsSince(sent), 60);  // the window would have held it 100 ms

  ch.SetReplyGap(0ms);
  std::this_thread::sleep_for(20ms);  // the next chunk starts under the cleared gap
  const Bytes reply = Pattern(100);
  SendInPieces(peer, reply);
  ASSERT_TRUE(sink.WaitFor(2 + reply.size()));
  ASSERT_EQ(sink.Count(), 2u);
  EXPECT_EQ(sink.chunks[1].bytes, reply);
}

// What --fast is for: a charger that answers each block at once gets the next one at once,
// instead of after the read window.
TEST_F(SerialChannelReceive, ReplyGapShortensEachBlockRoundTrip) {
  const Bytes block = Pattern(133);
  size_t answered = 0;
  for (int gapMs : {0, 2}) {
    SCOPED_TRACE(gapMs);
    ch.SetReplyGap(std::chrono::milliseconds(gapMs));
    constexpr int kRounds = 5;
    const auto start = Clock::now();
    for (int i = 0; i < kRounds; ++i) {
      ASSERT_EQ(ch.WritePort(block.data(), uint32_t(block.size())), 1);
      ASSERT_EQ(peer.Receive(block.size()), block);
      peer.Send({0x06});
      ASSERT_TRUE(sink.WaitFor(++answered));
    }
    const double perRound = MsSince(start) / kRounds;
    if (gapMs == 0)
      EXPECT_GE(perRound, 95);
    else
      EXPECT_LT(perRound, 40);
  }
}

TEST(SerialChannelOpen, ReopenDeliversOnlyFreshBytesToTheNewOwner) {
  PortPeer peer;
  Sink first, second;
  Channel ch;
  ASSERT_EQ(ch.OpenPort(peer.PortName().c_str(), &first), 1);
  peer.Send(Pattern(10));
  ASSERT_TRUE(first.WaitFor(10));
  ASSERT_EQ(ch.ClosePort(), 1);
  peer.Send(Pattern(50, 1));  // arrives while closed: stale by the next open
  ASSERT_EQ(ch.OpenPort(peer.PortName().c_str(), &second), 1);
  peer.Send(Pattern(20, 2));
  ASSERT_TRUE(second.WaitFor(20));
  std::this_thread::sleep_for(150ms);
  EXPECT_EQ(second.All(), Pattern(20, 2));
  EXPECT_EQ(first.All(), Pattern(10));
}

TEST_F(SerialChannelWrite, BytesArriveExactly) {
  const Bytes sent = Pattern(1 + 133 + 1029);
  ASSERT_EQ(ch.WritePort(sent.data(), 1), 1);
  ASSERT_EQ(ch.WritePort(sent.data() + 1, 133), 1);
  ASSERT_EQ(ch.WritePort(sent.data() + 134, 1029), 1);
  ASSERT_EQ(ch.WritePort(sent.data(), 0), 1) << "nothing to write is done at once";
  EXPECT_EQ(peer.Receive(sent.size()), sent);
}

// Nobody reads the far end, so the line fills up: a write gives up after its time-out, and a
// writer waiting for room does not hold up ClosePort.
TEST_F(SerialChannelWrite, StallsReturnZeroInTimeAndDoNotHoldUpClose) {
  const Bytes block = Pattern(4096);
  double lastMs = 0;
  for (int i = 0; i < 100; ++i) {
    const auto t = Clock::now();
    const int ok = ch.WritePort(block.data(), uint32_t(block.size()));
    lastMs = MsSince(t);
    if (!ok) break;
  }
  EXPECT_GE(lastMs, 95);
  EXPECT_LT(lastMs, 300);

  std::thread writer([&] { EXPECT_EQ(ch.WritePort(block.data(), uint32_t(block.size())), 0); });
  std::this_thread::sleep_for(30ms);
  const auto t = Clock::now();
  EXPECT_EQ(ch.ClosePort(), 1);
  EXPECT_LT(MsSince(t), 50);
  writer.join();
}

TEST_F(SerialChannelWrite, ConcurrentWritersKeepMessagesWholeAndSurviveClose) {
  ExpectConcurrentMessagesWhole(ch, peer);

  constexpr int kThreads = 4, kLen = 16;
  std::atomic<bool> stop{false};
  std::vector<std::thread> writers;
  for (int w = 0; w < kThreads; ++w)
    writers.emplace_back([&] {
      const Bytes msg(kLen, 'x');
      while (!stop) ch.WritePort(msg.data(), kLen);
    });
  std::this_thread::sleep_for(20ms);
  EXPECT_EQ(ch.ClosePort(), 1);
  stop = true;
  for (auto& t : writers) t.join();
}

}  // namespace
}  // namespace serialtest
