// Programming sessions through the engine against the simulated charger: success, refusal,
// the watchdog and a success that comes after it.

#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "engine_fixture.h"
#include "res/resource_ids.h"

namespace enginetest {
namespace {

constexpr int kButtonsBack[] = {ids::kSearchAgain, ids::kOpen, ids::kAutoProgram};

std::vector<std::string> Entries(const RecordingSurface& surface, const std::string& prefix) {
  std::vector<std::string> found;
  for (const auto& entry : surface.Log())
    if (entry.rfind(prefix, 0) == 0) found.push_back(entry.substr(prefix.size()));
  return found;
}

class Session : public EngineFixture {
 protected:
  // A charger found and an image opened, as the operator has them before "Update".
  void Ready(chargersim::Options simOptions, size_t imageSize, int watchdogMs = 1500) {
    ASSERT_TRUE(StartEngineOnSim(std::move(simOptions), [&](CQuorlinDlg::Options& options) {
      options.watchdogMs = watchdogMs;
    }));
    image = MakeImage(imageSize);
    OpenFile(WriteFile("fw.bin", image));
    ASSERT_TRUE(surface.Enabled(ids::kUpdate));
  }

  // Bytes reach the charger in order, so once it has answered a later "0" it has seen
  // everything written before.
  void SyncWithCharger() {
    const unsigned replies = sim.GetCounters().menuReplies;
    Gui([&] { Dlg().OnGetInfo(); });
    ASSERT_TRUE(WaitFor([&] { return sim.GetCounters().menuReplies > replies; }, 3s));
  }

