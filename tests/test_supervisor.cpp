// The supervisor, auto-program mode and the status panel, against the simulated charger.

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "engine_fixture.h"
#include "res/resource_ids.h"
#include "serial/serial_port.h"

namespace {

using namespace enginetest;

const std::string kSearching = "The updater is searching... ";
const std::string kTimedOut = "Timed out, program failed. ";
const std::string kKeepCable = "Please do NOT plug out the cable.";
const std::string kNextCharger = "Disconnet the charger and connect new one.";

std::string TextEntry(int id, const std::string& text) {
  return "text " + std::to_string(id) + "=" + text;
}

size_t CountEntries(const std::vector<std::string>& log, size_t from, size_t to,
                    const std::string& entry) {
  return static_cast<size_t>(std::count(log.begin() + static_cast<long>(from),
                                        log.begin() + static_cast<long>(to), entry));
}

size_t FindEntry(const std::vector<std::string>& log, size_t from, const std::string& entry) {
  return static_cast<size_t>(std::find(log.begin() + static_cast<long>(from), log.end(), entry) -
                             log.begin());
}

class SupervisorTest : public EngineFixture {
 protected:
  SupervisorTest() : link(dir + "/ttyCharger") {}

  // The simulator behind a link whose target changes on every replug, and the engine with
  // its supervisor watching that link.
  bool StartSupervised(chargersim::Options simOptions = {}) {
    simOptions.linkPath = link;
    return StartEngineOnSim(simOptions, [this](CQuorlinDlg::Options& options) {
      options.ports = {link};
      options.startSupervisor = true;
    });
  }

  void LoadImage(const std::vector<uint8_t>& bytes) {
    const std::string path = WriteFile("fw.bin", bytes);
    Gui([&] {
      Dlg().m_strImagePath.Set(path);
      Dlg().LoadImage();
    });
  }

  std::string Status() const { return surface.Text(ids::kStatic); }

  // Any byte reaching the loader between its blocks is a probe sent into a session.
  void ExpectNoProbeDuringSessions() const {
    for (const std::string& line : simLog.Lines())
      EXPECT_EQ(line.find("stray"), std::string::npos) << line;
    for (const auto& session : sim.Sessions()) EXPECT_EQ(session.rejected, 0u);
  }

