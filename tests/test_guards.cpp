// Never the wrong firmware: model and version guards, pinned images, retries and job files on
// flash, auto and gang, against simulated chargers on real ptys.

#include <gtest/gtest.h>

#include <fstream>

#include "image/sha256.h"
#include "production_fixture.h"
#include "record/session_record.h"

namespace {

using namespace clitest;
using namespace prodtest;

bool Has(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

// An image whose version tag is `version`, under its own name.
std::string TaggedImage(const std::string& dir, const std::string& name,
                        const std::string& version) {
  std::vector<uint8_t> bytes = MakeImage(3000, 9);
  const std::string tag = std::string("INFO") + '\0' + version;
  std::copy(tag.begin(), tag.end(), bytes.begin() + 200);
  const std::string path = dir + "/" + name;
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char*>(bytes.data()),
             static_cast<std::streamsize>(bytes.size()));
  return path;
}

TEST_F(ProductionTest, ARefusedChargerNeverGetsTheLoaderCommand) {
  chargersim::Options other;
  other.identity.id = "QC-3000 Pro";
  Charger& wrong = AddCharger("WRONG", other);
  Charger& right = AddCharger("RIGHT");
  const std::string path = Image("V20");
  const std::string record = dir + "/rec.jsonl";

  const Outcome flash = RunCli(
      {"flash", path, "--ports", wrong.link, "--model", "QC-2410*,QC-2411*", "--record", record});
  EXPECT_EQ(flash.exitCode, 4) << flash.err;
  EXPECT_TRUE(Has(flash.out,
                  "Refused: charger 'QC-3000 Pro' is not a model this image is for "
                  "(QC-2410*, QC-2411*)."))
      << flash.out;

  const Outcome gang = RunCli({"gang", path, "--ports", Ports(), "--model", "QC-2410*", "--count",
                               "2", "--json", "--record", record});
  EXPECT_EQ(gang.exitCode, 1) << gang.err;
  EXPECT_EQ(CountFigures(gang.out), "1/0/0/1") << gang.out;

  EXPECT_GT(wrong.sim.GetCounters().menuReplies, 0u);  // asked who it is ...
  EXPECT_EQ(wrong.log.Count("-> loader"), 0);          // ... and never sent "1"
  EXPECT_TRUE(wrong.sim.Sessions().empty());
  EXPECT_TRUE(right.sim.WaitForSessions(1, 5s));
  int refusedRows = 0;
  for (const std::string& line : Lines(ReadFile(record))) {
    const auto row = ParseJsonLine(line);
    ASSERT_TRUE(row) << line;
    if (row->at("result") == "refused") ++refusedRows;
  }
  EXPECT_EQ(refusedRows, 2);
}

TEST_F(ProductionTest, NoDowngradeRefusesAnOlderImageAndAnyGuess) {
  Charger& charger = AddCharger("DOWN");
  const std::string older = TaggedImage(dir, "old.bin", "V11");
  const Outcome refused = RunCli({"flash", older, "--ports", charger.link, "--no-downgrade"});
  EXPECT_EQ(refused.exitCode, 4) << refused.err;
  EXPECT_TRUE(Has(refused.out, "the image's version V11 is older than the charger's V12"))
      << refused.out;
  const std::string untagged = dir + "/plain.bin";
  std::ofstream(untagged, std::ios::binary) << std::string(3000, 'z');
  const Outcome guess = RunCli({"flash", untagged, "--ports", charger.link, "--no-downgrade"});
  EXPECT_EQ(guess.exitCode, 4) << guess.err;
  EXPECT_EQ(charger.log.Count("-> loader"), 0);
  const Outcome newer = RunCli(
      {"flash", TaggedImage(dir, "new.bin", "V20"), "--ports", charger.link, "--no-downgrade"});
  EXPECT_EQ(newer.exitCode, 0) << newer.err;
}

TEST_F(ProductionTest, APinnedImageWithAnotherDigestIsAUsageErrorBeforeAnythingIsSent) {
  Charger& charger = AddCharger("PIN");
  const std::string path = Image("V20");
  const std::string actual = Sha256Hex(image.data(), image.size());
  const std::string pinned(64, 'b');
  for (const char* command : {"flash", "gang"}) {
    const Outcome run = RunCli({command, path, "--ports", charger.link, "--sha256", pinned});
    EXPECT_EQ(run.exitCode, 2) << command << run.err;
    EXPECT_TRUE(Has(run.err, actual) && Has(run.err, pinned)) << run.err;
  }
  EXPECT_EQ(charger.sim.GetCounters().menuReplies, 0u);
  const Outcome right = RunCli({"flash", path, "--ports", charger.link, "--sha256", actual});
  EXPECT_EQ(right.exitCode, 0) << right.err;
}

// A session lost to an unplug is tried again once the charger is back: two rows, attempts 1
// and 2, and the charger counted once, by its last attempt.
TEST_F(ProductionTest, ARetryAfterAnUnplugProgramsTheChargerOnTheSecondAttempt) {
  for (const char* command : {"flash", "auto", "gang"}) {
    SCOPED_TRACE(command);
    chargersim::Options flaky;
    flaky.receiver.unplugAfterBlocks = 2;
    flaky.replugAfter = 500ms;
    Charger& charger = AddCharger(std::string("RETRY") + command, flaky);
    const std::string record = dir + "/" + command + ".jsonl";
    std::vector<std::string> args = {command,     Image("V20"), "--ports",  charger.link,
                                     "--retries", "1",          "--record", record};
    if (std::string(command) != "flash") args.insert(args.end(), {"--count", "1"});
    const Outcome run = RunCli(args);
    EXPECT_EQ(run.exitCode, 0) << run.err;
    if (std::string(command) != "flash") {
      EXPECT_TRUE(Has(run.out, "===  1 succeeded ===  0 failed ===")) << run.out;
    }
    const std::vector<std::string> rows = Lines(ReadFile(record));
    ASSERT_EQ(rows.size(), 2u) << ReadFile(record);
    const auto first = ParseJsonLine(rows[0]);
    const auto second = ParseJsonLine(rows[1]);
    ASSERT_TRUE(first && second);
    EXPECT_EQ(first->at("result"), "failed");
    EXPECT_EQ(first->at("attempt"), "1");
    EXPECT_EQ(second->at("result"), "succeeded");
    EXPECT_EQ(second->at("attempt"), "2");
    const auto sessions = charger.sim.Sessions();
    ASSERT_FALSE(sessions.empty());
    EXPECT_TRUE(sessions.back().ok) << sessions.back().failure;
  }
}

// A charger that fails and never answers again is counted as failed once the wait for it is
// over: gang's count comes out right and --count still ends the run.
TEST_F(ProductionTest, ARetryThatNeverComesCountsTheChargerByItsLastAttempt) {
  chargersim::Options gone;
  gone.receiver.unplugAfterBlocks = 2;  // and never plugged back in
  Charger& charger = AddCharger("GONE", gone);
  const std::string record = dir + "/gone.jsonl";
  const Outcome run = RunCli({"gang", Image("V20"), "--ports", charger.link, "--retries", "1",
                              "--count", "1", "--json", "--record", record},
                             {}, 60s);
  EXPECT_EQ(run.exitCode, 1) << run.err;
  EXPECT_EQ(CountFigures(run.out), "0/1/0/0") << run.out;
  const std::vector<std::string> rows = Lines(ReadFile(record));
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(ParseJsonLine(rows[0])->at("attempt"), "1");
}

TEST_F(ProductionTest, AJobFixesWhatItHoldsAndItsRefusalsNameTheLine) {
  Charger& charger = AddCharger("JOB");
  const std::string path = Image("V20");
  const std::string job = dir + "/line4.ini";
  std::ofstream(job) << "[Job]\nName=QC-2410 release V20\nImage=fw.bin ; beside the job\n"
                     << "Sha256=" << Sha256Hex(image.data(), image.size()) << "\n"
                     << "Models=QC-2410*\nVerify=1\nRecord=line4.jsonl\nStation=Line 4\n";
  const Outcome run =
      RunCli({"flash", "--job", job, "--ports", charger.link, "--operator", "ann", "--lot", "L7"});
  EXPECT_EQ(run.exitCode, 0) << run.err;
  const auto row = ParseJsonLine(ReadFile(dir + "/line4.jsonl"));
  ASSERT_TRUE(row) << ReadFile(dir + "/line4.jsonl");
  EXPECT_EQ(row->at("job"), "QC-2410 release V20");
  EXPECT_EQ(row->at("station"), "Line 4");
  EXPECT_EQ(row->at("operator"), "ann");
  EXPECT_EQ(row->at("lot"), "L7");
  EXPECT_EQ(row->at("attempt"), "1");
  EXPECT_EQ(row->at("version_after"), "V20");
  EXPECT_FALSE(row->at("tool_version").empty());

  // Every option the job fixes, whether the job sets it or leaves it off.
  const std::vector<std::vector<std::string>> beside = {
      {"flash", path, "--job", job},
      {"flash", "--job", job, "--model", "X*"},
      {"flash", "--job", job, "--no-downgrade"},
      {"auto", "--job", job, "--sha256", std::string(64, 'a')},
      {"auto", "--job", job, "--skip-same-version"},
      {"gang", "--job", job, "--verify"},
      {"gang", "--job", job, "--retries", "1"},
      {"flash", "--job", job, "--fast"},
      {"gang", "--job", job, "--record", dir + "/other.csv"},
  };
  for (auto args : beside) {
    args.insert(args.end(), {"--ports", charger.link});
    const Outcome mixed = RunCli(args);
    EXPECT_EQ(mixed.exitCode, 2) << mixed.err;
    EXPECT_TRUE(Has(mixed.err, "the job fixes ") && Has(mixed.err, " or the --job")) << mixed.err;
  }
  std::ofstream(job) << "[Job]\nName=n\nImage=fw.bin\nRetries=many\n";
  const Outcome bad = RunCli({"flash", "--job", job, "--ports", charger.link});
  EXPECT_EQ(bad.exitCode, 2);
  EXPECT_TRUE(Has(bad.err, job + ":4: Retries must be")) << bad.err;
  const Outcome none = RunCli({"flash", "--ports", charger.link});
  EXPECT_EQ(none.exitCode, 2);
  EXPECT_EQ(charger.sim.Sessions().size(), 1u);
}

// A CSV begun by the earlier version keeps its own header: rows in its columns, and one
// warning naming the fields left out.
TEST_F(ProductionTest, AnEarlierVersionsCsvKeepsItsHeader) {
  Charger& charger = AddCharger("OLD");
  const std::string record = dir + "/old.csv";
  std::string header;
  for (size_t i = 0; i < kFirstRecordColumns; ++i) header += (i ? "," : "") + RecordFieldNames()[i];
  std::ofstream(record) << header << "\n";
  const Outcome run = RunCli({"flash", Image("V20"), "--ports", charger.link, "--record", record,
                              "--station-name", "Line 4"});
  EXPECT_EQ(run.exitCode, 0) << run.err;
  EXPECT_TRUE(Has(run.err,
                  "leave out id, station, operator, lot, tool_version, job, attempt, "
                  "version_after"))
      << run.err;
  const std::vector<std::string> rows = Lines(ReadFile(record));
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[0], header);
  EXPECT_EQ(std::count(rows[1].begin(), rows[1].end(), ','),
            static_cast<long>(kFirstRecordColumns) - 1)
      << rows[1];
  EXPECT_FALSE(Has(rows[1], "Line 4"));
}

}  // namespace
