// The production-line features of charger-updater-cli (gang, --record, --json, --serial,
// --skip-same-version, --verify, info --all) against simulated chargers on real ptys.

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <filesystem>
#include <map>
#include <thread>

#include "production_fixture.h"
#include "record/session_record.h"

namespace {

using namespace clitest;
using namespace prodtest;

int Occurrences(const std::string& text, const std::string& part) {
  int count = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
  return count;
}

TEST_F(ProductionTest, GangProgramsPortsSideBySideAndAFailureStaysOnItsPort) {
  AddCharger("GOOD1");
  AddCharger("GOOD2");
  chargersim::Options silent;
  silent.silentAfter1 = true;
  AddCharger("SILENT", silent);
  const std::string path = Image("V20");

  const Outcome run = RunCli({"gang", path, "--ports", Ports(), "--count", "3", "--record",
                              dir + "/rec.csv", "--timeout", "4"});
  EXPECT_EQ(run.exitCode, 1) << run.err;
  const std::vector<std::string> lines = Lines(run.out);
  ASSERT_EQ(lines.size(), 4u) << run.out;
  EXPECT_EQ(lines.back(), "===  2 succeeded ===  1 failed ===");
  int good = 0;
  for (size_t i = 0; i < 3; ++i) {
    if (lines[i].find("SILENT failed: ") != std::string::npos) continue;
    EXPECT_NE(lines[i].find(" succeeded"), std::string::npos) << lines[i];
    ++good;
  }
  EXPECT_EQ(good, 2) << run.out;
  for (size_t i = 0; i < 2; ++i) {
    chargers[i]->sim.WaitForSessions(1, 5s);
    const auto sessions = chargers[i]->sim.Sessions();
    ASSERT_EQ(sessions.size(), 1u);
    EXPECT_TRUE(sessions[0].ok) << sessions[0].failure;
    EXPECT_EQ(sessions[0].image, image);
  }
  // Side by side: the silent charger's 4 s watchdog bounds the run, not the sum of sessions.
  EXPECT_LT(run.seconds, 9) << run.err;
  EXPECT_EQ(Lines(ReadFile(dir + "/rec.csv")).size(), 4u);
}

TEST_F(ProductionTest, RecordKeepsEveryRowWhenInterruptedMidTransfer) {
  chargersim::Options slow;
  slow.replyDelay = 150ms;  // the transfer takes long enough to be interrupted in the middle
  AddCharger("SLOW1", slow);
  AddCharger("SLOW2", slow);
  const std::string path = Image("V20", 20000);
  const std::string record = dir + "/rec.jsonl";
  Cli cli({"gang", path, "--ports", Ports(), "--record", record, "--timeout", "4"});
  for (auto& charger : chargers)
    ASSERT_TRUE([&] {
      for (const auto deadline = Clock::now() + 10s; Clock::now() < deadline;
           std::this_thread::sleep_for(20ms))
        if (charger->log.Contains("STX block 2")) return true;
      return false;
    }());
  cli.Signal(SIGINT);
  const Outcome run = cli.Finish(15s);
  EXPECT_EQ(run.exitCode, 130) << run.err;
  EXPECT_EQ(Lines(run.out).back(), "===  0 succeeded ===  2 failed ===");

  const std::vector<std::string> rows = Lines(ReadFile(record));
  ASSERT_EQ(rows.size(), 2u);
  for (const std::string& row : rows) {
    const auto fields = ParseJsonLine(row);
    ASSERT_TRUE(fields) << row;
    EXPECT_EQ(fields->at("result"), "cancelled") << row;
    EXPECT_EQ(fields->at("image_size"), "20000");
    EXPECT_EQ(fields->at("image_version"), "V20");
  }
}

// A worker that dies in the middle of a session cannot report it: the session still counts,
// as failed, and the other port is served to the end.
TEST_F(ProductionTest, GangCountsAWorkerThatDiesMidSessionAndTheOtherPortGoesOn) {
  chargersim::Options slow;
  slow.replyDelay = 100ms;
  Charger& doomed = AddCharger("DOOMED", slow);
  AddCharger("FINE");
  const std::string path = Image("V20", 6000);
  const std::string record = dir + "/rec.csv";
  Cli cli({"gang", path, "--ports", Ports(), "--count", "2", "--record", record});
  ASSERT_TRUE([&] {
    for (const auto deadline = Clock::now() + 10s; Clock::now() < deadline;
         std::this_thread::sleep_for(20ms))
      if (doomed.log.Contains("STX block 2")) return true;
    return false;
  }());
  const pid_t worker = ChildWith(cli.Pid(), doomed.link);
  ASSERT_GT(worker, 0);
  ::kill(worker, SIGKILL);

  const Outcome run = cli.Finish(30s);
  EXPECT_EQ(run.exitCode, 1) << run.err;
  const std::vector<std::string> lines = Lines(run.out);
  ASSERT_EQ(lines.size(), 3u) << run.out;
  EXPECT_EQ(lines.back(), "===  1 succeeded ===  1 failed ===");
  EXPECT_NE(run.out.find(doomed.link + " DOOMED failed: "), std::string::npos) << run.out;
  EXPECT_NE(run.out.find(" FINE succeeded"), std::string::npos) << run.out;
  const std::string rows = ReadFile(record);
  EXPECT_EQ(Lines(rows).size(), 3u) << rows;  // the header and both sessions
  EXPECT_NE(rows.find(",DOOMED,V12,fw.bin,6000,"), std::string::npos) << rows;
}

TEST_F(ProductionTest, SerialFilterNeverStartsTheLoaderOfAnotherCharger) {
  Charger& other = AddCharger("OTHER");
  Charger& wanted = AddCharger("WANTED");
  const std::string path = Image("V20");

  const Outcome info = RunCli({"info", "--ports", Ports(), "--serial", "WANTED", "--wait", "8"});
  EXPECT_EQ(info.exitCode, 0) << info.err;
  EXPECT_NE(info.out.find("serial: WANTED"), std::string::npos) << info.out;

  const Outcome flash = RunCli({"flash", path, "--ports", Ports(), "--serial", "NOPE,WANTED"});
  EXPECT_EQ(flash.exitCode, 0) << flash.err;
  wanted.sim.WaitForSessions(1, 5s);
  EXPECT_EQ(wanted.sim.Sessions().size(), 1u);

  const Outcome none =
      RunCli({"flash", path, "--ports", other.link, "--serial", "NOPE", "--wait", "3"});
  EXPECT_EQ(none.exitCode, 3);
  EXPECT_NE(none.err.find("NOPE"), std::string::npos) << none.err;

  EXPECT_GT(other.sim.GetCounters().menuReplies, 0u);  // it was probed ...
  EXPECT_EQ(other.log.Count("-> loader"), 0);          // ... and never sent "1"
  EXPECT_TRUE(other.sim.Sessions().empty());
}

TEST_F(ProductionTest, SkipSameVersionLeavesTheChargerAloneAndVerifyReadsTheNewVersion) {
  chargersim::Options current;
  current.identity.version = "V20";
  Charger& upToDate = AddCharger("CURRENT", current);
  const std::string path = Image("V20");
  const Outcome skip = RunCli({"flash", path, "--ports", upToDate.link, "--skip-same-version",
                               "--record", dir + "/rec.csv"});
  EXPECT_EQ(skip.exitCode, 0) << skip.err;
  EXPECT_EQ(upToDate.log.Count("-> loader"), 0);
  const std::vector<std::string> rows = Lines(ReadFile(dir + "/rec.csv"));
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_NE(rows[1].find(",skipped,"), std::string::npos) << rows[1];

  // The simulated charger restarts into the image's version: verified.
  Charger& old = AddCharger("OLD");
  const Outcome verified =
      RunCli({"flash", path, "--ports", old.link, "--verify", "--skip-same-version"});
  EXPECT_EQ(verified.exitCode, 0) << verified.err;
  EXPECT_EQ(Lines(verified.out).back(), "Program succeeded.");

  // A charger that still reports its old version afterwards fails verification.
  chargersim::Options stuck;
  stuck.keepVersion = true;
  Charger& unchanged = AddCharger("STUCK", stuck);
  const Outcome refused = RunCli({"flash", path, "--ports", unchanged.link, "--verify"});
  EXPECT_EQ(refused.exitCode, 1) << refused.err;
  EXPECT_NE(refused.err.find("reports version V12 after programming, not V20"), std::string::npos)
      << refused.err;

  // One that never reported a version is not said to have lost it.
  chargersim::Options bare;
  bare.rawReply = RawMenu("Bare Charger", "BARE", "");
  Charger& versionless = AddCharger("BARE", bare);
  const Outcome unknown = RunCli({"flash", path, "--ports", versionless.link, "--verify"});
  EXPECT_EQ(unknown.exitCode, 1) << unknown.err;
  EXPECT_NE(unknown.err.find("reports no firmware version, so V20 cannot be confirmed"),
            std::string::npos)
      << unknown.err;
}

TEST_F(ProductionTest, FastRepliesProgramByteForByteAndProbesStillReadWholeMenus) {
  Charger& charger = AddCharger("FAST");
  const std::string path = Image("V20", 12000);
  const Outcome run = RunCli({"flash", path, "--ports", charger.link, "--fast", "--verify"});
  EXPECT_EQ(run.exitCode, 0) << run.err;
  charger.sim.WaitForSessions(1, 5s);
  const auto sessions = charger.sim.Sessions();
  ASSERT_EQ(sessions.size(), 1u);
  EXPECT_TRUE(sessions[0].ok) << sessions[0].failure;
  EXPECT_EQ(sessions[0].image, image);
  // 12 blocks: the read window after every reply costs over a second more without --fast.
  const Outcome normal = RunCli({"flash", path, "--ports", charger.link, "--verify"});
  EXPECT_EQ(normal.exitCode, 0) << normal.err;
  EXPECT_LT(run.seconds, normal.seconds - 0.8);
}

TEST_F(ProductionTest, JsonLinesParseBackWithDeviceTextEscaped) {
  chargersim::Options odd;
  odd.rawReply = RawMenu("Evil\x1b]0;owned\x07 \xff\xfe Charger", "Q1");
  Charger& charger = AddCharger("Q1", odd);
  const std::string path = Image("V20");
  const Outcome run = RunCli({"flash", path, "--ports", charger.link, "--json"});
  EXPECT_EQ(run.exitCode, 0) << run.err;
  EXPECT_EQ(run.out.find('\x1b'), std::string::npos);
  const auto lines = JsonLines(run.out);
  const auto results = Events(lines, "result");
  ASSERT_EQ(results.size(), 1u) << run.out;
  const JsonFields& result = results[0];
  EXPECT_EQ(result.at("charger"), "Evil\x1b]0;owned\x07 \xEF\xBF\xBD\xEF\xBF\xBD Charger");
  EXPECT_EQ(result.at("serial"), "Q1");
  EXPECT_EQ(result.at("version_before"), "V12");
  EXPECT_EQ(result.at("result"), "succeeded");
  EXPECT_EQ(result.at("image_size"), "3000");
  EXPECT_EQ(result.at("image_version"), "V20");
  EXPECT_EQ(result.at("image_sha256").size(), 64u);
  EXPECT_FALSE(Events(lines, "progress").empty());
}

TEST_F(ProductionTest, UnwritableRecordIsAUsageErrorBeforeAnythingIsSent) {
  Charger& charger = AddCharger("R1");
  const std::string path = Image("V20");
  std::filesystem::create_directory(dir + "/folder.csv");
  for (const std::string& record : {dir + "/missing/rec.csv", dir + "/folder.csv"}) {
    SCOPED_TRACE(record);
    const Outcome run = RunCli({"flash", path, "--ports", charger.link, "--record", record});
    EXPECT_EQ(run.exitCode, kUsage);
    EXPECT_NE(run.err.find(record), std::string::npos) << run.err;
    const Outcome gang = RunCli({"gang", path, "--ports", charger.link, "--record", record});
    EXPECT_EQ(gang.exitCode, kUsage);
  }
  EXPECT_EQ(charger.sim.GetCounters().menuReplies, 0u);
}

TEST_F(ProductionTest, InfoAllPrintsEveryChargerAndExits3WhenNoneAnswers) {
  chargersim::Options slow;
  slow.replyDelay = std::chrono::milliseconds(300);
  AddCharger("ALL1", slow);
  AddCharger("ALL2");
  const Outcome run =
      RunCli({"info", "--all", "--ports", Ports() + "," + dir + "/absent", "--wait", "3"});
  EXPECT_EQ(run.exitCode, 0) << run.err;
  // In the order of --ports, not of the answers.
  const size_t first = run.out.find("serial: ALL1");
  ASSERT_NE(first, std::string::npos) << run.out;
  EXPECT_NE(run.out.find("serial: ALL2", first), std::string::npos) << run.out;
  EXPECT_LT(run.seconds, 6);  // searched side by side

  const Outcome none = RunCli({"info", "--all", "--ports", dir + "/absent", "--wait", "1"});
  EXPECT_EQ(none.exitCode, 3);
  EXPECT_EQ(none.out, "");
  // Each port's own reason, as a plain search gives it.
  EXPECT_NE(none.err.find(dir + "/absent not searched: no such port."), std::string::npos)
      << none.err;
}

// The production options on the commands that run without end: --serial picks whole serial
// numbers only, --skip-same-version leaves an up-to-date charger alone, and --verify fails a
// charger that keeps its old version.
TEST_F(ProductionTest, ProductionOptionsHoldOnGangAndAuto) {
  Charger& longer = AddCharger("12345678");
  chargersim::Options current;
  current.identity.version = "V20";
  Charger& upToDate = AddCharger("CURRENT", current);
  chargersim::Options stuck;
  stuck.keepVersion = true;
  Charger& unchanged = AddCharger("STUCK", stuck);
  const std::string path = Image("V20");

  for (const std::string& command : {std::string("gang"), std::string("auto")}) {
    SCOPED_TRACE(command);
    // Only a prefix of the charger's serial number: not that charger. The run waits for the
    // right one until it is stopped.
    const unsigned probed = longer.sim.GetCounters().menuReplies;
    Cli prefix({command, path, "--ports", longer.link, "--serial", "1234", "--count", "1"});
    EXPECT_TRUE(Eventually([&] { return longer.sim.GetCounters().menuReplies >= probed + 3; }));
    prefix.Signal(SIGTERM);
    EXPECT_EQ(prefix.Finish().exitCode, 143);
    EXPECT_EQ(longer.log.Count("-> loader"), 0);

    const Outcome skip = RunCli(
        {command, path, "--ports", upToDate.link, "--skip-same-version", "--count", "1", "--json"});
    EXPECT_EQ(skip.exitCode, 0) << skip.err;
    const auto skipped = Events(JsonLines(skip.out), "result");
    ASSERT_EQ(skipped.size(), 1u) << skip.out;
    EXPECT_EQ(skipped[0].at("result"), "skipped");
    EXPECT_EQ(upToDate.log.Count("-> loader"), 0);

    const Outcome verify =
        RunCli({command, path, "--ports", unchanged.link, "--verify", "--count", "1"});
    EXPECT_EQ(verify.exitCode, 1) << verify.err;
    EXPECT_TRUE(verify.out.find("===  0 succeeded ===  1 failed ===") != std::string::npos)
        << verify.out;
    EXPECT_NE((verify.out + verify.err).find("reports version V12 after programming, not V20"),
              std::string::npos)
        << verify.out << verify.err;
    unchanged.sim.WaitForSessions(command == "gang" ? 1 : 2, 5s);
  }
}

// Without --skip-same-version a charger already on the image's version is programmed again:
// the operator may be repairing it.
TEST_F(ProductionTest, FlashWithoutSkipProgramsAChargerAlreadyOnTheVersion) {
  chargersim::Options current;
  current.identity.version = "V20";
  Charger& charger = AddCharger("AGAIN", current);
  const Outcome run = RunCli({"flash", Image("V20"), "--ports", charger.link});
  EXPECT_EQ(run.exitCode, 0) << run.err;
  ASSERT_TRUE(charger.sim.WaitForSessions(1, 5s));
  EXPECT_EQ(charger.sim.Sessions()[0].image, image);
}

// A row that cannot be written whole is taken back out, said once, and makes the run's status
// non-zero; the session's own result stands. The file-size limit cuts the write short as a
// full disk does.
class FileSizeLimit {
 public:
  explicit FileSizeLimit(rlim_t bytes) {
    ::getrlimit(RLIMIT_FSIZE, &m_saved);
    rlimit limited = m_saved;
    limited.rlim_cur = bytes;
    ::setrlimit(RLIMIT_FSIZE, &limited);
  }
  ~FileSizeLimit() { ::setrlimit(RLIMIT_FSIZE, &m_saved); }

