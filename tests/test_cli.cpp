// charger-updater-cli run as a child process against the simulated charger.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "cli/commands.h"
#include "cli_process.h"
#include "engine_fixture.h"
#include "sim/sim_charger.h"
#include "sim_cli_fixture.h"

extern char** environ;

namespace {

using enginetest::MakeImage;
using namespace clitest;
using enginetest::SilentPort;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

int Occurrences(const std::string& text, const std::string& part) {
  int count = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
  return count;
}

// Another program's exclusive hold on a port, as a second updater keeps it.
class HeldPort {
 public:
  explicit HeldPort(const std::string& path) : m_fd(::open(path.c_str(), O_RDWR | O_NOCTTY)) {
    if (m_fd < 0 || ::flock(m_fd, LOCK_EX | LOCK_NB) != 0) ADD_FAILURE() << "cannot hold " << path;
  }
  ~HeldPort() { ::close(m_fd); }

 private:
  int m_fd;
};

class CliTest : public SimCliTest {
 protected:
  CliTest() : SimCliTest("clitest") {}
};

TEST_F(CliTest, PortsListsTheOverrideInItsOwnOrder) {
  const Outcome run =
      RunCli({"ports"}, {{"CHARGER_UPDATER_PORTS", "/dev/ttyUSB9, /dev/ttyACM0,,/dev/ttyS1"}});
  EXPECT_EQ(run.exitCode, 0) << run.err;
  EXPECT_EQ(run.out, "/dev/ttyUSB9\n/dev/ttyACM0\n/dev/ttyS1\n");
}

TEST_F(CliTest, InfoPrintsWhatTheChargerReports) {
  chargersim::Options options;
  options.identity = {"Bench Charger 7", "A1B2C3", "X42"};
  StartSim(options);
  // A port that does not exist comes first: the search passes over it.
  const Outcome run =
      RunCli({"info", "--wait", "10"}, {{"CHARGER_UPDATER_PORTS", dir + "/missing," + link}});
  EXPECT_EQ(run.exitCode, 0) << run.err;
  EXPECT_EQ(run.out,
            "port: " + link + "\ncharger: Bench Charger 7\nserial: A1B2C3\nversion: X42\n");
  sim.Stop();

  chargersim::Options bare;
  bare.rawReply = "Bench Charger 8\r\nno number here\r\n==== Main Menu ====\r\nSelect: ";
  StartSim(bare);
  const Outcome unread = RunCli({"info", "--ports", link});
  EXPECT_EQ(unread.exitCode, 0) << unread.err;
  EXPECT_EQ(unread.out,
            "port: " + link + "\ncharger: Bench Charger 8\nserial: N/A\nversion: N/A\n");
}

TEST_F(CliTest, InfoGivesUpAfterWaitWhenNoChargerAnswers) {
  chargersim::Options options;
  options.noAnswer = true;
  StartSim(options);
  const Outcome run = RunCli({"info", "--ports", link, "--wait", "1"});
  EXPECT_EQ(run.exitCode, 3);
  EXPECT_EQ(run.out, "");
  EXPECT_NE(run.err.find(link), std::string::npos) << run.err;
  // The search's 2 s probe must not hold the exit back.
  EXPECT_LT(run.seconds, 2.5);
}

TEST_F(CliTest, FlashProgramsTheImageByteForByte) {
  StartSim();
  const std::vector<uint8_t> image = MakeImage(5000, 7);
  const std::string path = WriteFile("fw.bin", image);
  const Outcome run = RunCli({"flash", path, "--ports", link});
  EXPECT_EQ(run.exitCode, 0) << run.err;
  ASSERT_FALSE(Lines(run.out).empty());
  EXPECT_EQ(Lines(run.out).back(), "Program succeeded.");

  // A session still open when the simulator stops is recorded as failed, with the reason.
  sim.WaitForSessions(1, 5s);
  sim.Stop();
  const auto sessions = sim.Sessions();
  ASSERT_EQ(sessions.size(), 1u);
  EXPECT_TRUE(sessions[0].ok) << sessions[0].failure;
  EXPECT_EQ(sessions[0].fileName, "fw.bin");
  EXPECT_EQ(sessions[0].image, image);
}

TEST_F(CliTest, FlashReportsFailureWhenTheChargerNeverStartsItsLoader) {
  chargersim::Options options;
  options.silentAfter1 = true;
  StartSim(options);
  const std::string path = WriteFile("fw.bin", MakeImage(3000, 3));
  const Outcome run = RunCli({"flash", path, "--ports", link, "--timeout", "1.5"});
  EXPECT_EQ(run.exitCode, 1) << run.err;
  ASSERT_FALSE(Lines(run.out).empty());
  EXPECT_EQ(Lines(run.out).back(), "Program failed.");
  EXPECT_LT(run.seconds, 10);
  // A silent charger is left to the watchdog, and the operator is told so.
  EXPECT_NE(run.err.find("the charger on " + link + " did not finish within 1.5 s"),
            std::string::npos)
      << run.err;
}

// The tests run with a short watchdog; the CLI as shipped keeps the window's 35 s.
TEST(CliDefaults, WatchdogIs35Seconds) {
  EXPECT_EQ(CliOptions{}.timeoutSeconds, 35);
}

TEST_F(CliTest, RefusedImagesAreNamedAndNothingReachesThePort) {
  StartSim();
  std::filesystem::create_directory(dir + "/images.bin");
  const std::vector<std::string> refused = {WriteFile("fw.hex", MakeImage(1000, 1)),
                                            WriteFile("empty.bin", {}),
                                            WriteFile("huge.bin", MakeImage(128000, 2)),
                                            WriteFile("big.bin", MakeImage(40961, 3)),
                                            dir + "/missing.bin",
                                            dir + "/images.bin"};
  for (const std::string& path : refused) {
    SCOPED_TRACE(path);
    const Outcome run = RunCli({"flash", path, "--ports", link});
    EXPECT_EQ(run.exitCode, kUsage);
    EXPECT_NE(run.err.find(path), std::string::npos) << run.err;
    EXPECT_EQ(run.out, "");
  }
  for (const std::string& line : simLog.Lines()) {
    EXPECT_EQ(line.find("->"), std::string::npos) << line;
    EXPECT_EQ(line.find("ignored"), std::string::npos) << line;
  }
  EXPECT_EQ(sim.GetCounters().menuReplies, 0u);
  EXPECT_TRUE(sim.Sessions().empty());
}

TEST_F(CliTest, UsageErrorsExit2AndHelpExits0) {
  const std::vector<std::vector<std::string>> misuses = {
      {},
      {"bogus"},
      {"flash"},
      {"info", "--wait", "0"},
      {"info", "--colour"},
      {"auto", "fw.bin", "--count", "0"},
      {"ports", "extra"},
  };
  for (const auto& args : misuses) {
    std::string joined;
    for (const auto& a : args) joined += a + " ";
    SCOPED_TRACE(joined);
    const Outcome run = RunCli(args, {{"CHARGER_UPDATER_PORTS", dir + "/none"}});
    EXPECT_EQ(run.exitCode, kUsage) << run.out << run.err;
    EXPECT_FALSE(run.err.empty());
  }
  const Outcome help = RunCli({"--help"});
  EXPECT_EQ(help.exitCode, 0);
  for (const char* command : {"ports", "info", "flash", "auto"})
    EXPECT_NE(help.out.find(command), std::string::npos) << command;
}

TEST_F(CliTest, AutoProgramsEachNewChargerThenPrintsTheCounts) {
  StartSim();
  const std::vector<uint8_t> image = MakeImage(6000, 11);
  const std::string path = WriteFile("fw.bin", image);
  Cli cli({"auto", path, "--ports", link, "--count", "2"});

  ASSERT_TRUE(sim.WaitForSessions(1, 15s));
  ASSERT_TRUE(cli.ReadUntil(
      [](const std::string& out, const std::string&) {
        return out.find("Program succeeded.") != std::string::npos;
      },
      10s));
  // The next charger comes in on the same port name.
  ASSERT_TRUE(sim.Unplug());
  ASSERT_TRUE(sim.Replug());

  const Outcome run = cli.Finish();
  EXPECT_EQ(run.exitCode, 0) << run.err;
  EXPECT_EQ(Lines(run.out), (std::vector<std::string>{"Program succeeded.", "Program succeeded.",
                                                      "===  2 succeeded ===  0 failed ==="}));
  sim.WaitForSessions(2, 5s);
  sim.Stop();
  const auto sessions = sim.Sessions();
  ASSERT_EQ(sessions.size(), 2u);
  for (const auto& session : sessions) {
    EXPECT_TRUE(session.ok) << session.failure;
    EXPECT_EQ(session.image, image);
  }
}

TEST_F(CliTest, AutoStopsCleanlyOnSigterm) {
  chargersim::Options options;
  options.noAnswer = true;
  StartSim(options);
  const std::string path = WriteFile("fw.bin", MakeImage(1000, 5));
  Cli cli({"auto", path, "--ports", link});
  ASSERT_TRUE(cli.ReadUntil(
      [](const std::string&, const std::string& err) {
        return err.find("auto-programming") != std::string::npos;
      },
      10s));
  // Mid-probe: the search waits up to 2 s for an answer that never comes.
  ASSERT_TRUE(WaitForSimLog("no answer", 5s));
  const auto signalled = Clock::now();
  cli.Signal(SIGTERM);
  const Outcome run = cli.Finish(10s);
  EXPECT_EQ(run.exitCode, 143) << run.err;
  EXPECT_EQ(run.out, "===  0 succeeded ===  0 failed ===\n");
  EXPECT_LT(std::chrono::duration<double>(Clock::now() - signalled).count(), 1.5);
  EXPECT_TRUE(sim.Sessions().empty());
}

// What interrupted, failed and refused runs leave behind, on the charger and on the port.

struct PortState {
  termios tio{};
  int exclusive = -1;
  explicit PortState(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    EXPECT_GE(fd, 0) << path;
    EXPECT_EQ(::tcgetattr(fd, &tio), 0);
    EXPECT_EQ(::ioctl(fd, TIOCGEXCL, &exclusive), 0);
    ::close(fd);
  }
};

TEST_F(CliTest, PathsThatAreNotSerialPortsAreRefusedAndLeftUntouched) {
  const std::string victim = WriteFile("victim.bin", {'k', 'e', 'e', 'p'});
  const std::string image = WriteFile("fw.bin", MakeImage(1000, 2));
  const std::string fifo = dir + "/fifo";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  std::filesystem::create_directory(dir + "/folder");
  for (const std::string& path : {victim, fifo, dir + "/folder", std::string("/dev/null")}) {
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"info", "--wait", "1", "--ports", path},
          std::vector<std::string>{"auto", image, "--ports", "/dev/ttyUSB9," + path}}) {
      SCOPED_TRACE(args[0] + " " + path);
      const Outcome run = Cli(args).Finish(10s);
      EXPECT_EQ(run.exitCode, kUsage);
      EXPECT_NE(run.err.find(path + " is not a serial port"), std::string::npos) << run.err;
      EXPECT_EQ(run.out, "");
    }
  }
  std::ifstream in(victim, std::ios::binary);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "keep");

  for (const std::string& list : {std::string(""), std::string(",,"), std::string(" , ")}) {
    const Outcome run = Cli({"info", "--wait", "1", "--ports", list}).Finish(10s);
    EXPECT_EQ(run.exitCode, kUsage) << "'" << list << "'";
    EXPECT_NE(run.err.find("--ports"), std::string::npos) << run.err;
  }
}

