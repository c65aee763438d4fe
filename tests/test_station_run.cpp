// The station behind its window, run as the window runs it: its conductor and one worker
// process per port, against simulated chargers on real ptys; what the rows, the totals and the
// record say afterwards.

#include <signal.h>

#include "image/profile.h"
#include "image/sha256.h"
#include "production_fixture.h"
#include "record_server.h"
#include "station/station.h"

namespace {

using namespace prodtest;
using namespace std::chrono_literals;

class StationRunTest : public ProductionTest {
 protected:
  ~StationRunTest() override { station.reset(); }

  // The station's options for every charger added so far, its record in `record`.
  Station::Options Defaults(const std::string& image, double timeoutSeconds = 35, int count = 0) {
    Station::Options options;
    options.run.count = count;
    for (const auto& charger : chargers) options.run.ports.push_back(charger->link);
    options.run.image = image;
    options.run.timeoutSeconds = timeoutSeconds;
    options.run.recordPath = record;
    options.configPath = dir + "/config.ini";
    options.workerProgram = CLI_PATH;
    return options;
  }

  void Open(const Station::Options& options) {
    std::string problem;
    int status = 0;
    station = Station::Open(options, &problem, &status);
    ASSERT_TRUE(station) << problem;
  }

  void Open(const std::string& image, double timeoutSeconds = 35, int count = 0) {
    Open(Defaults(image, timeoutSeconds, count));
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

// --model: the charger that is not a model the image is for gets an amber row with the reason
// and counts as refused; it is asked who it is and never sent "1".
TEST_F(StationRunTest, AModelGuardRefusesOneOfTwoChargers) {
  chargersim::Options other;
  other.identity.id = "QC-3000 Pro";
  AddCharger("RIGHT");
  Charger& wrong = AddCharger("WRONG", other);
  Station::Options options = Defaults(Image("V20"));
  options.run.guards.models = {"QC-2410*", "QC-2411*"};
  Open(options);
  station->Start();
  ASSERT_TRUE(Eventually(
      [&] {
        const StationModel::Totals totals = station->Model().GetTotals();
        return totals.passed == 1 && totals.refused == 1;
      },
      20s));

  const std::vector<RowCells> rows = Rows();
  EXPECT_EQ(rows[0].state, "passed");
  EXPECT_EQ(rows[0].colour, RowColour::Green);
  EXPECT_EQ(rows[1].state, "refused");
  EXPECT_EQ(rows[1].colour, RowColour::Amber);
  EXPECT_EQ(rows[1].charger, "QC-3000 Pro");
  EXPECT_EQ(rows[1].reason,
            "charger 'QC-3000 Pro' is not a model this image is for (QC-2410*, QC-2411*)");
  EXPECT_EQ(station->Model().GetTotals().failed, 0);
  EXPECT_GT(wrong.sim.GetCounters().menuReplies, 0u);
  EXPECT_EQ(wrong.log.Count("-> loader"), 0);
  EXPECT_TRUE(wrong.sim.Sessions().empty());
  EXPECT_TRUE(Eventually([&] { return RecordRows() == 2; }));
  const std::string text = ReadFile(record);
  EXPECT_NE(text.find(wrong.link + ",QC-3000 Pro,WRONG,V12,fw.bin"), std::string::npos) << text;
  EXPECT_NE(text.find(",refused,"), std::string::npos) << text;
  station->Stop();
  EXPECT_TRUE(Stopped(10s));
}

// A job fixes the image, its pin, guards, retries and record: its name heads the station, its
// image cannot be swapped, config.ini's own record is left alone, and the station remembers
// it. A session lost to an unplug is tried again, and the row says which attempt passed.
TEST_F(StationRunTest, AStationRunsFromAJobFile) {
  chargersim::Options flaky;
  flaky.receiver.unplugAfterBlocks = 2;
  flaky.replugAfter = 500ms;
  AddCharger("FLAKY", flaky);
  Image("V20");
  const std::string job = dir + "/line4.ini";
  std::ofstream(job) << "[Job]\nName=QC-2410 release V20\nImage=fw.bin\n"
                     << "Sha256=" << Sha256Hex(image.data(), image.size()) << "\n"
                     << "Models=QC-2410*\nRetries=1\nRecord=line4.jsonl\nStation=Line 4\n";
  std::ofstream(dir + "/config.ini") << "[Record]\nPath=" << dir << "/other.csv\n";
  Station::Options options = Defaults("");
  options.run.recordPath.clear();
  options.run.job = job;
  options.run.context.operatorName = "ann";
  Open(options);

  auto frame = station->Model().TakeFrame(StationModel::Clock::now());
  ASSERT_TRUE(frame.header);
  EXPECT_EQ(frame.header->title, "Job: QC-2410 release V20");
  EXPECT_EQ(frame.header->details.rfind("fw.bin", 0), 0u) << frame.header->details;
  EXPECT_FALSE(frame.header->canOpen);
  EXPECT_TRUE(frame.header->canStart);
  EXPECT_NE(station->OpenImage(dir + "/fw.bin"), "");
  EXPECT_EQ(ReadProfileString(dir + "/config.ini", "Station", "Job", ""), job);

  station->Start();
  RowCells retrying;
  ASSERT_TRUE(Eventually(
      [&] {
        const RowCells row = Rows()[0];
        if (row.state.rfind("retrying", 0) == 0) retrying = row;
        return !retrying.state.empty();
      },
      20s));
  EXPECT_EQ(retrying.state, "retrying (2 of 2)");
  EXPECT_EQ(retrying.colour, RowColour::Busy);
  EXPECT_EQ(retrying.reason.rfind("attempt 1: lost the charger", 0), 0u) << retrying.reason;
  ASSERT_TRUE(Eventually([&] { return station->Model().GetTotals().passed == 1; }, 20s));
  EXPECT_EQ(Rows()[0].state, "passed (attempt 2)");
  EXPECT_EQ(station->Model().GetTotals().failed, 0);
  station->Stop();
  ASSERT_TRUE(Stopped(10s));

  const std::vector<std::string> rows = Lines(ReadFile(dir + "/line4.jsonl"));
  ASSERT_EQ(rows.size(), 2u);
  for (size_t i = 0; i < rows.size(); ++i) {
    const auto row = ParseJsonLine(rows[i]);
    ASSERT_TRUE(row) << rows[i];
    EXPECT_EQ(row->at("job"), "QC-2410 release V20");
    EXPECT_EQ(row->at("station"), "Line 4");
    EXPECT_EQ(row->at("operator"), "ann");
    EXPECT_EQ(row->at("attempt"), std::to_string(i + 1));
    EXPECT_EQ(row->at("result"), i == 0 ? "failed" : "succeeded");
  }
  EXPECT_FALSE(std::filesystem::exists(dir + "/other.csv"));
}

// The last job is opened again without being named; one that can no longer be run (its image
// is gone) is left out with the reason, and the station opens without an image. A job named
// by --job that cannot be run keeps the station from opening.
TEST_F(StationRunTest, TheLastJobIsReopenedOrLeftOutWithTheReason) {
  AddCharger("LAST");
  Image("V20");
  const std::string job = dir + "/line4.ini";
  std::ofstream(job) << "[Job]\nName=Line 4 job\nImage=fw.bin\n";
  Station::Options options = Defaults("");
  options.run.job = job;
  options.jobFrom = Station::Options::JobFrom::Last;
  Open(options);
  auto frame = station->Model().TakeFrame(StationModel::Clock::now());
  ASSERT_TRUE(frame.header);
  EXPECT_EQ(frame.header->title, "Job: Line 4 job");
  station.reset();

  std::filesystem::remove(dir + "/fw.bin");
  Open(options);
  frame = station->Model().TakeFrame(StationModel::Clock::now());
  ASSERT_TRUE(frame.header);
  EXPECT_EQ(frame.header->title, "No firmware image");
  EXPECT_NE(frame.header->run.find("the station's last job was not opened: the job " + job),
            std::string::npos)
      << frame.header->run;
  EXPECT_TRUE(frame.header->canOpen);
  station.reset();

  options.jobFrom = Station::Options::JobFrom::CommandLine;
  std::string problem;
  int status = 0;
  EXPECT_FALSE(Station::Open(options, &problem, &status));
  EXPECT_EQ(status, 2);
  EXPECT_NE(problem.find(job), std::string::npos) << problem;
}

// config.ini's [Record] Url= posts the station's rows as it posts the single-charger window's,
// with the token from its file; a value that cannot be used keeps the station from opening.
TEST_F(StationRunTest, ConfigIniPostsTheStationsRowsWithTheTokenFromItsFile) {
  AddCharger("POSTED");
  posttest::RecordServer server(dir);
  std::ofstream(dir + "/token") << "station-token\n";
  std::ofstream(dir + "/config.ini") << "[Record]\nUrl=" << server.Url() << "\nTokenFile=" << dir
                                     << "/token\nSpool=" << dir << "/spool\n";
  Open(Image("V20"));
  station->Start();
  ASSERT_TRUE(Eventually([&] { return station->Model().GetTotals().passed == 1; }, 20s));
  ASSERT_TRUE(server.WaitForRequests(1));
  const JsonFields request = server.Requests()[0];
  EXPECT_EQ(request.at("authorization"), "Bearer station-token");
  const auto posted = ParseJsonLine(request.at("body"));
  ASSERT_TRUE(posted) << request.at("body");
  EXPECT_EQ(posted->at("port"), chargers[0]->link);
  EXPECT_EQ(posted->at("result"), "succeeded");
  station->Stop();
  ASSERT_TRUE(Stopped(10s));
  station.reset();

  std::ofstream(dir + "/config.ini") << "[Record]\nUrl=mes.example\n";
  std::string problem;
  int status = 0;
  EXPECT_FALSE(Station::Open(Defaults(dir + "/fw.bin"), &problem, &status));
  EXPECT_EQ(status, 2);
  EXPECT_NE(problem.find("Correct [Record] Url= in " + dir + "/config.ini"), std::string::npos)
      << problem;
}

}  // namespace
