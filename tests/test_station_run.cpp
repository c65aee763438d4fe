// The station behind its window, run as the window runs it: its conductor and one worker
// process per port, against simulated chargers on real ptys; what the rows, the totals and the
// record say afterwards.

#include <signal.h>

#include "production_fixture.h"
#include "station/station.h"

namespace {

using namespace prodtest;
using namespace std::chrono_literals;

class StationRunTest : public ProductionTest {
 protected:
  ~StationRunTest() override { station.reset(); }

  void Open(const std::string& image, double timeoutSeconds = 35, int count = 0) {
    Station::Options options;
    options.run.count = count;
    for (const auto& charger : chargers) options.run.ports.push_back(charger->link);
    options.run.image = image;
    options.run.timeoutSeconds = timeoutSeconds;
    options.run.recordPath = record;
    options.configPath = dir + "/config.ini";
    options.workerProgram = CLI_PATH;
    std::string problem;
    int status = 0;
    station = Station::Open(options, &problem, &status);
    ASSERT_TRUE(station) << problem;
  }

  // Every row as the window would draw it now.
  std::vector<RowCells> Rows() {
    auto frame = station->Model().TakeFrame(StationModel::Clock::now() + 1h);
    for (auto& [index, cells] : frame.rows) drawn[index] = cells;
    return drawn;
  }

  bool Stopped(std::chrono::milliseconds timeout) {
    return Eventually([&] { return station->Model().GetRun() == StationModel::Run::Stopped; },
                      timeout);
  }

  int RecordRows() { return static_cast<int>(Lines(ReadFile(record)).size()) - 1; }

  std::string record = dir + "/line4.csv";
  std::unique_ptr<Station> station;
  std::vector<RowCells> drawn = std::vector<RowCells>(8);
};

// Four ports, one charger silent after "1": three green rows, one red with its reason, and
// a record row for each.
TEST_F(StationRunTest, FourPortsOneSilentChargerGivesThreePassedAndOneFailedRow) {
  AddCharger("SN0001");
  AddCharger("SN0002");
  chargersim::Options silent;
  silent.silentAfter1 = true;
  AddCharger("SN0003", silent);
  AddCharger("SN0004");
  Open(Image("V20"), 3);
  station->Start();
  ASSERT_EQ(station->Model().GetRun(), StationModel::Run::Running);
  ASSERT_TRUE(Eventually([&] { return station->Model().GetTotals().failed == 1; }, 20s));
  ASSERT_TRUE(Eventually([&] { return station->Model().GetTotals().passed == 3; }, 20s));

  const std::vector<RowCells> rows = Rows();
  for (size_t i : {0u, 1u, 3u}) {
    EXPECT_EQ(rows[i].state, "passed") << i;
    EXPECT_EQ(rows[i].colour, RowColour::Green) << i;
    EXPECT_EQ(rows[i].serial, "SN000" + std::to_string(i + 1));
  }
  EXPECT_EQ(rows[2].state, "failed");
  EXPECT_EQ(rows[2].colour, RowColour::Red);
  EXPECT_NE(rows[2].reason.find("timed out"), std::string::npos) << rows[2].reason;
  EXPECT_EQ(rows[2].versionBefore, "V12");
  EXPECT_TRUE(Eventually([&] { return RecordRows() == 4; }));
  const std::string text = ReadFile(record);
  EXPECT_EQ(Lines(text).front().rfind("time,host,port,", 0), 0u);
  EXPECT_NE(text.find(chargers[2]->link + ",QC-2410 Smart Charger,SN0003,V12,fw.bin"),
            std::string::npos)
      << text;
  // Stays red while the silent charger stays where it is.
  std::this_thread::sleep_for(1500ms);
  EXPECT_EQ(Rows()[2].state, "failed");
  station->Stop();
  EXPECT_TRUE(Stopped(10s));
}

// Stop in the middle of four transfers: every charger gets the cancel and leaves its loader,
// every row says cancelled, the record keeps each.
TEST_F(StationRunTest, StopCancelsEveryTransferInFlight) {
  chargersim::Options slow;
  slow.baud = 9600;  // 4 s a block: the transfers are still under way when Stop comes
  for (const char* serial : {"SN0011", "SN0012", "SN0013", "SN0014"}) AddCharger(serial, slow);
  Open(Image("V20", 20000));
  station->Start();
  ASSERT_TRUE(Eventually(
      [&] {
        for (const auto& charger : chargers)
          if (!charger->log.Contains("STX block 1")) return false;
        return true;
      },
      20s));
  EXPECT_EQ(station->Model().Busy(), 4);
  station->Stop();
  EXPECT_EQ(station->Model().GetRun(), StationModel::Run::Stopping);
  ASSERT_TRUE(Stopped(20s));

  for (const auto& charger : chargers) {
    ASSERT_TRUE(charger->sim.WaitForSessions(1, 5000ms)) << charger->link;
    EXPECT_EQ(charger->sim.Sessions().front().failure, "cancelled by the sender") << charger->link;
  }
  const std::vector<RowCells> rows = Rows();
  for (size_t i = 0; i < 4; ++i) {
    EXPECT_EQ(rows[i].state, "cancelled") << i;
    EXPECT_EQ(rows[i].colour, RowColour::Amber) << i;
  }
  EXPECT_EQ(station->Model().GetTotals().cancelled, 4);
  EXPECT_EQ(station->Model().Busy(), 0);
  EXPECT_EQ(RecordRows(), 4);
  EXPECT_EQ(Lines(ReadFile(record)).back().find(",succeeded,"), std::string::npos);
}

// A worker killed mid-transfer leaves a failed row; the other port goes on undisturbed.
TEST_F(StationRunTest, AWorkerKilledLeavesAFailedRowAndTheOtherPortGoesOn) {
  chargersim::Options slow;
  slow.replyDelay = 100ms;
  Charger& doomed = AddCharger("DOOMED", slow);
  AddCharger("FINE", slow);
  Open(Image("V20", 6000));
  station->Start();
  ASSERT_TRUE(Eventually([&] { return doomed.log.Contains("STX block 2"); }, 20s));
  const pid_t worker = ChildWith(::getpid(), doomed.link);
  ASSERT_GT(worker, 0);
  ::kill(worker, SIGKILL);

  ASSERT_TRUE(Eventually([&] { return Rows()[0].state == "failed"; }, 20s));
  EXPECT_EQ(Rows()[0].colour, RowColour::Red);
  EXPECT_NE(Rows()[0].reason, "");
  ASSERT_TRUE(Eventually([&] { return Rows()[1].state == "passed"; }, 20s));
  EXPECT_TRUE(chargers[1]->sim.Sessions().front().ok);
  station->Stop();
  EXPECT_TRUE(Stopped(10s));
  EXPECT_GE(RecordRows(), 2);
}

// --count ends the run by itself; Start and Stop pressed in quick succession leave nothing
// running.
TEST_F(StationRunTest, CountEndsTheRunByItself) {
  AddCharger("SN0021");
  AddCharger("SN0022");
  Open(Image("V20"));
  station->Start();
  station->Start();  // a second press while it runs changes nothing
  station->Stop();
  ASSERT_TRUE(Stopped(10s));

  station.reset();
  Open(dir + "/fw.bin", 35, 1);
  station->Start();
  ASSERT_TRUE(Stopped(20s));
  EXPECT_EQ(station->Model().GetTotals().passed, 1);
}

}  // namespace