 private:
  rlimit m_saved{};
};

TEST_F(ProductionTest, ARecordRowThatDoesNotFitIsSaidOnceAndFailsTheRunButNotTheSession) {
  AddCharger("FULL1");
  AddCharger("FULL2");
  const std::string path = Image("V20");
  for (const std::string& record : {dir + "/rec.csv", dir + "/rec.jsonl"}) {
    SCOPED_TRACE(record);
    std::ofstream(record) << (record.back() == 'v' ? CsvHeader() : "{\"a\":1}\n");
    const std::string before = ReadFile(record);
    auto run = [&](const std::vector<std::string>& args) {
      const FileSizeLimit limit(before.size() + 40);  // the header fits, a row does not
      return Cli(args);
    };
    Cli flashRun = run({"flash", path, "--ports", chargers[0]->link, "--record", record});
    const Outcome flash = flashRun.Finish();
    EXPECT_EQ(flash.exitCode, 5) << flash.err;
    EXPECT_EQ(Lines(flash.out).back(), "Program succeeded.");
    EXPECT_EQ(Occurrences(flash.err, "cannot write the record " + record), 1) << flash.err;
    EXPECT_EQ(ReadFile(record), before);  // nothing torn is left behind

    Cli gangRun = run({"gang", path, "--ports", Ports(), "--count", "2", "--record", record});
    const Outcome gang = gangRun.Finish();
    EXPECT_EQ(gang.exitCode, 5) << gang.err;
    EXPECT_EQ(Lines(gang.out).back(), "===  2 succeeded ===  0 failed ===");
    EXPECT_EQ(Occurrences(gang.err, "cannot write the record " + record), 1) << gang.err;
    EXPECT_EQ(ReadFile(record), before);
  }
}

// One rule for every command: whichever wrote it, a cell is valid UTF-8 with control bytes
// shown escaped, and a spreadsheet formula is neutralised. JSON Lines keep the text.
TEST_F(ProductionTest, RecordCellsAreTheSameWhicheverCommandWroteThem) {
  chargersim::Options odd;
  odd.rawReply = RawMenu("=HYPERLINK(\"x\")\t\xff", "@SUM(1)");
  Charger& charger = AddCharger("ODD", odd);
  const std::string path = Image("V20");
  const std::string csv = dir + "/rec.csv";
  const std::string jsonl = dir + "/rec.jsonl";
  for (const char* command : {"flash", "gang"})
    for (const std::string& record : {csv, jsonl}) {
      std::vector<std::string> args = {command, path, "--ports", charger.link, "--record", record};
      if (std::string(command) == "gang") args.insert(args.end(), {"--count", "1"});
      const Outcome run = RunCli(args);
      EXPECT_EQ(run.exitCode, 0) << command << run.err;
    }
  const std::vector<std::string> rows = Lines(ReadFile(csv));
  ASSERT_EQ(rows.size(), 3u) << ReadFile(csv);
  const std::string cells = ",\"'=HYPERLINK(\"\"x\"\")\\x09\xef\xbf\xbd\",'@SUM(1),V12,";
  for (size_t i = 1; i < rows.size(); ++i)
    EXPECT_NE(rows[i].find(cells), std::string::npos) << rows[i];
  for (const std::string& line : Lines(ReadFile(jsonl))) {
    const auto fields = ParseJsonLine(line);
    ASSERT_TRUE(fields) << line;
    EXPECT_EQ(fields->at("charger"), "=HYPERLINK(\"x\")\t\xef\xbf\xbd");
    EXPECT_EQ(fields->at("serial"), "@SUM(1)");
  }
}

// Files that are not records of ours are refused before anything is sent, and left as they
// were; a record whose last line lacks its end gets the next row on a line of its own.
TEST_F(ProductionTest, RecordFilesThatAreNotOursAreRefusedAndLeftAlone) {
  Charger& charger = AddCharger("REC");
  const std::string path = Image("V20");
  const std::map<std::string, std::string> foreign = {
      {dir + "/other.csv", "name,address\nAnn,Main St\n"},
      {dir + "/binary.csv", std::string("\x7f"
                                        "ELF\0\0\x01",
                                        7)},
      {dir + "/other.jsonl", "not json\n"},
  };
  for (const auto& [record, content] : foreign) {
    std::ofstream(record, std::ios::binary) << content;
    const Outcome run = RunCli({"flash", path, "--ports", charger.link, "--record", record});
    EXPECT_EQ(run.exitCode, 2) << record;
    EXPECT_NE(run.err.find(record + " is not a production record"), std::string::npos) << run.err;
    EXPECT_EQ(ReadFile(record), content);
  }
  const std::string fifo = dir + "/fifo.csv";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  const Outcome piped = Cli({"flash", path, "--ports", charger.link, "--record", fifo}).Finish(5s);
  EXPECT_EQ(piped.exitCode, 2);
  EXPECT_NE(piped.err.find("not a regular file"), std::string::npos) << piped.err;
  const Outcome unnamed = RunCli({"flash", path, "--ports", charger.link, "--record", ""});
  EXPECT_EQ(unnamed.exitCode, 2);
  EXPECT_EQ(charger.sim.GetCounters().menuReplies, 0u);

  const std::string cut = dir + "/cut.csv";
  std::ofstream(cut) << CsvHeader() << "2026-01-01T00:00:00.000Z,host,/dev/x";  // cut short
  const Outcome appended = RunCli({"flash", path, "--ports", charger.link, "--record", cut});
  EXPECT_EQ(appended.exitCode, 0) << appended.err;
  const std::vector<std::string> rows = Lines(ReadFile(cut));
  ASSERT_EQ(rows.size(), 3u) << ReadFile(cut);
  EXPECT_EQ(rows[1], "2026-01-01T00:00:00.000Z,host,/dev/x");
  EXPECT_NE(rows[2].find(",REC,V12,fw.bin,"), std::string::npos) << rows[2];
}

}  // namespace
