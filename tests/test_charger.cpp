#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <thread>

#include "charger/menu_reply.h"
#include "charger/port_list.h"
#include "charger/posix_port_list.h"
#include "platform/auto_reset_event.h"

namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

// A chunk as the serial reader hands it over: exactly `count` bytes on the heap, nothing
// after them, so an over-read shows up under AddressSanitizer.
class Chunk {
 public:
  explicit Chunk(const std::string& bytes)
      : m_size(static_cast<uint32_t>(bytes.size())), m_data(new uint8_t[bytes.size()]) {
    std::memcpy(m_data.get(), bytes.data(), bytes.size());
  }
  std::string_view Text() const { return ChunkText(m_data.get(), m_size); }

 private:
  uint32_t m_size;
  std::unique_ptr<uint8_t[]> m_data;
};

std::string MarkerAt(size_t index) {
  return std::string(index, 'x') + "Main Menu";
}

const std::string kMenu = MarkerAt(16);
const std::optional<std::string> kNone;

struct Case {
  const char* what;
  std::string bytes;
  bool accepted;
  std::string identification;
  std::optional<std::string> serial, version;
};

}  // namespace

TEST(MenuReply, Table) {
  const std::string example = "Model A\r\nSN: 12345678\r\nVER: V12\r\n==== Main Menu ====\r\n";
  std::string dotted = example;
  dotted.replace(dotted.find("V12"), 3, "V1.2");
  std::string full(1024, 'a');  // no NUL, no terminator: fields end at the last byte
  full.replace(1000, 9, "Main Menu");
  full.replace(1016, 8, "VER: V34");
  const std::string l1 = "Model A\r\n";

  const Case cases[] = {
      {"example", example, true, "Model A", "12345678", "V12"},
      {"V1.2 still answers", dotted, true, "Model A", "12345678", kNone},
      {"marker at 15", MarkerAt(15), false, "", kNone, kNone},
      {"marker at 16, one line", MarkerAt(16), true, MarkerAt(16), kNone, kNone},
      {"index 0 unseen", "Main Menu" + std::string(31, '-') + "Main Menu", true,
       "Main Menu" + std::string(31, '-') + "Main Menu", kNone, kNone},
      {"early marker refuses", "-----Main Menu" + std::string(26, '-') + "Main Menu", false, "",
       kNone, kNone},
      {"runs of breaks", "\r\n\n\rModel B\n\r\r\nSN: 42\n" + kMenu, true, "Model B", "42", kNone},
      {"SN in line 1 only", "Model SN: 7\r\nnone\r\n" + kMenu, true, "Model SN: 7", kNone, kNone},
      {"line 2 ends after SN: ", l1 + "SN: \r\n" + kMenu, true, "Model A", "", kNone},
      {"line 2 too short", l1 + "xxSN:\r\n" + kMenu, true, "Model A", "", kNone},
      {"first SN", l1 + "SN#:ABSN: 9\r\n" + kMenu, true, "Model A", "ABSN: 9", kNone},
      {"SN at chunk end", kMenu + "\r\nSN: 5", true, kMenu, "5", kNone},
      {"S at chunk end", kMenu + "\r\nS", true, kMenu, kNone, kNone},
      {"first VER anywhere", "VER: A77\r\nSN: 1\r\nVER: B12\r\n" + kMenu, true, "VER: A77", "1",
       "A77"},
      {"VER last five bytes", kMenu + "\nVER: ", true, kMenu, kNone, ""},
      {"VER at the very end", kMenu + "\nVER", true, kMenu, kNone, ""},
      {"one version byte", kMenu + "\nVER: x", true, kMenu, kNone, "x"},
      {"two version bytes", kMenu + "\nVER: x5", true, kMenu, kNone, "x5"},
      {"digit check", kMenu + "\nVER: 1a", true, kMenu, kNone, kNone},
      {"three bytes at most", kMenu + "\nVER: V123", true, kMenu, kNone, "V12"},
      {"NUL hides the marker", std::string("Model A\r\nSN: 1\0", 15) + MarkerAt(20), false, "",
       kNone, kNone},
      {"NUL hides VER", kMenu + std::string("\n\0VER: V12", 10), true, kMenu, kNone, kNone},
      {"1024 bytes, no NUL", full, true, full, kNone, "V34"},
      {"too short", "x", false, "", kNone, kNone},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Chunk chunk(c.bytes);
    std::string_view text = chunk.Text();
    ASSERT_EQ(IsMenuReply(text), c.accepted);
    if (!c.accepted) continue;
    MenuReply reply = ParseMenuReply(text);
    EXPECT_EQ(reply.identification, c.identification);
    EXPECT_EQ(reply.serial, c.serial);
    EXPECT_EQ(reply.version, c.version);
  }
  EXPECT_EQ(Chunk(full).Text().size(), 1024u);
  EXPECT_EQ(Chunk(std::string("ab\0cd", 5)).Text(), "ab");
  EXPECT_EQ(ChunkText(nullptr, 0), "");
}

