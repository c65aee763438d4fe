// The simulated charger, driven from outside over its pty by a hand-made sender whose every
// frame is composed here byte by byte.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "sim/loader_crc.h"
#include "sim/menu_reply.h"
#include "sim/sim_charger.h"

namespace {

using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr uint8_t SOH = 0x01, STX = 0x02, EOT = 0x04, ACK = 0x06, NAK = 0x15;

Bytes Frame(uint8_t start, uint8_t number, const Bytes& payload) {
  // Sized first: GCC 12 at -O3 misreads an insert after a three-byte list (false -Warray-bounds).
  Bytes frame(3 + payload.size());
  frame[0] = start;
  frame[1] = number;
  frame[2] = static_cast<uint8_t>(~number);
  std::copy(payload.begin(), payload.end(), frame.begin() + 3);
  const uint16_t crc = chargersim::LoaderCrc(payload.data(), payload.size());
  frame.push_back(static_cast<uint8_t>(crc >> 8));
  frame.push_back(static_cast<uint8_t>(crc & 0xFF));
  return frame;
}

Bytes HeaderPayload(const std::string& name, const std::string& sizeText) {
  Bytes payload(name.begin(), name.end());
  payload.push_back(0);
  payload.insert(payload.end(), sizeText.begin(), sizeText.end());
  payload.resize(128, 0);
  return payload;
}

Bytes HeaderFrame(const std::string& name, size_t size) {
  return Frame(SOH, 0, HeaderPayload(name, std::to_string(size)));
}

Bytes EndOfBatchFrame() {
  return Frame(SOH, 0, Bytes(128, 0));
}

// The image cut the way the updater cuts it: 1024-byte blocks while at least 128 bytes remain,
// a 128-byte block for a smaller rest, 0x1A padding. `blockSize` 128 forces short blocks only.
std::vector<Bytes> DataFrames(const Bytes& image, size_t blockSize = 1024) {
  std::vector<Bytes> frames;
  uint8_t number = 1;
  for (size_t offset = 0; offset < image.size(); ++number) {
    const size_t left = image.size() - offset;
    const size_t size = (blockSize == 1024 && left >= 128) ? 1024 : 128;
    Bytes payload(size, 0x1A);
    const size_t take = std::min(size, left);
    std::copy_n(image.begin() + static_cast<long>(offset), take, payload.begin());
    frames.push_back(Frame(size == 1024 ? STX : SOH, number, payload));
    offset += take;
  }
  return frames;
}

Bytes RandomImage(size_t size, uint32_t seed) {
  std::mt19937 random(seed);
  Bytes image(size);
  for (uint8_t& b : image) b = static_cast<uint8_t>(random());
  return image;
}

class Line {
 public:
  explicit Line(const std::string& path) {
    m_fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (m_fd < 0) return;
    termios tio;
    ::tcgetattr(m_fd, &tio);
    ::cfmakeraw(&tio);
    ::tcsetattr(m_fd, TCSANOW, &tio);
  }
  ~Line() {
    if (m_fd >= 0) ::close(m_fd);
  }
  Line(const Line&) = delete;
  Line& operator=(const Line&) = delete;

  bool IsOpen() const { return m_fd >= 0; }

  void Write(const Bytes& bytes) { WriteSome(bytes.data(), bytes.size()); }

  // In pieces of random size with short pauses, so the other side reads it in many chunks.
  void WriteChopped(const Bytes& bytes, std::mt19937& random) {
    for (size_t offset = 0; offset < bytes.size();) {
      const size_t piece = std::min<size_t>(bytes.size() - offset, 1 + random() % 300);
      WriteSome(bytes.data() + offset, piece);
      offset += piece;
      if (random() % 3 == 0) std::this_thread::sleep_for(std::chrono::microseconds(500));
    }
  }

  // Whatever a single read returns once something has arrived; empty on timeout.
  Bytes ReadOnce(milliseconds timeout = milliseconds(2000)) {
    if (!WaitReadable(Clock::now() + timeout)) return {};
    uint8_t buffer[4096];
    const ssize_t n = ::read(m_fd, buffer, sizeof buffer);
    return n > 0 ? Bytes(buffer, buffer + n) : Bytes();
  }