  const std::string link;
};

TEST_F(SupervisorTest, StatusPanelShowsTheFirstRowThatHolds) {
  // No OnInitDialog: no search, no supervisor; only the flags decide.
  dlg = std::make_unique<CQuorlinDlg>(surface, g_serial, EngineOptions({dir + "/none"}));
  CQuorlinDlg& d = Dlg();
  d.m_nSucceeded = 3;
  d.m_nFailed = 12;

  struct Row {
    int recognised, loaded, valid, failed, programming, done, autoProgram;
    std::string status;
    std::string hint;  // empty: the hint line is not written
  };
  // Each row also satisfies the conditions of the rows below it, so only the order decides.
  const std::vector<Row> rows = {
      {0, 0, 0, 1, 1, 1, 1, kSearching, ""},
      {1, 0, 0, 1, 1, 1, 1, "Charger connected. ", ""},
      {1, 1, 0, 1, 1, 1, 1, "Not valid file. ", ""},
      {1, 1, 1, 1, 1, 1, 1, kTimedOut, ""},
      {1, 1, 1, 0, 1, 1, 1, "Auto programming...  ", kKeepCable},
      {1, 1, 1, 0, 1, 1, 0, "Updating...  ", kKeepCable},
      {1, 1, 1, 0, 0, 1, 1, "Auto program succeeded. ", kNextCharger},
      {1, 1, 1, 0, 0, 1, 0, "Update succeeded. ", kNextCharger},
      {1, 1, 1, 0, 0, 0, 1, "Auto programming... ", ""},
      {1, 1, 1, 0, 0, 0, 0, "Ready to update.", ""},
  };
  for (size_t i = 0; i < rows.size(); ++i) {
    const Row& row = rows[i];
    SCOPED_TRACE("row " + std::to_string(i + 1));
    d.m_bRecognised = row.recognised;
    d.m_bImageLoaded = row.loaded;
    d.m_bImageValid = row.valid;
    d.m_bFailed = row.failed;
    d.m_bProgramming = row.programming;
    d.m_bUnitDone = row.done;
    d.m_bAutoProgram = row.autoProgram;
    const size_t before = surface.Log().size();
    d.UpdateStatusPanel();

    std::vector<std::string> expected = {
        TextEntry(ids::kCountLine, "===  3 succeeded ===  12 failed ==="),
        TextEntry(ids::kStatic, row.status)};
    if (!row.hint.empty()) expected.push_back(TextEntry(ids::kHintLine, row.hint));
    const std::vector<std::string> log = surface.Log();
    EXPECT_EQ(std::vector<std::string>(log.begin() + static_cast<long>(before), log.end()),
              expected);
  }
  // Rows without a hint left the last one standing.
  EXPECT_EQ(surface.Text(ids::kHintLine), kNextCharger);
}

TEST_F(SupervisorTest, UnplugResetsTheWindowInTheFirstUnansweredCycle) {
  ASSERT_TRUE(StartSupervised());
  LoadImage(MakeImage(3000));
  ASSERT_TRUE(WaitFor([&] { return Status() == "Ready to update."; }));
  EXPECT_TRUE(surface.Enabled(ids::kUpdate));

  Gui([&] { Dlg().StartProgramming(); });
  ASSERT_TRUE(WaitFor([&] {
    return Status() == "Update succeeded. " && surface.Text(ids::kHintLine) == kNextCharger;
  }));
  EXPECT_EQ(surface.Text(ids::kPercent), "100%");
  EXPECT_EQ(surface.Text(ids::kSessionLabel), "Program succeeded.");

  const size_t unplugged = surface.Log().size();
  ASSERT_TRUE(sim.Unplug());
  ASSERT_TRUE(WaitFor([&] { return Status() == kSearching; }, 5s));
  const std::vector<std::string> log = surface.Log();
  const size_t reset =
      FindEntry(log, unplugged, TextEntry(ids::kChargerLine, "No charger connected."));
  ASSERT_LT(reset, log.size());
  // Only the cycle already under way when the cable went may end before the reset.
  EXPECT_LE(CountEntries(log, unplugged, reset,
                         TextEntry(ids::kCountLine, "===  1 succeeded ===  0 failed ===")),
            1u);
  const std::vector<std::string> resetEntries = {
      TextEntry(ids::kChargerLine, "No charger connected."),
      TextEntry(ids::kChargerSerial, "Serial number :                   - - / - -"),
      TextEntry(ids::kChargerVersion, "Firmware version :             - - / - - "),
      "range 0..100",
      "progress 0",
      TextEntry(ids::kPercent, ""),
      TextEntry(ids::kLogEdit, ""),
      TextEntry(ids::kSessionLabel, ""),
      "enable 1005=0"};
  ASSERT_GE(log.size(), reset + resetEntries.size());
  EXPECT_EQ(std::vector<std::string>(log.begin() + static_cast<long>(reset),
                                     log.begin() + static_cast<long>(reset + resetEntries.size())),
            resetEntries);
  EXPECT_EQ(Dlg().m_bUnitDone, 0);

  // Back on the same port name: recognised again, ready for a new session.
  ASSERT_TRUE(sim.Replug());
  ASSERT_TRUE(WaitFor([&] { return Status() == "Ready to update."; }, 5s));
  EXPECT_TRUE(surface.Enabled(ids::kUpdate));
  EXPECT_EQ(surface.Text(ids::kChargerLine), "QC-2410 Smart Charger  connected.");
  EXPECT_EQ(sim.Sessions().size(), 1u);
}

TEST_F(SupervisorTest, TimedOutSessionKeepsItsStatusThroughTheGracePeriod) {
  chargersim::Options options;
  options.silentAfter1 = true;
  ASSERT_TRUE(StartSupervised(options));
  LoadImage(MakeImage(3000));
  ASSERT_TRUE(WaitFor([&] { return Status() == "Ready to update."; }));

  // Unplugged before the watchdog fires, so every probe after the failure goes unanswered.
  // The failed port ends the session at once, so the panel is let show the session first.
  Gui([&] { Dlg().StartProgramming(); });
  ASSERT_TRUE(WaitFor([&] { return Status() == "Updating...  "; }, 3s));
  ASSERT_TRUE(sim.Unplug());
  ASSERT_TRUE(WaitFor([&] { return Status() == kTimedOut; }, 5s));

  // A count that passed 3 resets in the same cycle, so it is never seen standing at 4.
  ASSERT_TRUE(WaitFor([&] { return Dlg().m_nMissCount == 3; }, 6s));
  const size_t thirdMiss = surface.Log().size();
  EXPECT_EQ(Status(), kTimedOut);
  EXPECT_EQ(surface.Text(ids::kChargerLine), "QC-2410 Smart Charger  connected.");
  EXPECT_EQ(Dlg().m_bFailed, 1);

  ASSERT_TRUE(WaitFor([&] { return Status() == kSearching; }, 3s));
  EXPECT_EQ(surface.Text(ids::kChargerLine), "No charger connected.");
  EXPECT_EQ(Dlg().m_bFailed, 0);
  EXPECT_EQ(Dlg().m_nMissCount, 0);
  EXPECT_EQ(surface.Text(ids::kCountLine), "===  0 succeeded ===  1 failed ===");
  EXPECT_EQ(surface.Text(ids::kHintLine), kKeepCable);

  const std::vector<std::string> log = surface.Log();
  const size_t reset =
      FindEntry(log, thirdMiss, TextEntry(ids::kChargerLine, "No charger connected."));
  // The third cycle's own panel at most; the fourth cycle resets.
  EXPECT_LE(CountEntries(log, thirdMiss, reset, TextEntry(ids::kStatic, kTimedOut)), 1u);
}

TEST_F(SupervisorTest, AutoProgramsEachNewChargerOnceOnTheSamePort) {
  ASSERT_TRUE(StartSupervised());
  Gui([&] { Dlg().ToggleAutoProgram(); });
  EXPECT_EQ(surface.MessageBoxes(), std::vector<std::string>{"Please open the binary file first!"});
  EXPECT_EQ(Dlg().m_bAutoProgram, 0);

  const std::vector<uint8_t> image = MakeImage(6000, 9);
  LoadImage(image);
  ASSERT_TRUE(WaitFor([&] { return Status() == "Ready to update."; }));
  Gui([&] { Dlg().ToggleAutoProgram(); });
  EXPECT_EQ(surface.Text(ids::kAutoProgram), "Disable AutoProgram");
  for (int id : {ids::kUpdate, ids::kSearchAgain, ids::kOpen}) EXPECT_FALSE(surface.Enabled(id));
  ASSERT_TRUE(sim.WaitForSessions(1, 10s));
  ASSERT_TRUE(WaitFor([&] {
    return Status() == "Auto program succeeded. " && surface.Text(ids::kHintLine) == kNextCharger;
  }));

  // Still connected and answering: not programmed again.
  const unsigned replies = sim.GetCounters().menuReplies;
  ASSERT_TRUE(WaitFor([&] { return sim.GetCounters().menuReplies >= replies + 3; }));
  EXPECT_EQ(sim.Sessions().size(), 1u);
  EXPECT_EQ(Dlg().m_nSucceeded, 1);

  ASSERT_TRUE(sim.Unplug());
  ASSERT_TRUE(WaitFor([&] { return Status() == kSearching; }, 5s));
  ASSERT_TRUE(sim.Replug());
  ASSERT_TRUE(sim.WaitForSessions(2, 10s));
  ASSERT_TRUE(WaitFor([&] {
    return surface.Text(ids::kCountLine) == "===  2 succeeded ===  0 failed ===" &&
           Status() == "Auto program succeeded. ";
  }));

  const auto sessions = sim.Sessions();
  ASSERT_EQ(sessions.size(), 2u);
  for (const auto& session : sessions) {
    EXPECT_TRUE(session.ok) << session.failure;
    EXPECT_EQ(session.image, image);
  }
  // In auto-program mode a recognised charger does not offer "Update".
  EXPECT_FALSE(surface.Enabled(ids::kUpdate));
  ExpectNoProbeDuringSessions();

  Gui([&] { Dlg().ToggleAutoProgram(); });
  EXPECT_EQ(surface.Text(ids::kAutoProgram), "Enable AutoProgram");
  for (int id : {ids::kUpdate, ids::kSearchAgain, ids::kOpen}) EXPECT_TRUE(surface.Enabled(id));
}

TEST_F(SupervisorTest, SendsNothingWhileTheSearchRuns) {
  ASSERT_TRUE(StartSim());
  SilentPort silent;
  CQuorlinDlg::Options options = EngineOptions({silent.Path()});
  options.startSupervisor = true;
  dlg = std::make_unique<CQuorlinDlg>(surface, g_serial, std::move(options));
  // A supervisor that probed would probe the charger here.
  Dlg().m_strPortName.Set(sim.SlavePath());
  Gui([&] { Dlg().OnInitDialog(); });

  ASSERT_TRUE(WaitFor([&] { return surface.TextWrites(ids::kStatic) >= 10; }));
  EXPECT_EQ(Dlg().m_bSearching, 1);
  EXPECT_EQ(Status(), kSearching);
  EXPECT_EQ(sim.GetCounters().menuReplies, 0u);
  EXPECT_FALSE(simLog.Contains("->"));
}

}  // namespace