class InterruptedCli : public CliTest {
 protected:
  // A transfer slow enough to be caught in the middle.
  void StartSlowCharger() {
    chargersim::Options options;
    options.replyDelay = 100ms;
    StartSim(options);
    image = WriteFile("fw.bin", MakeImage(20000, 4));
  }
  bool MidTransfer() { return WaitForSimLog("image bytes", 15s); }
  // `command` run on the slow charger and sent `signals` once its transfer is under way.
  Outcome SignalledMidTransfer(const char* command, std::initializer_list<int> signals,
                               std::chrono::seconds wait) {
    Cli cli({command, image, "--ports", link});
    EXPECT_TRUE(MidTransfer());
    for (const int signal : signals) cli.Signal(signal);
    return cli.Finish(wait);
  }
  std::string image;
};

TEST_F(InterruptedCli, CtrlCCancelsTheTransferSoTheChargerAnswersAtOnce) {
  StartSlowCharger();
  const Outcome run = SignalledMidTransfer("flash", {SIGINT}, 10s);
  EXPECT_EQ(run.exitCode, 130) << run.err;
  ASSERT_FALSE(Lines(run.out).empty());
  EXPECT_EQ(Lines(run.out).back(), "Program failed.");
  EXPECT_NE(run.err.find("programming on " + link + " cancelled after "), std::string::npos)
      << run.err;
  EXPECT_NE(run.err.find("of 20000 bytes: interrupted by Ctrl-C"), std::string::npos) << run.err;
  EXPECT_TRUE(WaitForSimLog("cancelled by the sender", 2s));

  // Out of its loader: the next run finds the charger at its first probe.
  const Outcome next = RunCli({"info", "--ports", link, "--wait", "5"});
  EXPECT_EQ(next.exitCode, 0) << next.err;
  EXPECT_LT(next.seconds, 2);
}

