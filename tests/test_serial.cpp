#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "serial/port_path.h"
#include "serial/posix_sys_io.h"
#include "serial/serial_port.h"
#include "support/channel_sink.h"
#include "support/port_peer.h"

// The termios channel's own tests: system call faults injected through posix_sys_io, the
// exclusive flag, terminals it must refuse and settings termios has and the Windows channel
// does not. What both channels must do is in test_serial_channel.cpp.

namespace serialtest {
namespace {

using namespace std::chrono_literals;
using serial_io::RealSysIo;
using serial_io::SysIo;

// The master plays the charger; the channel opens the slave path.
struct Pty : PortPeer {
  const std::string slave = PortName();
};

// Faults the channel's syscalls can be given.
std::atomic<int> g_calls{0};
std::atomic<bool> g_pollingForOutput{false};
ssize_t ChoppyWrite(int fd, const void* b, size_t n) {
  const int call = g_calls++ % 4;  // EINTR, 3 bytes, EAGAIN, 7 bytes
  if (call % 2 == 0) return errno = call ? EAGAIN : EINTR, -1;
  return write(fd, b, std::min<size_t>(n, call == 1 ? 3 : 7));
}
ssize_t ChoppyRead(int fd, void* b, size_t n) {
  if (g_calls++ % 2 == 0) return errno = EINTR, -1;
  return read(fd, b, std::min<size_t>(n, 100));
}
int CountingPoll(pollfd* f, nfds_t n, int ms) {
  if (f[0].events & POLLOUT) g_pollingForOutput = true;
  if (g_calls++ % 3 == 0) return errno = EINTR, -1;
  return poll(f, n, ms);
}
std::atomic<int> g_lost{0};
std::atomic<int> g_lostError{0};
void CountLoss(void*, int error) {
  ++g_lost;
  g_lostError = error;
}

// A channel opened on a fresh pty, what it reads collected.
struct OpenChannel {
  Pty pty;
  Sink sink;
  Channel ch;
  OpenChannel() { EXPECT_EQ(ch.OpenPort(pty.slave.c_str(), &sink), 1); }
};

struct Faults {
  SysIo io = RealSysIo();
  Faults() { g_calls = 0; }
  void Install() { serial_io::SetSysIoForTests(&io); }
  ~Faults() { serial_io::SetSysIoForTests(nullptr); }
};

TEST(SerialReceive, BurstArrivesInOrderInChunksOfAtMost1024ThroughInterruptsAndShortReads) {
  Faults f;
  f.io.read = ChoppyRead, f.io.poll = CountingPoll, f.Install();
  OpenChannel open;
  auto& [pty, sink, ch] = open;
  const Bytes sent = Pattern(3000);
  pty.Send(sent);
  ASSERT_TRUE(sink.WaitFor(sent.size()));
  std::this_thread::sleep_for(150ms);  // nothing repeated afterwards
  EXPECT_EQ(sink.All(), sent);
  EXPECT_GE(sink.chunks.size(), 3u);
  for (auto& c : sink.chunks) EXPECT_LE(c.bytes.size(), 1024u);
  for (auto& c : sink.chunks) EXPECT_TRUE(c.zeroAfter);
}

TEST(SerialOpen, ConfigurationFailures) {
  Pty pty;
  Sink sink;
  Channel ch;
  bool heldDuringMessage = false;
  ch.SetMessageHook([&](const std::string& t) {
    ch.lastMessage = t;
    const int fd = open(pty.slave.c_str(), O_RDWR | O_NOCTTY);
    heldDuringMessage = flock(fd, LOCK_EX | LOCK_NB) != 0;
    close(fd);
  });
  Faults f;
  f.io.tcsetattr = [](int, int, const termios*) { return errno = EINVAL, -1; };
  f.Install();
  EXPECT_EQ(ch.OpenPort(pty.slave.c_str(), &sink), 0);
  EXPECT_EQ(ch.lastMessage, "无法按当前参数配置端口，请检查参数!");
  EXPECT_TRUE(heldDuringMessage);  // shown before the port is let go
  EXPECT_FALSE(ch.IsOpen());

  f.io = RealSysIo();
  f.io.pipe2 = [](int*, int) { return errno = EMFILE, -1; };
  EXPECT_EQ(ch.OpenPort(pty.slave.c_str(), &sink), 0);
  EXPECT_EQ(ch.lastMessage, "创建接收线程失败!");
  EXPECT_FALSE(heldDuringMessage);  // let go before it is shown

  f.io = RealSysIo();
  f.io.tcgetattr = [](int, termios*) { return errno = ENOTTY, -1; };
  f.io.tcsetattr = [](int fd, int a, const termios* t) { return ++g_calls, tcsetattr(fd, a, t); };
  ch.lastMessage.clear();
  EXPECT_EQ(ch.OpenPort(pty.slave.c_str(), &sink), 1);  // used as it is configured
  EXPECT_EQ(g_calls, 0);
  EXPECT_EQ(ch.lastMessage, "");
}

TEST(SerialLifecycle, UnplugOrReadErrorEndsTheReaderQuietly) {
  for (bool unplug : {true, false}) {
    Faults f;
    f.io.poll = CountingPoll;
    if (!unplug) f.io.read = [](int, void*, size_t) -> ssize_t { return errno = EIO, -1; };
    f.Install();
    Pty pty;
    Sink sink;
    Channel ch;
    ch.m_pfnPortLost = &CountLoss;
    g_lost = 0;
    ASSERT_EQ(ch.OpenPort(pty.slave.c_str(), &sink), 1);
    if (unplug)
      pty.Unplug();
    else
      pty.Send(Pattern(5));
    std::this_thread::sleep_for(50ms);
    const int polls = g_calls;
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(g_calls, polls);  // ended, not spinning on the failure
    EXPECT_EQ(g_lost, 1);
    EXPECT_EQ(g_lostError, EIO);  // a hang-up has no reason of its own
    const uint8_t probe = '0';
    const auto t = std::chrono::steady_clock::now();
    EXPECT_EQ(ch.WritePort(&probe, 1), unplug ? 0 : 1);
    EXPECT_TRUE(ch.IsOpen());
    EXPECT_EQ(ch.ClosePort(), 1);
    EXPECT_LT(MsSince(t), 50);
    EXPECT_EQ(ch.lastMessage, "");
    EXPECT_TRUE(sink.chunks.empty());
  }
}

TEST(SerialWrite, BytesArriveExactlyEvenWithInterruptsAndShortWrites) {
  Faults f;
  f.io.write = ChoppyWrite, f.io.poll = CountingPoll, f.Install();
  OpenChannel open;
  auto& [pty, sink, ch] = open;
  const Bytes sent = Pattern(1 + 133 + 1029);
  ASSERT_EQ(ch.WritePort(sent.data(), 1), 1);
  ASSERT_EQ(ch.WritePort(sent.data() + 1, 133), 1);
  ASSERT_EQ(ch.WritePort(sent.data() + 134, 1029), 1);
  EXPECT_EQ(pty.Receive(sent.size()), sent);
}

TEST(SerialWrite, FailuresReturnZeroAndAWriterWaitingForRoomDoesNotHoldUpClose) {
  Faults f;
  OpenChannel open;
  auto& [pty, sink, ch] = open;
  const Bytes block = Pattern(4096);
  f.io.write = [](int, const void*, size_t) -> ssize_t { return errno = EIO, -1; };
  f.Install();
  EXPECT_EQ(ch.WritePort(block.data(), 1), 0);
  serial_io::SetSysIoForTests(nullptr);

  // Nobody reads the master, so the line fills up; a writer waiting for room, seen polling for
  // it, must not hold up ClosePort.
  for (int i = 0; i < 100 && ch.WritePort(block.data(), uint32_t(block.size())); ++i) {
  }
  f.io = RealSysIo();
  f.io.poll = CountingPoll;
  g_pollingForOutput = false;
  f.Install();
  std::thread writer([&] { EXPECT_EQ(ch.WritePort(block.data(), uint32_t(block.size())), 0); });
  for (int i = 0; i < 1000 && !g_pollingForOutput; ++i) std::this_thread::sleep_for(100us);
  ASSERT_TRUE(g_pollingForOutput);
  const auto t = std::chrono::steady_clock::now();
  EXPECT_EQ(ch.ClosePort(), 1);
  EXPECT_LT(MsSince(t), 50);
  writer.join();
}

TEST(SerialWrite, ConcurrentWritersKeepMessagesWholeThroughShortWrites) {
  Faults f;
  f.io.write = ChoppyWrite;
  f.Install();
  OpenChannel open;
  auto& [pty, sink, ch] = open;
  ExpectConcurrentMessagesWhole(ch, pty);
}

// What the channel must never write to, and what it must leave as it found it.

termios SettingsOf(const std::string& path) {
  termios tio{};
  const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  EXPECT_EQ(tcgetattr(fd, &tio), 0);
  close(fd);
  return tio;
}

void ExpectSameSettings(const termios& a, const termios& b) {
  EXPECT_EQ(a.c_iflag, b.c_iflag);
  EXPECT_EQ(a.c_oflag, b.c_oflag);
  EXPECT_EQ(a.c_cflag, b.c_cflag);
  EXPECT_EQ(a.c_lflag, b.c_lflag);
  EXPECT_EQ(cfgetospeed(&a), cfgetospeed(&b));
}

bool ExclusiveFlag(const std::string& path) {
  const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  int excl = 0;
  EXPECT_EQ(ioctl(fd, TIOCGEXCL, &excl), 0);
  close(fd);
  return excl != 0;
}

TEST(SerialSafety, WhatIsNotATerminalIsRefusedUnopenedAndUnchanged) {
  char dirTemplate[] = "/tmp/serialsafety.XXXXXX";
  ASSERT_NE(mkdtemp(dirTemplate), nullptr);
  const std::string dir = dirTemplate;
  const std::string fifo = dir + "/fifo";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  Pty pty;
  EXPECT_EQ(ClassifyPortPath(pty.slave), PortPathKind::Terminal);
  EXPECT_EQ(ClassifyPortPath(dir + "/later"), PortPathKind::Missing);

  for (const std::string& path : {fifo, dir, std::string("/dev/null"), std::string("/dev/tty")}) {
    SCOPED_TRACE(path);
    EXPECT_EQ(ClassifyPortPath(path), PortPathKind::NotTerminal);
    Sink sink;
    Channel ch;
    EXPECT_EQ(ch.OpenPort(path.c_str(), &sink), 0);
    EXPECT_EQ(ch.LastOpenError(), ENOTTY);
    EXPECT_FALSE(ch.IsOpen());
  }

  // The terminal this process runs in is never a charger's port.
  const int savedStdin = dup(STDIN_FILENO);
  const int slave = open(pty.slave.c_str(), O_RDWR | O_NOCTTY);
  ASSERT_EQ(dup2(slave, STDIN_FILENO), STDIN_FILENO);
  const PortPathKind own = ClassifyPortPath(pty.slave);
  Sink sink;
  Channel ch;
  const int opened = ch.OpenPort(pty.slave.c_str(), &sink);
  dup2(savedStdin, STDIN_FILENO);
  close(savedStdin);
  close(slave);
  EXPECT_EQ(own, PortPathKind::OwnTerminal);
  EXPECT_EQ(opened, 0);
  EXPECT_EQ(ch.LastOpenError(), EBUSY);
  std::filesystem::remove_all(dir);
}

TEST(SerialSafety, ClosingAndTheEmergencyPathPutThePortBackAsItWas) {
  Pty pty;
  const termios before = SettingsOf(pty.slave);
  ASSERT_NE(before.c_lflag & ICANON, 0u);  // a fresh pty is cooked
  for (bool emergency : {false, true}) {
    SCOPED_TRACE(emergency ? "emergency" : "close");
    Sink sink;
    Channel ch;
    ASSERT_EQ(ch.OpenPort(pty.slave.c_str(), &sink), 1);
    EXPECT_EQ(SettingsOf(pty.slave).c_lflag & ICANON, 0u);  // raw while in use
    EXPECT_TRUE(ExclusiveFlag(pty.slave));
    if (emergency) {
      ch.EmergencyRelease(nullptr, 0);  // no last words
      // Released although still open: the next owner finds it free and as it was.
      EXPECT_TRUE(ch.IsOpen());
    } else {
      EXPECT_EQ(ch.ClosePort(), 1);
    }
    EXPECT_FALSE(ExclusiveFlag(pty.slave));
    ExpectSameSettings(SettingsOf(pty.slave), before);
  }
}

}  // namespace
}  // namespace serialtest