TEST(MenuReply, RandomChunks) {
  std::mt19937 rng(20240611);
  const std::string pieces[] = {"Main Menu",          "SN",   "VER",   "\r", "\n",      "\r\n",
                                std::string(1, '\0'), "SN: ", "VER: ", "1",  "Main Men"};
  for (int round = 0; round < 5000; ++round) {
    size_t size = std::uniform_int_distribution<size_t>(1, 1024)(rng);
    std::string bytes(size, '\0');
    for (char& c : bytes) c = static_cast<char>(rng());
    int inserts = std::uniform_int_distribution<int>(0, 12)(rng);
    for (int i = 0; i < inserts; ++i) {
      const std::string& piece = pieces[rng() % std::size(pieces)];
      size_t at = std::uniform_int_distribution<size_t>(0, size - 1)(rng);
      bytes.replace(at, std::min(piece.size(), size - at), piece.substr(0, size - at));
    }
    ASSERT_EQ(bytes.size(), size);

    Chunk chunk(bytes);
    std::string_view text = chunk.Text();
    ASSERT_LE(text.size(), size);
    ASSERT_EQ(text.find('\0'), std::string_view::npos);
    ASSERT_EQ(text.size(), std::min(size, bytes.find('\0')));
    size_t marker = text.find("Main Menu", 1);
    ASSERT_EQ(IsMenuReply(text), marker != std::string_view::npos && marker >= 16);

    MenuReply reply = ParseMenuReply(text);
    ASSERT_EQ(reply.identification.find_first_of("\r\n"), std::string::npos);
    ASSERT_NE(text.find(reply.identification), std::string_view::npos);
    ASSERT_EQ(reply.identification.empty(), text.find_first_not_of("\r\n") == std::string::npos);
    if (reply.serial) {
      ASSERT_EQ(reply.serial->find_first_of("\r\n"), std::string::npos);
      ASSERT_NE(text.find(*reply.serial), std::string_view::npos);
    }
    if (reply.version) {
      ASSERT_LE(reply.version->size(), 3u);
      for (size_t i = 1; i < reply.version->size(); ++i)
        ASSERT_TRUE((*reply.version)[i] >= '0' && (*reply.version)[i] <= '9');
    }
  }
}

TEST(ReplyEvent, SetWaitAndTimeout) {
  AutoResetEvent event;
  event.Set();
  auto start = std::chrono::steady_clock::now();
  EXPECT_TRUE(event.WaitFor(2000)) << "a reply that came before the wait still counts";
  EXPECT_LT(std::chrono::steady_clock::now() - start, 500ms);

  start = std::chrono::steady_clock::now();
  EXPECT_FALSE(event.WaitFor(60)) << "the wait consumed the signal";
  EXPECT_GE(std::chrono::steady_clock::now() - start, 60ms);

  event.Set();
  event.Set();
  EXPECT_TRUE(event.WaitFor(0));
  EXPECT_FALSE(event.WaitFor(0)) << "two sets before a wait are one signal";

  std::thread setter([&] {
    std::this_thread::sleep_for(30ms);
    event.Set();
  });
  EXPECT_TRUE(event.WaitFor(5000));
  setter.join();
}

TEST(ReplyEvent, SetReleasesOneWaiter) {
  AutoResetEvent event;
  std::atomic<int> released{0};
  std::vector<std::thread> waiters;
  for (int i = 0; i < 2; ++i) waiters.emplace_back([&] { released += event.WaitFor(300); });
  std::this_thread::sleep_for(50ms);
  event.Set();
  for (auto& t : waiters) t.join();
  EXPECT_EQ(released, 1);
}