TEST_F(InterruptedCli, AutoStoppedTwiceBySigtermCountsTheSessionAsFailed) {
  StartSlowCharger();
  // `timeout` and service managers may signal twice; that is no reason to leave uncleanly.
  const Outcome run = SignalledMidTransfer("auto", {SIGTERM, SIGTERM}, 10s);
  EXPECT_EQ(run.exitCode, 143) << run.err;
  EXPECT_EQ(Lines(run.out),
            (std::vector<std::string>{"Program failed.", "===  0 succeeded ===  1 failed ==="}));
  EXPECT_NE(run.err.find("stopped by a termination request"), std::string::npos) << run.err;
  EXPECT_TRUE(WaitForSimLog("cancelled by the sender", 2s));
}

// A closed terminal (SIGHUP) stops flash and auto as SIGTERM does: the transfer is cancelled,
// its row written, and the run exits 129.
TEST_F(InterruptedCli, AClosedTerminalCancelsTheTransferAndWritesItsRow) {
  StartSlowCharger();
  int cancels = 0;
  for (const char* command : {"flash", "auto"}) {
    SCOPED_TRACE(command);
    const std::string record = dir + "/" + command + ".jsonl";
    const int transfers = simLog.Count("image bytes");
    Cli cli({command, image, "--ports", link, "--record", record});
    ASSERT_TRUE(Eventually([&] { return simLog.Count("image bytes") > transfers; }));
    cli.Signal(SIGHUP);
    const Outcome run = cli.Finish(10s);
    EXPECT_EQ(run.exitCode, 129) << run.err;
    ++cancels;
    EXPECT_TRUE(Eventually([&] { return simLog.Count("cancelled by the sender") == cancels; }));
    std::ifstream in(record);
    const std::string row((std::istreambuf_iterator<char>(in)), {});
    EXPECT_NE(row.find("\"result\":\"cancelled\""), std::string::npos) << row;
    EXPECT_NE(row.find("the terminal was closed"), std::string::npos) << row;
  }
}