  // Everything that arrives until `window` has passed.
  Bytes ReadFor(milliseconds window) {
    Bytes got;
    const auto deadline = Clock::now() + window;
    while (WaitReadable(deadline)) {
      uint8_t buffer[4096];
      const ssize_t n = ::read(m_fd, buffer, sizeof buffer);
      if (n <= 0) break;
      got.insert(got.end(), buffer, buffer + n);
    }
    return got;
  }

  // True once the other end has gone away (the pty master was closed).
  bool HungUp(milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    for (;;) {
      pollfd fds = {m_fd, POLLIN, 0};
      const auto left = std::chrono::ceil<milliseconds>(deadline - Clock::now()).count();
      if (::poll(&fds, 1, left > 0 ? static_cast<int>(left) : 0) <= 0) return false;
      if (fds.revents & (POLLHUP | POLLERR)) return true;
      uint8_t buffer[256];
      const ssize_t n = ::read(m_fd, buffer, sizeof buffer);
      if (n == 0 || (n < 0 && errno == EIO)) return true;
    }
  }

 private:
  void WriteSome(const uint8_t* data, size_t size) {
    while (size > 0) {
      const ssize_t n = ::write(m_fd, data, size);
      if (n > 0) {
        data += n;
        size -= static_cast<size_t>(n);
        continue;
      }
      if (n < 0 && errno != EAGAIN && errno != EINTR) return;
      pollfd fds = {m_fd, POLLOUT, 0};
      ::poll(&fds, 1, 100);
    }
  }

  bool WaitReadable(Clock::time_point deadline) {
    const auto left = std::chrono::ceil<milliseconds>(deadline - Clock::now()).count();
    pollfd fds = {m_fd, POLLIN, 0};
    return ::poll(&fds, 1, left > 0 ? static_cast<int>(left) : 0) > 0 && (fds.revents & POLLIN);
  }

