// The production-line features of charger-updater-cli (gang, --record, --json, --serial,
// --skip-same-version, --verify, info --all) against simulated chargers on real ptys.

#include <gtest/gtest.h>

#include <array>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <sstream>
#include <thread>

#include "cli_process.h"
#include "engine_fixture.h"
#include "record/json_text.h"
#include "scratch_dir.h"
#include "sim/sim_charger.h"

namespace {

using enginetest::MakeImage;
using namespace clitest;

// A short watchdog keeps a silent charger's failure quick; a small image keeps transfers at
// about a second.

struct Charger {
  std::string link;
  enginetest::SimLog log;
  chargersim::SimCharger sim;
};

class ProductionTest : public ::testing::Test {
 protected:
  ~ProductionTest() override {
    for (auto& charger : chargers) {
      charger->sim.Stop();
      if (HasFailure())
        for (const std::string& line : charger->log.Lines())
          std::fprintf(stderr, "%s: %s\n", charger->link.c_str(), line.c_str());
    }
  }

  Charger& AddCharger(const std::string& serial, chargersim::Options options = {}) {
    auto charger = std::make_unique<Charger>();
    charger->link = dir + "/tty" + serial;
    options.identity.serial = serial;
    options.linkPath = charger->link;
    options.verbose = true;
    options.log = charger->log.Sink();
    std::string error;
    EXPECT_TRUE(charger->sim.Start(std::move(options), &error)) << error;
    chargers.push_back(std::move(charger));
    return *chargers.back();
  }

  // An image whose version tag is `version`.
  std::string Image(const std::string& version, size_t size = 3000) {
    image = MakeImage(size, 5);
    const std::string tag = std::string("INFO") + '\0' + version;
    std::copy(tag.begin(), tag.end(), image.begin() + 200);
    const std::string path = dir + "/fw.bin";
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(image.data()),
               static_cast<std::streamsize>(image.size()));
    return path;
  }

  std::string Ports() const {
    std::string ports;
    for (const auto& charger : chargers) ports += (ports.empty() ? "" : ",") + charger->link;
    return ports;
  }

  std::string ReadFile(const std::string& path) const {
    std::ifstream file(path, std::ios::binary);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
  }

  ScratchDir scratch{"prodtest"};
  std::string dir = scratch.Path();
  std::vector<uint8_t> image;
  std::vector<std::unique_ptr<Charger>> chargers;
};

std::vector<JsonFields> JsonLines(const std::string& out) {
  std::vector<JsonFields> parsed;
  for (const std::string& line : Lines(out)) {
    auto fields = ParseJsonLine(line);
    EXPECT_TRUE(fields.has_value()) << "not one JSON object: " << line;
    if (fields) parsed.push_back(std::move(*fields));
  }
  return parsed;
}

std::vector<JsonFields> Events(const std::vector<JsonFields>& lines, const std::string& event) {
  std::vector<JsonFields> found;
  for (const auto& fields : lines)
    if (fields.count("event") && fields.at("event") == event) found.push_back(fields);
  return found;
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

// The child of `parent` whose command line mentions `word`; -1 when none.
pid_t ChildWith(pid_t parent, const std::string& word) {
  for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
    const std::string name = entry.path().filename();
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    std::ifstream stat(entry.path() / "stat");
    std::string pid, comm, state;
    pid_t ppid = -1;
    stat >> pid >> comm >> state >> ppid;  // our own program names have no blanks
    if (ppid != parent) continue;
    std::ifstream cmdline(entry.path() / "cmdline");
    const std::string args((std::istreambuf_iterator<char>(cmdline)), {});
    if (args.find(word) != std::string::npos) return std::stoi(name);
  }
  return -1;
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
  odd.rawReply = std::string("Evil\x1b]0;owned\x07 \xff\xfe Charger\r\nSN: Q1\r\nVER: V12\r\n") +
                 "==== Main Menu ====\r\nSelect: ";
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
}

}  // namespace
