// The conductor as a window runs it: on its own thread, without a terminal or signals, started
// and stopped by its face's owner, against simulated chargers and the real command-line
// workers.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <condition_variable>
#include <fstream>
#include <mutex>
#include <set>
#include <thread>

#include "cli/job_options.h"
#include "cli/programming_plan.h"
#include "conductor/conductor.h"
#include "conductor/worker_options.h"
#include "job/job_file.h"
#include "production_fixture.h"

namespace {

using namespace prodtest;

// A face that keeps what it is told, and which threads told it.
class RecordingFace : public ConductorFace {
 public:
  void PortChanged(size_t index, const PortRow& row, Change) override {
    Keep([&] { phases[index].push_back(row.phase); });
  }
  void SessionEnded(size_t, const PortRow&, const SessionRecord& record) override {
    Keep([&] { records.push_back(record); });
  }
  void Notice(std::optional<size_t>, const std::string& text) override {
    Keep([&] { notices.push_back(text); });
  }
  void Finished(const ConductorTotals& result) override {
    Keep([&] {
      totals = result;
      ++finished;
    });
  }

  bool WaitFor(const std::function<bool()>& condition, std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex);
    return changed.wait_for(lock, timeout, condition);
  }

  std::mutex mutex;
  std::condition_variable changed;
  std::set<std::thread::id> threads;
  std::map<size_t, std::vector<PortPhase>> phases;
  std::vector<SessionRecord> records;
  std::vector<std::string> notices;
  ConductorTotals totals;
  int finished = 0;

 private:
  void Keep(const std::function<void()>& change) {
    {
      std::lock_guard lock(mutex);
      threads.insert(std::this_thread::get_id());
      change();
    }
    changed.notify_all();
  }
};

TEST_F(ProductionTest, ConductorRunsOnItsOwnThreadAndStopsWhenItsOwnerSaysSo) {
  chargersim::Options slow;
  slow.replyDelay = 100ms;
  Charger& charger = AddCharger("WIN1", slow);
  const std::string path = Image("V20", 20000);
  ConductorPlan plan;
  plan.ports = {charger.link};
  plan.imagePath = path;
  plan.workerProgram = CLI_PATH;
  RecordingFace face;
  Conductor conductor(plan, face);
  conductor.Start();
  ASSERT_TRUE(face.WaitFor(
      [&] {
        const auto& seen = face.phases[0];
        return std::find(seen.begin(), seen.end(), PortPhase::Programming) != seen.end();
      },
      15s));
  ASSERT_TRUE(Eventually([&] { return charger.log.Contains("STX block 2"); }));
  conductor.Stop(StopCause::Operator);
  const ConductorTotals totals = conductor.Wait();

  std::lock_guard lock(face.mutex);
  EXPECT_EQ(face.finished, 1);
  EXPECT_EQ(totals.stoppedBy, StopCause::Operator);
  EXPECT_EQ(totals.failed, 1);
  ASSERT_EQ(face.records.size(), 1u);
  EXPECT_EQ(face.records[0].result, "cancelled");
  EXPECT_NE(face.records[0].reason.find("stopped by the operator"), std::string::npos)
      << face.records[0].reason;
  EXPECT_EQ(face.phases[0].back(), PortPhase::Stopped);
  // Every call came from one thread, and not from the one that owns the conductor.
  EXPECT_EQ(face.threads.size(), 1u);
  EXPECT_EQ(face.threads.count(std::this_thread::get_id()), 0u);
  EXPECT_TRUE(Eventually([&] { return charger.log.Contains("cancelled by the sender"); }, 5s));
}

// A worker that says what cannot be read is ended, its session written as failed, and the
// run still ends: the conductor never waits on a row that cannot come.
TEST_F(ProductionTest, AWorkerLineThatCannotBeReadBecomesAFailedRowNotAHang) {
  const std::string worker = dir + "/garbling-worker";
  std::ofstream(worker) << "#!/bin/sh\n"
                           "echo '{\"event\":\"permit\"}'\n"
                           "read answer\n"
                           "echo '{\"event\":\"state\",\"port\":\"p\",\"charger\":\"QC\","
                           "\"serial\":\"S1\",\"version\":\"V12\",\"state\":\"programming\"}'\n"
                           "printf '{\"event\":\"result\",\"charger\":\"a\\037b\"}\\n'\n"
                           "exec sleep 30\n";
  ::chmod(worker.c_str(), 0755);
  ConductorPlan plan;
  plan.ports = {dir + "/ttyFAKE"};
  plan.imagePath = Image("V20");
  plan.workerProgram = worker;
  plan.count = 1;
  RecordingFace face;
  Conductor conductor(plan, face);
  const auto started = Clock::now();
  conductor.Start();
  const ConductorTotals totals = conductor.Wait();
  EXPECT_LT(Clock::now() - started, 10s);
  EXPECT_EQ(totals.failed, 1);
  ASSERT_EQ(face.records.size(), 1u);
  EXPECT_EQ(face.records[0].serial, "S1");
  EXPECT_NE(face.records[0].reason.find("sent a line the updater cannot read"), std::string::npos)
      << face.records[0].reason;
}

// A station runs a job's settings through its workers as gang does: the options' effects reach
// the rows, and the workers know the job's record and server for the rows they write themselves
// should their conductor be gone.
TEST_F(ProductionTest, AJobsSettingsReachAStationsWorkers) {
  Charger& charger = AddCharger("JOBW");
  Image("V20");
  const std::string jobPath = dir + "/line4.ini";
  std::ofstream(jobPath) << "[Job]\nName=line 4\nImage=fw.bin\nVerify=1\nRecord=rows.jsonl\n"
                            "Url=http://127.0.0.1:9/rows\nStation=Line 4\n";
  CliOptions run;
  run.job = jobPath;
  ASSERT_EQ(ReadJobInto(run), "");
  run.ports = {charger.link};
  run.count = 1;
  SessionReport report;
  std::string error;
  int status = 0;
  std::optional<ConductorPlan> planned = ProgrammingPlan(run, report, &error, &status);
  ASSERT_TRUE(planned) << error;
  ConductorPlan plan = std::move(*planned);
  plan.workerProgram = CLI_PATH;
  RecordingFace face;
  Conductor conductor(plan, face);
  conductor.Start();
  EXPECT_EQ(conductor.Wait().succeeded, 1);
  ASSERT_EQ(face.records.size(), 1u);
  EXPECT_EQ(face.records[0].job, "line 4");
  EXPECT_EQ(face.records[0].station, "Line 4");
  EXPECT_EQ(face.records[0].versionAfter, "V20");
  const auto& options = plan.workerOptions;
  const auto valueOf = [&](const std::string& option) {
    const auto at = std::find(options.begin(), options.end(), option);
    return at == options.end() || at + 1 == options.end() ? std::string() : *(at + 1);
  };
  EXPECT_EQ(valueOf("--record"), dir + "/rows.jsonl");
  EXPECT_EQ(valueOf("--post"), "http://127.0.0.1:9/rows");
}

}  // namespace