TEST_F(InterruptedCli, SecondCtrlCLeavesAtOnceButLetsThePortGo) {
  StartSlowCharger();
  const PortState before(link);
  const Outcome run = SignalledMidTransfer("flash", {SIGINT, SIGINT}, 5s);
  EXPECT_EQ(run.exitCode, 130) << run.err;
  const PortState after(link);
  EXPECT_EQ(after.exclusive, 0);
  EXPECT_EQ(after.tio.c_lflag, before.tio.c_lflag);
  EXPECT_EQ(after.tio.c_iflag, before.tio.c_iflag);
  EXPECT_EQ(after.tio.c_cflag, before.tio.c_cflag);
  EXPECT_TRUE(WaitForSimLog("cancelled by the sender", 2s));
}

TEST_F(CliTest, UnpluggedChargerFailsAtOnceAndItsReplugIsProgrammed) {
  chargersim::Options options;
  options.receiver.unplugAfterBlocks = 3;
  options.replugAfter = 500ms;
  StartSim(options);
  const std::string image = WriteFile("fw.bin", MakeImage(10000, 6));
  Cli cli({"auto", image, "--ports", link, "--count", "2"});
  ASSERT_TRUE(WaitForSimLog("pulling the cable", 15s));
  const auto pulled = Clock::now();
  ASSERT_TRUE(cli.ReadUntil(
      [](const std::string& out, const std::string&) {
        return out.find("Program failed.") != std::string::npos;
      },
      5s));
  EXPECT_LT(std::chrono::duration<double>(Clock::now() - pulled).count(), 2.0);

  const Outcome run = cli.Finish(20s);
  EXPECT_EQ(run.exitCode, 1) << run.err;
  EXPECT_EQ(Lines(run.out), (std::vector<std::string>{"Program failed.", "Program succeeded.",
                                                      "===  1 succeeded ===  1 failed ==="}));
  EXPECT_NE(run.err.find("lost the charger: port " + link + " failed after 2048 of 10000 bytes"),
            std::string::npos)
      << run.err;
}