  int m_fd = -1;
};

std::string TempPath(const std::string& stem) {
  static int counter = 0;
  return ::testing::TempDir() + "sim-" + std::to_string(::getpid()) + "-" +
         std::to_string(++counter) + "-" + stem;
}

Bytes ReadFile(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

bool PathExists(const std::string& path) {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0;
}

chargersim::Options Quiet(chargersim::Options options = {}) {
  if (std::getenv("SIM_LOG") != nullptr) {
    options.verbose = true;
    options.log = [](const std::string& text) { std::fprintf(stderr, "sim: %s\n", text.c_str()); };
  }
  return options;
}

// Writes `bytes` and returns what the next single read brings.
Bytes Exchange(Line& line, const Bytes& bytes) {
  line.Write(bytes);
  return line.ReadOnce();
}

// One whole transfer, checking every reply; the blocks go out chopped into random pieces.
void ProgramOver(Line& line, const std::string& name, const Bytes& image, size_t blockSize = 1024,
                 const std::vector<Bytes>& eotReplies = {{ACK, 'C'}}) {
  std::mt19937 random(static_cast<uint32_t>(image.size()));
  EXPECT_EQ(Exchange(line, {'1'}), Bytes{'C'});
  EXPECT_EQ(Exchange(line, HeaderFrame(name, image.size())), (Bytes{ACK, 'C'}));
  const std::vector<Bytes> frames = DataFrames(image, blockSize);
  for (size_t i = 0; i < frames.size(); ++i) {
    line.WriteChopped(frames[i], random);
    ASSERT_EQ(line.ReadOnce(), Bytes{ACK}) << "block " << i + 1;
  }
  for (const Bytes& reply : eotReplies) EXPECT_EQ(Exchange(line, {EOT}), reply);
  EXPECT_EQ(Exchange(line, EndOfBatchFrame()), Bytes{ACK});
}

class SimTest : public ::testing::Test {
 protected:
  void Start(chargersim::Options options = {}) {
    m_line.reset();
    m_sim.Stop();
    std::string error;
    ASSERT_TRUE(m_sim.Start(Quiet(std::move(options)), &error)) << error;
    m_line = std::make_unique<Line>(m_sim.SlavePath());
    ASSERT_TRUE(m_line->IsOpen()) << m_sim.SlavePath();
  }

  Bytes Send(const Bytes& bytes) { return Exchange(*m_line, bytes); }
  void Program(const std::string& name, const Bytes& image, size_t blockSize = 1024) {
    ProgramOver(*m_line, name, image, blockSize);
  }

  chargersim::SessionResult OnlySession() {
    EXPECT_TRUE(m_sim.WaitForSessions(1, milliseconds(2000)));
    const auto sessions = m_sim.Sessions();
    return sessions.empty() ? chargersim::SessionResult{} : sessions.back();
  }

  // The one session, which must have programmed `image` whole.
  chargersim::SessionResult ProgrammedWhole(const Bytes& image) {
    const chargersim::SessionResult session = OnlySession();
    EXPECT_TRUE(session.ok) << session.failure;
    EXPECT_EQ(m_sim.ReceivedImage(), image);
    return session;
  }

  chargersim::SimCharger m_sim;
  std::unique_ptr<Line> m_line;
};

// ---------------------------------------------------------------------------------------------

TEST(LoaderCrc, MatchesTheChargersKnownValues) {
  auto crc = [](const Bytes& b) { return chargersim::LoaderCrc(b.data(), b.size()); };
  EXPECT_EQ(crc({'1', '2', '3', '4', '5', '6', '7', '8', '9'}), 0x4B37);
  EXPECT_EQ(crc({'a', 'b', 'c'}), 0x5749);
  EXPECT_EQ(crc({0xFF, 0xFF}), 0x0000);
  // A zero running value restarts at 0xFFFF: here it differs from CRC-16/MODBUS.
  EXPECT_EQ(crc({0xFF, 0xFF, 0x00}), 0x40BF);
  EXPECT_EQ(crc({0xFF, 0xFF, 0xFF, 0xFF}), 0x0000);
  EXPECT_EQ(crc(Bytes(128, 0xFF)), 0x0000);
  EXPECT_EQ(crc(Bytes(128, 0x00)), 0xFBFE);
}

TEST(MenuReplyProblems, FlagsRepliesTheUpdaterWouldRefuseOrMisread) {
  using chargersim::MenuReplyProblems;
  EXPECT_TRUE(MenuReplyProblems(chargersim::BuildMenuReply({})).empty());

  // "A\r\nSN: 1\r\n" is 10 bytes; the padding puts the marker at 15 or 16.
  auto withMarkerAt = [](size_t index) {
    return "A\r\nSN: 1\r\n" + std::string(index - 10, 'x') + "Main Menu\r\nVER: V12\r\n";
  };
  EXPECT_EQ(MenuReplyProblems(withMarkerAt(15)).size(), 1u);
  EXPECT_TRUE(MenuReplyProblems(withMarkerAt(16)).empty());

  const std::string good = "Model A\r\nSN: 12345678\r\nVER: V12\r\n==== Main Menu ====\r\n";
  EXPECT_TRUE(MenuReplyProblems(good).empty());
  EXPECT_EQ(
      MenuReplyProblems("Model A SN\r\nno serial\r\nVER: V12\r\n==== Main Menu ====\r\n").size(),
      1u);
  EXPECT_EQ(MenuReplyProblems("Model A\r\nSN: 1\r\nVER: V1.2\r\n==== Main Menu ====\r\n").size(),
            1u);
  EXPECT_EQ(MenuReplyProblems(good + std::string(1100, ' ')).size(), 1u);
  // Nothing after a NUL counts.
  EXPECT_FALSE(MenuReplyProblems(std::string("Model A\r\nSN: 1\r\nVER: V12\r\n\0", 27) +
                                 "==== Main Menu ====\r\n")
                   .empty());
}

// ---------------------------------------------------------------------------------------------

// Splits at runs of CR and LF, as the updater does.
std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::string current;
  for (char c : text) {
    if (c == '\r' || c == '\n') {
      if (!current.empty()) lines.push_back(current);
      current.clear();
    } else {
      current += c;
    }
  }
  if (!current.empty()) lines.push_back(current);
  return lines;
}

TEST_F(SimTest, MenuReplyArrivesInOneReadInTheUpdatersFormat) {
  chargersim::Options options;
  options.identity = {"Quorlin QC-8 Charger", "20240117", "B07"};
  Start(options);

  const Bytes reply = Send({'0'});
  const std::string text(reply.begin(), reply.end());
  EXPECT_GE(text.find("Main Menu", 1), 16u);
  EXPECT_NE(text.find("Main Menu", 1), std::string::npos);
  EXPECT_NE(text.find("Select"), std::string::npos) << "the read ended early: " << text;
  EXPECT_EQ(text.find('\0'), std::string::npos);
  EXPECT_EQ(text.substr(0, 22), "Quorlin QC-8 Charger\r\n");

  const std::vector<std::string> lines = Lines(text);
  ASSERT_GE(lines.size(), 4u);
  EXPECT_EQ(lines[0], "Quorlin QC-8 Charger");
  const size_t sn = lines[1].find("SN");
  ASSERT_NE(sn, std::string::npos);
  EXPECT_EQ(lines[1].substr(sn + 4), "20240117");
  const size_t ver = text.find("VER");
  ASSERT_NE(ver, std::string::npos);
  EXPECT_EQ(text.substr(ver + 5, 3), "B07");

  // Every "0" gets its own reply.
  EXPECT_EQ(Send({'0'}), reply);
  EXPECT_EQ(m_sim.GetCounters().menuReplies, 2u);
}

TEST_F(SimTest, ReplyFileIsSentAsIsAndOtherBytesAreIgnored) {
  chargersim::Options options;
  options.rawReply = std::string("raw\0reply\r\n", 11);
  Start(options);
  EXPECT_EQ(m_line->ReadFor(milliseconds(0)), Bytes{});
  m_line->Write({'7', 'x', 0x06});
  EXPECT_EQ(m_line->ReadFor(milliseconds(150)), Bytes{});
  EXPECT_EQ(Send({'0'}), Bytes(options.rawReply->begin(), options.rawReply->end()));
  EXPECT_EQ(m_sim.GetCounters().ignoredCommands, 3u);
}

TEST_F(SimTest, NoAnswerIgnoresTheMenuCommandOnly) {
  chargersim::Options options;
  options.noAnswer = true;
  Start(options);
  m_line->Write({'0'});
  EXPECT_EQ(m_line->ReadFor(milliseconds(300)), Bytes{});
  EXPECT_EQ(Send({'1'}), Bytes{'C'});
}

TEST_F(SimTest, ReplyDelayHoldsTheWholeReplyBack) {
  chargersim::Options options;
  options.replyDelay = milliseconds(300);
  Start(options);
  const auto sent = Clock::now();
  const Bytes reply = Send({'0'});
  EXPECT_GE(Clock::now() - sent, milliseconds(280));
  const std::string menu = chargersim::BuildMenuReply({});
  EXPECT_EQ(reply, Bytes(menu.begin(), menu.end()));
}

// 8N1 at 115200 baud carries 11520 bytes a second, so 1152 bytes take 0.1 s each way. Only
// lower bounds: a slow machine may take longer, never shorter.
TEST_F(SimTest, BaudPacesEveryByteReadAndSent) {
  chargersim::Options options;
  options.baud = 115200;
  options.rawReply = std::string(1151, 'r') + "\n";
  Start(options);

  // 1151 bytes it ignores and then "0": no answer before the last of them has crossed.
  Bytes command(1151, 'x');
  command.push_back('0');
  auto sent = Clock::now();
  m_line->Write(command);
  Bytes reply = m_line->ReadOnce();
  // ... and its 1152-byte reply takes as long again, arriving whole.
  EXPECT_GE(Clock::now() - sent, milliseconds(190));
  EXPECT_EQ(reply.size(), 1152u);
  EXPECT_EQ(m_sim.GetCounters().ignoredCommands, 1151u);

  sent = Clock::now();
  reply = Send({'0'});
  EXPECT_GE(Clock::now() - sent, milliseconds(95));
  EXPECT_EQ(reply.size(), 1152u);

  // A transfer goes through at that pace too.
  chargersim::Options loader;
  loader.baud = 115200;
  Start(loader);
  const Bytes image = RandomImage(3000, 5);
  sent = Clock::now();
  Program("fw.bin", image);
  // Header, three long blocks, EOT and the closing block: 3357 bytes, 0.29 s.
  EXPECT_GE(Clock::now() - sent, milliseconds(280));
  EXPECT_TRUE(OnlySession().ok);
  EXPECT_EQ(m_sim.ReceivedImage(), image);
}

TEST_F(SimTest, GarbageNeverLooksLikeProtocolOrLineBreaks) {
  chargersim::Options options;
  options.garbage = true;
  Start(options);
  const std::string menu = chargersim::BuildMenuReply({});
  for (int round = 0; round < 10; ++round) {
    m_line->Write({'0'});
    const Bytes got = m_line->ReadFor(milliseconds(100));
    ASSERT_GT(got.size(), menu.size());
    const size_t noise = got.size() - menu.size();
    EXPECT_LE(noise, 8u);
    EXPECT_EQ(std::string(got.begin() + static_cast<long>(noise), got.end()), menu);
    for (size_t i = 0; i < noise; ++i) {
      for (uint8_t forbidden : {0x00, 0x06, 0x0A, 0x0D, 0x15, 0x43, 0xFA}) {
        EXPECT_NE(got[i], forbidden) << "round " << round;
      }
    }
  }
  // The loader's replies get noise too, and the sender must skip it.
  m_line->Write({'1'});
  const Bytes got = m_line->ReadFor(milliseconds(100));
  ASSERT_GE(got.size(), 2u);
  EXPECT_EQ(got.back(), 'C');
  EXPECT_EQ(std::count(got.begin(), got.end(), 'C'), 1);
}

// ---------------------------------------------------------------------------------------------

TEST_F(SimTest, ChoppedTransferIsReceivedByteIdenticalAndSaved) {
  chargersim::Options options;
  options.savePath = TempPath("saved.bin");
  Start(options);
  const Bytes image = RandomImage(3000, 1);
  Program("fw.bin", image);

  const chargersim::SessionResult session = ProgrammedWhole(image);
  EXPECT_EQ(session.fileName, "fw.bin");
  EXPECT_EQ(session.dataBlocks, 3u);
  EXPECT_EQ(session.rejected, 0u);
  EXPECT_EQ(session.Summary(), "programmed fw.bin, 3000 bytes, CRC ok");
  EXPECT_EQ(ReadFile(options.savePath), image);
  std::remove(options.savePath.c_str());

  // Back in the menu afterwards, and ready for the next charger's worth.
  EXPECT_NE(Send({'0'}).size(), 0u);
  const Bytes second = RandomImage(2100, 2);
  Program("next.bin", second);
  ASSERT_TRUE(m_sim.WaitForSessions(2, milliseconds(2000)));
  EXPECT_EQ(m_sim.ReceivedImage(), second);
}

TEST_F(SimTest, BlockNumbersWrapFrom255To0) {
  Start();
  // 300 short blocks: numbers 1..255, then 0..44.
  const Bytes image = RandomImage(300 * 128 - 50, 3);
  Program("wrap.bin", image, 128);
  EXPECT_EQ(ProgrammedWhole(image).dataBlocks, 300u);
}

TEST_F(SimTest, BrokenBlocksAreNakedAndTheirRepairAccepted) {
  Start();
  const Bytes image = RandomImage(1100, 4);  // one STX block, then a SOH block with 0x1A pad
  const std::vector<Bytes> frames = DataFrames(image);
  ASSERT_EQ(frames.size(), 2u);
  ASSERT_EQ(Send({'1'}), Bytes{'C'});
  ASSERT_EQ(Send(HeaderFrame("fw.bin", image.size())), (Bytes{ACK, 'C'}));

  Bytes badCrc = frames[0];
  badCrc.back() ^= 0x01;
  EXPECT_EQ(Send(badCrc), Bytes{NAK});
  Bytes flippedPayload = frames[0];
  flippedPayload[500] ^= 0x80;
  EXPECT_EQ(Send(flippedPayload), Bytes{NAK});
  Bytes badComplement = frames[0];
  badComplement[2] = 0x00;
  EXPECT_EQ(Send(badComplement), Bytes{NAK});
  EXPECT_EQ(Send(DataFrames(image)[1]), Bytes{NAK}) << "block 2 before block 1";
  EXPECT_EQ(Send(frames[0]), Bytes{ACK});
  EXPECT_EQ(Send(frames[0]), Bytes{NAK}) << "block 1 again";

  Bytes payload(128, 0x1A);
  std::copy(image.begin() + 1024, image.end(), payload.begin());
  payload[100] = 0x00;  // padding that is not 0x1A
  EXPECT_EQ(Send(Frame(SOH, 2, payload)), Bytes{NAK});
  EXPECT_EQ(Send(frames[1]), Bytes{ACK});
  EXPECT_EQ(Send(Frame(SOH, 3, Bytes(128, 0x1A))), Bytes{NAK}) << "a block past the image";

  EXPECT_EQ(Send({EOT}), (Bytes{ACK, 'C'}));
  Bytes secondFile = HeaderFrame("more.bin", 10);
  EXPECT_EQ(Send(secondFile), Bytes{NAK});
  EXPECT_EQ(Send(EndOfBatchFrame()), Bytes{ACK});

  EXPECT_EQ(ProgrammedWhole(image).rejected, 8u);
}

TEST_F(SimTest, BadHeadersAreNaked) {
  Start();
  ASSERT_EQ(Send({'1'}), Bytes{'C'});
  const struct {
    const char* what;
    Bytes frame;
  } bad[] = {
      {"STX header", Frame(STX, 0,
                           [] {
                             Bytes p = HeaderPayload("fw.bin", "3000");
                             p.resize(1024, 0);
                             return p;
                           }())},
      {"block number 1", Frame(SOH, 1, HeaderPayload("fw.bin", "3000"))},
      {"no size", Frame(SOH, 0, HeaderPayload("fw.bin", ""))},
      {"size 30x0", Frame(SOH, 0, HeaderPayload("fw.bin", "30x0"))},
      {"size 0", Frame(SOH, 0, HeaderPayload("fw.bin", "0"))},
      {"name without NUL", Frame(SOH, 0, Bytes(128, 'n'))},
  };
  for (const auto& c : bad) EXPECT_EQ(Send(c.frame), Bytes{NAK}) << c.what;
  // A blank may follow the size: YMODEM puts the date there.
  EXPECT_EQ(Send(Frame(SOH, 0, HeaderPayload("fw.bin", "1 14234567 0"))), (Bytes{ACK, 'C'}));
}

TEST_F(SimTest, StalledBlockIsNakedAndTheReceiverResynchronises) {
  chargersim::Options options;
  options.receiver.byteTimeout = milliseconds(200);
  Start(options);
  const Bytes image = RandomImage(1024, 5);
  ASSERT_EQ(Send({'1'}), Bytes{'C'});
  ASSERT_EQ(Send(HeaderFrame("fw.bin", image.size())), (Bytes{ACK, 'C'}));

  const Bytes frame = DataFrames(image)[0];
  const auto cut = Clock::now();
  EXPECT_EQ(Send(Bytes(frame.begin(), frame.begin() + 600)), Bytes{NAK});
  EXPECT_GE(Clock::now() - cut, milliseconds(190));
  // Line noise while waiting for a block is skipped.
  m_line->Write({'x', 'y', 0x7F});
  EXPECT_EQ(Send(frame), Bytes{ACK});
  EXPECT_EQ(Send({EOT}), (Bytes{ACK, 'C'}));
  EXPECT_EQ(Send(EndOfBatchFrame()), Bytes{ACK});
  EXPECT_TRUE(OnlySession().ok);
}

TEST_F(SimTest, SilenceEndsTheSessionAfterRepeatedRequests) {
  chargersim::Options options;
  options.receiver.idleTimeout = milliseconds(60);
  options.receiver.maxIdleTimeouts = 3;
  Start(options);
  m_line->Write({'1'});
  // The first 'C', then one per idle timeout.
  EXPECT_EQ(m_line->ReadFor(milliseconds(500)), (Bytes{'C', 'C', 'C', 'C'}));
  const chargersim::SessionResult session = OnlySession();
  EXPECT_FALSE(session.ok);
  EXPECT_EQ(Send({'0'}).empty(), false) << "back in the menu";
}

TEST_F(SimTest, EotBeforeTheImageEndFailsTheSession) {
  Start();
  const Bytes image = RandomImage(3000, 6);
  ASSERT_EQ(Send({'1'}), Bytes{'C'});
  ASSERT_EQ(Send(HeaderFrame("fw.bin", image.size())), (Bytes{ACK, 'C'}));
  ASSERT_EQ(Send(DataFrames(image)[0]), Bytes{ACK});
  EXPECT_EQ(Send({EOT}), (Bytes{ACK, 'C'}));
  EXPECT_EQ(Send(EndOfBatchFrame()), Bytes{ACK});
  const chargersim::SessionResult session = OnlySession();
  EXPECT_FALSE(session.ok);
  EXPECT_NE(session.failure.find("1024 of 3000"), std::string::npos) << session.failure;
  EXPECT_TRUE(m_sim.ReceivedImage().empty());
}

// ---------------------------------------------------------------------------------------------

TEST_F(SimTest, EotFaultsChangeOnlyTheEndOfTheExchange) {
  const struct {
    const char* name;
    void (*apply)(chargersim::Options&);
    std::vector<Bytes> eotReplies;
  } cases[] = {
      {"nak-first-eot",
       [](chargersim::Options& o) { o.receiver.nakFirstEot = true; },
       {{NAK}, {ACK, 'C'}}},
      {"fa-instead-of-final-c",
       [](chargersim::Options& o) { o.receiver.faInsteadOfFinalC = true; },
       {{ACK, 0xFA}}},
      {"stray-ack", [](chargersim::Options& o) { o.receiver.strayAck = true; }, {{ACK, ACK, 'C'}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    chargersim::Options options;
    c.apply(options);
    Start(options);
    const Bytes image = RandomImage(200, 8);
    ProgramOver(*m_line, "fw.bin", image, 1024, c.eotReplies);
    ASSERT_TRUE(m_sim.WaitForSessions(1, milliseconds(2000)));
    EXPECT_EQ(m_sim.ReceivedImage(), image);
  }
}

TEST_F(SimTest, SilentAfter1NeverStartsTheLoader) {
  chargersim::Options options;
  options.silentAfter1 = true;
  Start(options);
  m_line->Write({'1'});
  EXPECT_EQ(m_line->ReadFor(milliseconds(300)), Bytes{});
  EXPECT_FALSE(Send({'0'}).empty()) << "the menu still answers";
}

TEST_F(SimTest, UnplugAfterBlocksPullsThePortMidTransferOnce) {
  chargersim::Options options;
  options.receiver.unplugAfterBlocks = 2;
  Start(options);
  const std::string path = m_sim.SlavePath();
  const Bytes image = RandomImage(5000, 9);
  const std::vector<Bytes> frames = DataFrames(image);
  ASSERT_EQ(Send({'1'}), Bytes{'C'});
  ASSERT_EQ(Send(HeaderFrame("fw.bin", image.size())), (Bytes{ACK, 'C'}));
  ASSERT_EQ(Send(frames[0]), Bytes{ACK});
  m_line->Write(frames[1]);
  EXPECT_TRUE(m_line->HungUp(milliseconds(2000)));
  EXPECT_TRUE(m_sim.WaitForPlugged(false, milliseconds(2000)));
  EXPECT_FALSE(PathExists(path));
  const chargersim::SessionResult session = OnlySession();
  EXPECT_FALSE(session.ok);
  EXPECT_EQ(session.dataBlocks, 2u);

  // Plugged back in, the next transfer runs to the end.
  ASSERT_TRUE(m_sim.Replug());
  m_line = std::make_unique<Line>(m_sim.SlavePath());
  ASSERT_TRUE(m_line->IsOpen());
  Program("fw.bin", image);
  ASSERT_TRUE(m_sim.WaitForSessions(2, milliseconds(2000)));
  EXPECT_EQ(m_sim.ReceivedImage(), image);
}

TEST_F(SimTest, ReplugAfterASessionBringsANewPort) {
  chargersim::Options options;
  options.replugAfter = milliseconds(200);
  Start(options);
  Program("fw.bin", RandomImage(100, 10));
  EXPECT_TRUE(m_line->HungUp(milliseconds(2000)));
  ASSERT_TRUE(m_sim.WaitForPlugged(true, milliseconds(2000)));
  EXPECT_EQ(m_sim.GetCounters().plugIns, 2u);
  Line again(m_sim.SlavePath());
  ASSERT_TRUE(again.IsOpen());
  again.Write({'0'});
  EXPECT_FALSE(again.ReadOnce().empty());
}

// ---------------------------------------------------------------------------------------------

// The charger-sim program as a script would run it.
class SimProgram {
 public:
  explicit SimProgram(std::vector<std::string> args) {
    int out[2];
    if (::pipe2(out, O_CLOEXEC) != 0) return;
    m_pid = ::fork();
    if (m_pid == 0) {
      ::dup2(out[1], STDOUT_FILENO);
      if (std::getenv("SIM_LOG") == nullptr) ::freopen("/dev/null", "w", stderr);
      std::vector<char*> argv;
      std::string program = CHARGER_SIM_PATH;
      argv.push_back(program.data());
      for (std::string& a : args) argv.push_back(a.data());
      argv.push_back(nullptr);
      ::execv(program.c_str(), argv.data());
      ::_exit(127);
    }
    ::close(out[1]);
    m_out = out[0];
  }
  ~SimProgram() {
    if (m_pid > 0 && !m_reaped) {
      ::kill(m_pid, SIGKILL);
      ::waitpid(m_pid, nullptr, 0);
    }
    if (m_out >= 0) ::close(m_out);
  }

  // The next line it prints; empty on timeout.
  std::string ReadLine(milliseconds timeout) {
    std::string line;
    const auto deadline = Clock::now() + timeout;
    char c;
    for (;;) {
      const auto left = std::chrono::ceil<milliseconds>(deadline - Clock::now()).count();
      pollfd fds = {m_out, POLLIN, 0};
      if (left <= 0 || ::poll(&fds, 1, static_cast<int>(left)) <= 0) return {};
      if (::read(m_out, &c, 1) != 1) return {};
      if (c == '\n') return line;
      line += c;
    }
  }

  // Exit status, or -1 when it has not ended in time.
  int WaitExit(milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    while (Clock::now() < deadline) {
      int status = 0;
      if (::waitpid(m_pid, &status, WNOHANG) == m_pid) {
        m_reaped = true;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      }
      std::this_thread::sleep_for(milliseconds(10));
    }
    return -1;
  }

  pid_t Pid() const { return m_pid; }

 private:
  pid_t m_pid = -1;
  int m_out = -1;
  bool m_reaped = false;
};

TEST(SimProgramTest, OnceProgramsThroughTheLinkSavesAndExits) {
  const std::string link = TempPath("port");
  const std::string saved = TempPath("image.bin");
  SimProgram program({"--link", link, "--once", "--save", saved});
  const std::string slave = program.ReadLine(milliseconds(3000));
  ASSERT_FALSE(slave.empty());
  char target[256] = {};
  ASSERT_GT(::readlink(link.c_str(), target, sizeof target - 1), 0);
  EXPECT_EQ(std::string(target), slave);

  Line line(link);
  ASSERT_TRUE(line.IsOpen());
  const Bytes image = RandomImage(3000, 11);
  ProgramOver(line, "fw.bin", image);

  EXPECT_EQ(program.WaitExit(milliseconds(3000)), 0);
  EXPECT_EQ(ReadFile(saved), image);
  EXPECT_FALSE(PathExists(link));
  std::remove(saved.c_str());
}

TEST(SimProgramTest, SigtermRemovesTheLinkAndAFailedSessionSetsTheStatus) {
  const std::string link = TempPath("port");
  {
    SimProgram program({"--link", link});
    ASSERT_FALSE(program.ReadLine(milliseconds(3000)).empty());
    ASSERT_TRUE(PathExists(link));
    ::kill(program.Pid(), SIGTERM);
    EXPECT_EQ(program.WaitExit(milliseconds(3000)), 0);
    EXPECT_FALSE(PathExists(link));
  }
  {
    SimProgram program({"--link", link, "--unplug-after-blocks", "1"});
    ASSERT_FALSE(program.ReadLine(milliseconds(3000)).empty());
    Line line(link);
    const Bytes image = RandomImage(3000, 12);
    line.Write({'1'});
    EXPECT_EQ(line.ReadOnce(), Bytes{'C'});
    line.Write(HeaderFrame("fw.bin", image.size()));
    EXPECT_EQ(line.ReadOnce(), (Bytes{ACK, 'C'}));
    line.Write(DataFrames(image)[0]);
    // Unplugged with no replug to come: it has nothing left to do.
    EXPECT_EQ(program.WaitExit(milliseconds(3000)), 1);
    EXPECT_FALSE(PathExists(link));
  }
}

TEST(SimProgramTest, RefusesToReplaceAFileWithItsLink) {
  const std::string path = TempPath("not-a-link");
  std::ofstream(path) << "keep me";
  SimProgram program({"--link", path});
  EXPECT_EQ(program.WaitExit(milliseconds(3000)), 2);
  EXPECT_EQ(ReadFile(path), (Bytes{'k', 'e', 'e', 'p', ' ', 'm', 'e'}));
  std::remove(path.c_str());
}

}  // namespace