TEST(ReplyEvent, InterruptReleasesForGood) {
  AutoResetEvent event;
  std::atomic<int> answered{0};
  std::vector<std::thread> waiters;
  auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < 3; ++i) waiters.emplace_back([&] { answered += event.WaitFor(10000); });
  std::this_thread::sleep_for(30ms);
  event.Interrupt();
  for (auto& t : waiters) t.join();
  EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
  EXPECT_EQ(answered, 0);
  EXPECT_TRUE(event.Interrupted());

  event.Set();
  start = std::chrono::steady_clock::now();
  EXPECT_FALSE(event.WaitFor(5000)) << "no probe may believe a charger answered after shutdown";
  EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);
}

TEST(PortList, SplitAndOverride) {
  using V = std::vector<std::string>;
  EXPECT_EQ(SplitNameList("a,b,,c"), (V{"a", "b", "c"}));
  EXPECT_EQ(SplitNameList(" /dev/ttyUSB0 , /dev/pts/3\n"), (V{"/dev/ttyUSB0", "/dev/pts/3"}));
  EXPECT_EQ(SplitNameList(""), V{});
  EXPECT_EQ(SplitNameList(",, ,"), V{});

  ASSERT_EQ(setenv("CHARGER_UPDATER_PORTS", "/dev/pts/9,/dev/pts/2", 1), 0);
  EXPECT_EQ(ListSerialPorts(), (V{"/dev/pts/9", "/dev/pts/2"})) << "the operator's order is kept";
  ASSERT_EQ(setenv("CHARGER_UPDATER_PORTS", "", 1), 0);
  EXPECT_EQ(ListSerialPorts(), SystemSerialPorts()) << "an empty override is no override";
  unsetenv("CHARGER_UPDATER_PORTS");
  EXPECT_EQ(ListSerialPorts(), SystemSerialPorts());
}

TEST(PortList, SearchOrder) {
  std::vector<std::string> ports = {"/dev/ttyS1",   "/dev/ttyACM10", "/dev/ttyUSB0",
                                    "/dev/ttyACM1", "/dev/ttyAMA0",  "/dev/ttyS10",
                                    "/dev/ttyS2",   "/dev/ttyACM0",  "/dev/ttyUSB2"};
  std::sort(ports.begin(), ports.end(), PortNameLess);
  EXPECT_EQ(ports, (std::vector<std::string>{"/dev/ttyACM0", "/dev/ttyACM1", "/dev/ttyACM10",
                                             "/dev/ttyUSB0", "/dev/ttyUSB2", "/dev/ttyAMA0",
                                             "/dev/ttyS1", "/dev/ttyS2", "/dev/ttyS10"}));
}

// A fake /sys/class/tty with real, phantom and virtual entries.
TEST(PortList, SysfsFilter) {
  fs::path root = fs::temp_directory_path() / ("tty-class-" + std::to_string(getpid()));
  fs::remove_all(root);
  auto make = [&](const std::string& name, const char* type, const char* driver) {
    fs::path entry = root / name;
    fs::create_directories(entry / "device");
    if (type) std::ofstream(entry / "type") << type << "\n";
    if (driver) {
      fs::create_directories(root / "drivers" / driver);
      fs::create_directory_symlink(root / "drivers" / driver, entry / "device" / "driver");
    }
  };
  make("ttyS0", "4", "port");            // 16550A found
  make("ttyS1", "0", "port");            // nr_uarts placeholder
  make("ttyS2", nullptr, "serial8250");  // old kernel, placeholder
  make("ttyS3", nullptr, "serial");      // old kernel, PNP-detected port
  make("ttyAMA0", "32", "uart-pl011");
  make("ttyUSB0", nullptr, "ftdi_sio");
  make("ttyACM1", nullptr, "cdc_acm");
  make("ttyACM0", nullptr, "cdc_acm");
  fs::create_directories(root / "tty0");  // virtual console: no device
  fs::create_directories(root / "ptmx");

  EXPECT_EQ(SerialPortsIn(root.string()),
            (std::vector<std::string>{"/dev/ttyACM0", "/dev/ttyACM1", "/dev/ttyUSB0",
                                      "/dev/ttyAMA0", "/dev/ttyS0", "/dev/ttyS3"}));
  fs::remove_all(root);
  EXPECT_TRUE(SerialPortsIn(root.string()).empty());
}