TEST_F(CliTest, AChargerStillInItsLoaderIsNamedOnceWithWhatToDo) {
  chargersim::Options options;
  options.rawReply = "C";  // what a waiting loader sends instead of its menu
  StartSim(options);
  const Outcome run = RunCli({"info", "--ports", link, "--wait", "5"});
  EXPECT_EQ(run.exitCode, 3) << run.err;
  EXPECT_EQ(Occurrences(run.err, "the charger on " + link + " is still in its loader"), 1)
      << run.err;
  EXPECT_NE(run.err.find("Switch it off and on again"), std::string::npos);
}

TEST_F(CliTest, NumericOptionsOutsideTheirRangeAreRefusedBriefly) {
  const std::vector<std::vector<std::string>> misuses = {
      {"info", "--wait", "1e10"},
      {"info", "--wait", "nan"},
      {"info", "--wait", "inf"},
      {"info", "--wait", "1e300"},
      {"info", "--wait", "0"},
      {"flash", "fw.bin", "--wait", "-1"},
      {"flash", "fw.bin", "--timeout", "0.5"},
      {"auto", "fw.bin", "--timeout", "3601"},
      {"auto", "fw.bin", "--count", "1000001"},
      {"auto", "fw.bin", "--count", "1e3"},
      {"auto", "fw.bin", "--count", "99999999999999999999"},
  };
  for (const auto& args : misuses) {
    SCOPED_TRACE(args[1] + " " + args[args.size() - 2] + " " + args.back());
    const Outcome run = RunCli(args, {{"CHARGER_UPDATER_PORTS", dir + "/none"}});
    EXPECT_EQ(run.exitCode, kUsage);
    EXPECT_NE(run.err.find(args[args.size() - 2] + ": must be"), std::string::npos) << run.err;
    EXPECT_LT(run.err.size(), 120u) << run.err;
  }
  // The documented bounds themselves are allowed.
  const std::string image = WriteFile("fw.bin", MakeImage(1000, 3));
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"info", "--wait", "0.1", "--ports", dir + "/none"},
        std::vector<std::string>{"flash", image, "--wait", "0.1", "--timeout", "1", "--ports",
                                 dir + "/none"}}) {
    const Outcome run = RunCli(args);
    EXPECT_EQ(run.exitCode, 3) << args[0] << ": " << run.err;
  }
  // The longest wait allowed still searches rather than overflowing its deadline.
  StartSim();
  const Outcome longest = RunCli({"info", "--ports", link, "--wait", "3600"});
  EXPECT_EQ(longest.exitCode, 0) << longest.err;
  EXPECT_LT(longest.seconds, 10);
}

TEST_F(CliTest, AFailedSearchSaysOnceWhyEachUnsearchedPortWasPassedOver) {
  SilentPort silent, taken;
  HeldPort held(taken.Path());
  const std::string missing = dir + "/ttyGone";
  // Long enough for a second pass over the ports that fail at once.
  const Outcome run = RunCli(
      {"info", "--ports", missing + "," + taken.Path() + "," + silent.Path(), "--wait", "2.5"});
  EXPECT_EQ(run.exitCode, 3);
  EXPECT_EQ(Occurrences(run.err, "no charger answered on " + silent.Path() + " within 2.5 s."), 1)
      << run.err;
  EXPECT_EQ(Occurrences(run.err, missing + " not searched: no such port."), 1) << run.err;
  EXPECT_EQ(Occurrences(run.err, taken.Path() + " not searched: held by another program."), 1)
      << run.err;
  EXPECT_EQ(Lines(run.err).size(), 3u) << run.err;
}