  std::vector<uint8_t> image;
};

TEST_F(Session, ProgramsTheImageOnceAndReportsSuccess) {
  // The transfer takes about a second; this watchdog must not fire on a slow machine.
  ASSERT_NO_FATAL_FAILURE(Ready({}, 3000, 5000));
  CQuorlinDlg& dlg = Dlg();

  Gui([&] {
    dlg.StartProgramming();
    dlg.StartProgramming();  // a second click is absorbed
  });
  EXPECT_TRUE(surface.Enabled(ids::kUpdate));
  // Cancelling the watchdog is the success's last step.
  ASSERT_TRUE(
      WaitFor([&] { return dlg.m_nSucceeded == 1 && !surface.TimerArmed(ids::kWatchdogTimer); }));
  ASSERT_TRUE(sim.WaitForSessions(1, 3s));

  const auto sessions = sim.Sessions();
  ASSERT_EQ(sessions.size(), 1u);
  EXPECT_TRUE(sessions[0].ok) << sessions[0].Summary();
  EXPECT_EQ(sessions[0].fileName, "fw.bin");
  EXPECT_EQ(sim.ReceivedImage(), image);
  EXPECT_EQ(simLog.Count("'1' -> loader"), 1);

  EXPECT_EQ(surface.Text(ids::kPercent), "100%");
  EXPECT_EQ(surface.ProgressPos(), 100);
  EXPECT_EQ(surface.Text(ids::kSessionLabel), "Program succeeded.");
  EXPECT_EQ(dlg.m_bUnitDone, 1);
  EXPECT_EQ(dlg.m_bProgramming, 0);
  EXPECT_EQ(dlg.m_bTransferring, 0);
  EXPECT_EQ(dlg.m_bFailed, 0);
  EXPECT_EQ(dlg.m_nFailed, 0);
  EXPECT_FALSE(surface.TimerArmed(ids::kWatchdogTimer));
  EXPECT_EQ(surface.TimerInterval(ids::kWatchdogTimer), 0);
  EXPECT_EQ(Entries(surface, "timer 1="), std::vector<std::string>{"5000"});
  for (int id : kButtonsBack) EXPECT_TRUE(surface.Enabled(id)) << id;

  // The buttons go off in this order when the session starts, and the bar only moves on.
  const std::vector<std::string> enables = Entries(surface, "enable ");
  const std::vector<std::string> off = {"1032=0", "1029=0", "57601=0"};
  EXPECT_NE(std::search(enables.begin(), enables.end(), off.begin(), off.end()), enables.end());
  std::vector<int> positions;
  for (const std::string& pos : Entries(surface, "progress ")) positions.push_back(std::stoi(pos));
  EXPECT_TRUE(std::is_sorted(positions.begin(), positions.end()));
  // The charger's transfer replies are echoed once the session has started.
  EXPECT_EQ(surface.Text(ids::kLogEdit).substr(0, 1), "C");
}

TEST_F(Session, RefusedStartsSendNothing) {
  ASSERT_TRUE(StartEngineOnSim());
  CQuorlinDlg& dlg = Dlg();
  Gui([&] { dlg.StartProgramming(); });
  EXPECT_EQ(surface.MessageBoxes(), std::vector<std::string>{"Please open the binary file first!"});

  // Valid for the updater, but more than the charger's buffer holds.
  OpenFile(WriteFile("big.bin", MakeImage(40961)));
  ASSERT_EQ(dlg.m_bImageValid, 1);
  Gui([&] { dlg.StartProgramming(); });
  const auto boxes = surface.MessageBoxes();
  ASSERT_EQ(boxes.size(), 2u);
  EXPECT_NE(boxes[1].find("40961"), std::string::npos) << boxes[1];
  EXPECT_NE(boxes[1].find("40960"), std::string::npos) << boxes[1];

  ASSERT_NO_FATAL_FAILURE(SyncWithCharger());
  EXPECT_FALSE(simLog.Contains("'1'"));
  EXPECT_EQ(sim.GetCounters().ignoredCommands, 0u);
  EXPECT_EQ(dlg.m_bProgramming, 0);
  EXPECT_FALSE(surface.TimerArmed(ids::kWatchdogTimer));
  EXPECT_EQ(surface.Text(ids::kSessionLabel), "");
}

TEST_F(Session, WatchdogFailsASessionTheChargerNeverAnswers) {
  chargersim::Options options;
  options.silentAfter1 = true;
  ASSERT_NO_FATAL_FAILURE(Ready(options, 3000));
  CQuorlinDlg& dlg = Dlg();

  Gui([&] { dlg.StartProgramming(); });
  EXPECT_EQ(surface.Text(ids::kSessionLabel), "Programming...");
  for (int id : kButtonsBack) EXPECT_FALSE(surface.Enabled(id)) << id;
  ASSERT_TRUE(WaitFor([&] { return dlg.m_nFailed == 1; }, 4s));
  Gui([] {});  // the expiry's handler has run to its end

  EXPECT_EQ(surface.Text(ids::kSessionLabel), "Program failed.");
  EXPECT_EQ(dlg.m_bFailed, 1);
  EXPECT_EQ(dlg.m_bProgramming, 0);
  EXPECT_EQ(dlg.m_bTransferring, 0);
  EXPECT_EQ(dlg.m_nSucceeded, 0);
  EXPECT_FALSE(surface.TimerArmed(ids::kWatchdogTimer));
  for (int id : kButtonsBack) EXPECT_TRUE(surface.Enabled(id)) << id;
  EXPECT_EQ(simLog.Count("'1'"), 1);
}

// Tests shorten the watchdog; what ships must stay the 35 s the chargers are known to need.
TEST_F(Session, ShippedWatchdogIs35Seconds) {
  chargersim::Options options;
  options.silentAfter1 = true;
  ASSERT_NO_FATAL_FAILURE(Ready(options, 3000, CQuorlinDlg::Options{}.watchdogMs));
  Gui([&] { Dlg().StartProgramming(); });
  EXPECT_TRUE(surface.TimerArmed(ids::kWatchdogTimer));
  EXPECT_EQ(surface.TimerInterval(ids::kWatchdogTimer), 35000);
}

// The watchdog ends the bookkeeping, not the transfer: a charger slower than the watchdog
// still gets its image and the session counts both ways.
TEST_F(Session, SuccessAfterTheWatchdogCountsBothWays) {
  chargersim::Options options;
  options.replyDelay = 150ms;  // even the first 'C' comes after the watchdog
  ASSERT_NO_FATAL_FAILURE(Ready(options, 3000, 50));
  CQuorlinDlg& dlg = Dlg();

  Gui([&] { dlg.StartProgramming(); });
  // Both the expiry and the success cancel the watchdog, each as its last step.
  ASSERT_TRUE(
      WaitFor([&] { return dlg.m_nSucceeded == 1 && Entries(surface, "kill 1").size() == 2; }));
  ASSERT_TRUE(sim.WaitForSessions(1, 3s));
  EXPECT_EQ(sim.ReceivedImage(), image);

  EXPECT_EQ(dlg.m_nFailed, 1);
  EXPECT_EQ(dlg.m_bFailed, 1);
  EXPECT_EQ(dlg.m_bUnitDone, 1);
  EXPECT_EQ(dlg.m_bProgramming, 0);
  EXPECT_EQ(Entries(surface, "text 1021="),
            (std::vector<std::string>{"", "Programming...", "Program failed.", "Programming...",
                                      "Program succeeded."}));
  for (int id : kButtonsBack) EXPECT_TRUE(surface.Enabled(id)) << id;
}

// How sessions end for the faces: each end reported once, with how far it got; a session cut
// short leaves the charger out of its loader.
class SessionEnds : public Session {
 protected:
  void Listen() {
    Dlg().SetSessionEndListener([this](const SessionEnd& end) {
      std::lock_guard lock(mutex);
      ends.push_back(end);
    });
  }
  std::vector<SessionEnd> Ends() {
    std::lock_guard lock(mutex);
    return ends;
  }
  // The second block arrived, so the first one's acknowledgement is in.
  bool MidTransfer() {
    return WaitFor([&] { return simLog.Count("image bytes") >= 2; }, 10s);
  }
  bool PortHeldExclusively() {
    const int fd = ::open(sim.SlavePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    int exclusive = -1;
    ::ioctl(fd, TIOCGEXCL, &exclusive);
    ::close(fd);
    return exclusive != 0;
  }

  std::mutex mutex;
  std::vector<SessionEnd> ends;
};

TEST_F(SessionEnds, SuccessAndWatchdogAreReportedWithHowFarTheyGot) {
  chargersim::Options slow;
  slow.replyDelay = 150ms;  // the watchdog fires first, the image still arrives
  ASSERT_NO_FATAL_FAILURE(Ready(slow, 3000, 50));
  Listen();
  Gui([&] { Dlg().StartProgramming(); });
  ASSERT_TRUE(WaitFor([&] { return Ends().size() == 2; }));
  const auto reported = Ends();
  EXPECT_EQ(reported[0].result, SessionEnd::Result::Failed);
  EXPECT_NE(reported[0].reason.find("did not finish within 0.05 s (after 0 of 3000 bytes)"),
            std::string::npos)
      << reported[0].reason;
  EXPECT_EQ(reported[1].result, SessionEnd::Result::Succeeded);
  EXPECT_EQ(reported[1].reason, "");
  for (const SessionEnd& end : reported) {
    EXPECT_EQ(end.port, sim.SlavePath());
    EXPECT_EQ(end.imageSize, 3000u);
  }
  EXPECT_EQ(reported[1].bytesSent, 3000u);
  EXPECT_GE(reported[1].duration, reported[0].duration);
}

TEST_F(SessionEnds, ClosingTheWindowMidTransferCancelsAndCountsAFailure) {
  chargersim::Options slow;
  slow.replyDelay = 100ms;
  ASSERT_NO_FATAL_FAILURE(Ready(slow, 20000, 30000));
  Listen();
  Gui([&] { Dlg().StartProgramming(); });
  ASSERT_TRUE(MidTransfer());
  CQuorlinDlg& dlg = Dlg();
  Gui([&] { dlg.Shutdown(); });

  EXPECT_TRUE(WaitFor([&] { return simLog.Contains("cancelled by the sender"); }, 2s));
  EXPECT_EQ(dlg.m_nFailed, 1);
  EXPECT_EQ(dlg.m_nSucceeded, 0);
  const auto reported = Ends();
  ASSERT_EQ(reported.size(), 1u);
  EXPECT_EQ(reported[0].result, SessionEnd::Result::Cancelled);
  EXPECT_GT(reported[0].bytesSent, 0u);
  EXPECT_LT(reported[0].bytesSent, 20000u);
  EXPECT_NE(reported[0].reason.find("the updater was closed"), std::string::npos);
}

TEST_F(SessionEnds, EmergencyReleaseCancelsAndFreesThePortWithoutWaiting) {
  chargersim::Options slow;
  slow.replyDelay = 100ms;
  ASSERT_NO_FATAL_FAILURE(Ready(slow, 20000, 30000));
  Gui([&] { Dlg().StartProgramming(); });
  ASSERT_TRUE(MidTransfer());
  ASSERT_TRUE(PortHeldExclusively());
  // From a thread of its own, as the signal thread calls it.
  std::thread([&] { Dlg().EmergencyRelease(); }).join();
  EXPECT_TRUE(WaitFor([&] { return simLog.Contains("cancelled by the sender"); }, 2s));
  EXPECT_FALSE(PortHeldExclusively());
}

}  // namespace
}  // namespace enginetest
