// The engine's charger link: the reply parser as the serial reader drives it, and the port
// search and probes against the simulated charger and ports that never answer.

#include <fcntl.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "engine_fixture.h"
#include "res/resource_ids.h"
#include "serial/posix_sys_io.h"

namespace enginetest {
namespace {

using Clock = std::chrono::steady_clock;

const std::string kSerialNA = "Serial number :       N/A, please see bottom label on the charger.";
const std::string kVersionNA = "Firmware version : N/A, can't read from the charger.";
const std::string kSerialDashes = "Serial number :                       - - / - -";
const std::string kVersionDashes = "Firmware version :                   - - / - - ";

std::string Reply(const std::string& versionLine) {
  return "Model A\r\nSN: 12345678\r\n" + versionLine + "\r\n==== Main Menu ====\r\n";
}

int LogCount(const RecordingSurface& surface, const std::string& entry) {
  const auto log = surface.Log();
  return static_cast<int>(std::count(log.begin(), log.end(), entry));
}

// Ports the search cannot use: one named ".../denied" is refused for want of permission,
// every other tty refuses its line settings.
struct UnusablePorts {
  serial_io::SysIo io = serial_io::RealSysIo();
  UnusablePorts() {
    io.open = [](const char* path, int flags) {
      if (std::string(path).ends_with("/denied")) return errno = EACCES, -1;
      return ::open(path, flags);
    };
    io.tcsetattr = [](int, int, const termios*) { return errno = EINVAL, -1; };
    Install();
  }
  // The table stays alive while the ports are fine again: a search thread may still be inside
  // one of its calls.
  void Install() { serial_io::SetSysIoForTests(&io); }
  void Remove() { serial_io::SetSysIoForTests(nullptr); }
  ~UnusablePorts() { Remove(); }
};

using ReplyParser = EngineFixture;

TEST_F(ReplyParser, MenuRepliesFillTheChargerLabelsAndSignalTheProbe) {
  CQuorlinDlg& dlg = StartEngineWithoutCharger();

  Receive(Reply("VER: V12"));
  EXPECT_EQ(surface.Text(ids::kChargerLine), "Model A  connected.");
  EXPECT_EQ(surface.Text(ids::kChargerSerial), "Serial number :       12345678");
  EXPECT_EQ(surface.Text(ids::kChargerVersion), "Firmware version :  V12");
  EXPECT_TRUE(dlg.m_hProbeReplyEvent.WaitFor(0));
  EXPECT_FALSE(dlg.m_hProbeReplyEvent.WaitFor(0)) << "one chunk, one signal";

  Receive(Reply("VER: V1.2"));
  EXPECT_EQ(surface.Text(ids::kChargerVersion), kVersionNA);
  EXPECT_TRUE(dlg.m_hProbeReplyEvent.WaitFor(0)) << "an unreadable version is still an answer";

  // The marker must start at index 16 or later.
  const int labelWrites = surface.TextWrites(ids::kChargerLine);
  Receive(std::string(15, 'x') + "Main Menu");
  EXPECT_EQ(surface.TextWrites(ids::kChargerLine), labelWrites);
  EXPECT_FALSE(dlg.m_hProbeReplyEvent.WaitFor(0));
  Receive(std::string(16, 'x') + "Main Menu");
  EXPECT_EQ(surface.Text(ids::kChargerLine), std::string(16, 'x') + "Main Menu  connected.");
  EXPECT_EQ(surface.Text(ids::kChargerSerial), kSerialNA);
  EXPECT_EQ(surface.Text(ids::kChargerVersion), kVersionNA);
  EXPECT_TRUE(dlg.m_hProbeReplyEvent.WaitFor(0));

  EXPECT_EQ(surface.TextWrites(ids::kLogEdit), 0) << "no echo before a charger is adopted";
  EXPECT_EQ(dlg.m_strLog.Get(), "");
}

TEST_F(ReplyParser, EchoShowsTheWholeLogAndEmptiesItPast2000Characters) {
  CQuorlinDlg& dlg = StartEngineWithoutCharger();
  dlg.m_bEchoLog = 1;

  Receive("abc");
  Receive(std::string("def\0ghi", 7));
  EXPECT_EQ(surface.Text(ids::kLogEdit), "abcdef") << "the text ends at a NUL";
  EXPECT_EQ(LogCount(surface, "scroll " + std::to_string(ids::kLogEdit)), 2);

  dlg.m_strLog.Set(std::string(1990, 'a'));
  Receive(std::string(10, 'b'));
  EXPECT_EQ(dlg.m_strLog.Get().size(), 2000u) << "exactly 2000 is kept";

  dlg.m_strLog.Set(std::string(1990, 'a'));
  Receive(std::string(20, 'b'));
  EXPECT_EQ(surface.Text(ids::kLogEdit), std::string(1990, 'a') + std::string(20, 'b'));
  EXPECT_EQ(dlg.m_strLog.Get(), "");
  Receive(std::string(10, 'c'));
  EXPECT_EQ(surface.Text(ids::kLogEdit), std::string(10, 'c'));
}

using PortSearch = EngineFixture;

// Ports ahead of the charger: two that never answer (2000 ms each, counted) around one that
// does not exist (passed over, not counted). Starting the count at 3 while the first probe
// waits makes the second silent port the fifth miss, so the same pass shows the label reset.
TEST_F(PortSearch, FindsTheChargerBehindAbsentAndSilentPorts) {
  SilentPort silent1, silent2;
  ASSERT_TRUE(StartSim());
  const std::string image = WriteFile("fw.bin", MakeImage(3000));
  std::ofstream(dir + "/config.ini") << "[File]\nPath=" << image << "\n";

  CQuorlinDlg& dlg = StartEngine(
      EngineOptions({silent1.Path(), dir + "/no-such-port", silent2.Path(), sim.SlavePath()}));
  dlg.m_nSearchFailures = 3;
  EXPECT_FALSE(surface.Enabled(ids::kUpdate)) << "no charger yet";
  ASSERT_TRUE(WaitAdopted(8s));

  EXPECT_EQ(dlg.m_nSearchFailures, 0) << "exactly the two silent ports counted";
  EXPECT_EQ(LogCount(surface, "text 1047=" + kSerialDashes), 1);
  EXPECT_EQ(LogCount(surface, "text 1045=" + kVersionDashes), 1);
  EXPECT_EQ(LogCount(surface, "text 1020=No charger connected. "), 2) << "start-up and reset";

  EXPECT_EQ(dlg.m_strPortName.Get(), sim.SlavePath());
  EXPECT_EQ(surface.ComboItems(ids::kPortCombo), std::vector<std::string>{sim.SlavePath()});
  const auto log = surface.Log();
  const auto added = std::find(log.begin(), log.end(), "combo 1026+=" + sim.SlavePath());
  ASSERT_NE(added, log.end());
  EXPECT_NE(std::find(added, log.end(), "select 1026=0"), log.end());

  EXPECT_EQ(surface.Text(ids::kChargerLine), "QC-2410 Smart Charger  connected.");
  EXPECT_EQ(surface.Text(ids::kChargerSerial), "Serial number :       12345678");
  EXPECT_EQ(surface.Text(ids::kChargerVersion), "Firmware version :  V12");
  EXPECT_EQ(dlg.m_bRecognised, 1);
  EXPECT_TRUE(surface.Enabled(ids::kUpdate)) << "a valid image was loaded at start-up";
  EXPECT_TRUE(surface.Enabled(ids::kAutoProgram));
  EXPECT_EQ(dlg.m_bEchoLog, 1);
  EXPECT_EQ(dlg.m_strLog.Get(), "") << "the search's own probe reply is not echoed";
  EXPECT_EQ(sim.GetCounters().menuReplies, 1u) << "the search ended at the first answer";
}

// A menu reply that comes while no probe waits answers the next probe, and only that one.
TEST_F(PortSearch, LateReplyAnswersTheNextProbeAtOnce) {
  SilentPort silent;
  ASSERT_TRUE(StartEngineOnSim());
  CQuorlinDlg& dlg = Dlg();
  dlg.m_bRecognised = 0;
  dlg.m_bUnitDone = 1;  // a programmed charger is not taken for a new one

  Receive(StandardMenuReply());
  auto start = Clock::now();
  EXPECT_EQ(dlg.ProbeOnSearch(silent.Path()), 1);
  EXPECT_LT(Clock::now() - start, 500ms);
  EXPECT_EQ(dlg.m_nSearchFailures, 0);
  EXPECT_EQ(dlg.m_bRecognised, 0);

  start = Clock::now();
  EXPECT_EQ(dlg.ProbeKeepAlive(silent.Path()), 0);
  EXPECT_GE(Clock::now() - start, 900ms);
  EXPECT_EQ(dlg.m_nSearchFailures, 0) << "keep-alive misses are not counted";
}

TEST_F(PortSearch, SearchAgainFindsTheChargerAgain) {
  ASSERT_TRUE(StartEngineOnSim());
  CQuorlinDlg& dlg = Dlg();
  dlg.m_bUnitDone = 1;
  dlg.m_bFailed = 1;

  Gui([&] { dlg.OnSearchAgain(); });
  EXPECT_EQ(dlg.m_bFailed, 0);
  EXPECT_EQ(LogCount(surface, "text 1020=Reseraching... "), 1);
  ASSERT_TRUE(WaitFor([&] { return dlg.m_bSearching == 0 && dlg.m_bRecognised == 1; }, 5s));
  EXPECT_EQ(surface.ComboItems(ids::kPortCombo),
            (std::vector<std::string>{sim.SlavePath(), sim.SlavePath()}));
  EXPECT_EQ(dlg.m_bUnitDone, 0);
  EXPECT_EQ(surface.Text(ids::kChargerLine), "QC-2410 Smart Charger  connected.");
}

// The command-line face reports unusable ports in its own words: the engine keeps each
// port's reason, shows no box, and forgets a port once it opens.
TEST_F(PortSearch, UnusablePortsAreRecordedWithTheirReasonInsteadOfBoxes) {
  SilentPort silent;
  UnusablePorts faults;
  CQuorlinDlg::Options options = EngineOptions({dir + "/denied", dir + "/missing", silent.Path()});
  options.portFailureBoxes = false;
  CQuorlinDlg& dlg = StartEngine(std::move(options));
  ASSERT_TRUE(WaitFor([&] { return dlg.UnsearchedPorts().size() == 3; }, 5s));
  std::this_thread::sleep_for(600ms);  // further passes add nothing

  const auto ports = dlg.UnsearchedPorts();
  ASSERT_EQ(ports.size(), 3u);
  EXPECT_EQ(ports[0].port, dir + "/denied");
  EXPECT_EQ(ports[0].problem, PortProblem::Denied);
  EXPECT_EQ(ports[1].problem, PortProblem::Missing);
  EXPECT_EQ(ports[2].port, silent.Path());
  EXPECT_EQ(ports[2].problem, PortProblem::NotConfigurable);
  EXPECT_EQ(ports[2].error, EINVAL);
  EXPECT_TRUE(surface.MessageBoxes().empty());

  faults.Remove();
  ASSERT_TRUE(WaitFor([&] { return dlg.UnsearchedPorts().size() == 2; }, 5s));
  EXPECT_EQ(dlg.UnsearchedPorts()[0].problem, PortProblem::Missing) << "the reason follows";
  StopEngine();
}

// The window tells each unusable port once, not on every pass: the channel's Chinese text with
// a line naming the port and the reason, the permission hint; again only after the port opened.
TEST_F(PortSearch, WindowTellsEachFailingPortOnceUntilItOpens) {
  SilentPort silent;
  UnusablePorts faults;
  CQuorlinDlg& dlg = StartEngine(EngineOptions({dir + "/denied", silent.Path()}));
  ASSERT_TRUE(WaitFor([&] { return surface.MessageBoxes().size() >= 2; }, 5s));
  const int passes = 6;  // an idle pass pauses 250 ms
  std::this_thread::sleep_for(passes * 300ms);
  const std::string hint = "Cannot open " + dir + "/denied: permission denied. " + kDialoutHint;
  const std::string configure = "无法按当前参数配置端口，请检查参数!\nThe port " + silent.Path() +
                                " could not be set to 115200 baud 8N1 (Invalid argument).";
  EXPECT_EQ(surface.MessageBoxes(), (std::vector<std::string>{hint, configure}));

  faults.Remove();
  ASSERT_TRUE(WaitFor([&] { return dlg.UnsearchedPorts().size() == 1; }, 5s)) << "it opened";
  faults.Install();
  ASSERT_TRUE(WaitFor([&] { return surface.MessageBoxes().size() == 3; }, 5s));
  std::this_thread::sleep_for(passes * 300ms);
  StopEngine();
  EXPECT_EQ(surface.MessageBoxes(), (std::vector<std::string>{hint, configure, configure}))
      << "told again after it opened, once";
}

}  // namespace
}  // namespace enginetest