// Another program's exclusive hold without a lock (TIOCEXCL alone, which root may open
// through): the port is passed over untouched, and the hold is still there afterwards.
TEST_F(CliTest, APortHeldExclusivelyIsNeitherProbedNorReleased) {
  StartSim();
  const int held = ::open(sim.SlavePath().c_str(), O_RDWR | O_NOCTTY);
  ASSERT_GE(held, 0);
  ASSERT_EQ(::ioctl(held, TIOCEXCL), 0);
  const Outcome run = RunCli({"info", "--ports", link, "--wait", "2"});
  EXPECT_EQ(run.exitCode, 3);
  EXPECT_NE(run.err.find(link + " not searched: held by another program."), std::string::npos)
      << run.err;
  EXPECT_EQ(sim.GetCounters().menuReplies, 0u);
  int exclusive = 0;
  EXPECT_EQ(::ioctl(held, TIOCGEXCL, &exclusive), 0);
  EXPECT_EQ(exclusive, 1);
  ::close(held);
}

TEST_F(CliTest, AutoExplainsAPortItCannotUseOnce) {
  SilentPort taken;
  HeldPort held(taken.Path());
  StartSim();
  const std::string path = WriteFile("fw.bin", MakeImage(2000, 4));
  const Outcome run = RunCli({"auto", path, "--ports", taken.Path() + "," + link, "--count", "1"});
  EXPECT_EQ(run.exitCode, 0) << run.err;
  EXPECT_EQ(Occurrences(run.err, taken.Path() + " not searched: held by another program."), 1)
      << run.err;
}

TEST_F(CliTest, TextFromTheChargerReachesTheTerminalEscaped) {
  chargersim::Options options;
  options.rawReply =
      "\x1b]0;owned\x07QC\x1b[2J-9\r\nSN: 12\x1b[31m34\r\nVER: V12\r\n==== Main Menu ====\r\n";
  StartSim(options);
  const Outcome run = RunCli({"info", "--ports", link});
  EXPECT_EQ(run.exitCode, 0) << run.err;
  EXPECT_EQ(run.out, "port: " + link +
                         "\ncharger: \\x1b]0;owned\\x07QC\\x1b[2J-9\nserial: 12\\x1b[31m34\n"
                         "version: V12\n");
}

TEST_F(CliTest, JsonProgressComesOncePerTenPercent) {
  StartSim();
  const std::string path = WriteFile("fw.bin", MakeImage(20480, 9));
  const Outcome run = RunCli({"flash", path, "--ports", link, "--json"});
  EXPECT_EQ(run.exitCode, 0) << run.err;
  std::vector<int> tenths;
  for (const std::string& line : Lines(run.out)) {
    const size_t at = line.find("\"percent\":");
    if (at != std::string::npos) tenths.push_back(std::stoi(line.substr(at + 10)) / 10);
  }
  EXPECT_EQ(tenths, (std::vector<int>{0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10})) << run.out;
}

TEST_F(CliTest, ProgressIsLoggedEveryTenPercentWhenStderrIsNoTerminal) {
  StartSim();
  const std::string path = WriteFile("fw.bin", MakeImage(20480, 9));
  const Outcome run = RunCli({"flash", path, "--ports", link});
  EXPECT_EQ(run.exitCode, 0) << run.err;
  std::vector<std::string> progress;
  for (const std::string& line : Lines(run.err))
    if (line.rfind("Programming", 0) == 0) progress.push_back(line);
  std::vector<std::string> expected;
  for (int percent = 10; percent <= 100; percent += 10)
    expected.push_back("Programming: " + std::to_string(percent) + "%");
  EXPECT_EQ(progress, expected);
  EXPECT_EQ(run.err.find('\r'), std::string::npos) << "no bar drawn into a log";
}

}  // namespace
