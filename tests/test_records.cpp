// Production records and JSON lines: what the operator's files and scripts read back.

#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "record/json_text.h"
#include "record/record_file.h"
#include "record/session_record.h"
#include "scratch_dir.h"

namespace {

std::string ReadAll(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  std::stringstream text;
  text << file.rdbuf();
  return text.str();
}

SessionRecord Sample() {
  SessionRecord r;
  r.time = "2026-12-08T08:00:00.000Z";
  r.host = "bench";
  r.port = "/dev/ttyUSB0";
  r.charger = "QC, \"2410\"\r\nline";
  r.serial = "SN1";
  r.image = "fw.bin";
  r.imageSize = 40960;
  r.imageSha256 = std::string(64, 'a');
  r.imageVersion = "V14";
  r.result = "failed";
  r.reason = "timed out";
  r.durationMs = 35000;
  return r;
}

TEST(JsonText, DeviceBytesCannotBreakTheLineOrReachATerminalRaw) {
  const std::string nasty = std::string("a\"b\\c\x1b[2J\x07\x7f\n\r") + '\0' + "end";
  const std::string quoted = JsonString(nasty);
  for (char c : quoted) EXPECT_GE(static_cast<unsigned char>(c), 0x20) << quoted;
  EXPECT_EQ(quoted.find('\x7f'), std::string::npos);
  const auto back = ParseJsonLine("{\"k\":" + quoted + "}");
  ASSERT_TRUE(back);
  EXPECT_EQ(back->at("k"), nasty);
}

TEST(JsonText, InvalidUtf8BecomesReplacementAndValidUtf8StaysAsItIs) {
  // Stray continuation, overlong '/', a surrogate, a cut sequence; then real text.
  const std::string bad = "\x80|\xc0\xaf|\xed\xa0\x80|\xe2\x82";
  EXPECT_EQ(JsonString(bad), "\"\\ufffd|\\ufffd\\ufffd|\\ufffd\\ufffd\\ufffd|\\ufffd\\ufffd\"");
  EXPECT_EQ(JsonString("Ladeger\xc3\xa4t \xe2\x82\xac \xf0\x9f\x94\x8b"),
            "\"Ladeger\xc3\xa4t \xe2\x82\xac \xf0\x9f\x94\x8b\"");
}

TEST(JsonText, ParserRefusesWhatIsNotOneFlatObject) {
  for (const char* line : {"", "{", "{\"a\":1", "{\"a\":1}x", "{\"a\":[1]}", "{\"a\":\"\\x\"}",
                           "{\"a\":\"\\ud800\"}", "[1]"})
    EXPECT_FALSE(ParseJsonLine(line)) << line;
  const auto fields = ParseJsonLine(R"( {"a": "x\u00e9\ud83d\udd0b", "n": -12, "z": null} )");
  ASSERT_TRUE(fields);
  EXPECT_EQ(fields->at("a"), "x\xc3\xa9\xf0\x9f\x94\x8b");
  EXPECT_EQ(fields->at("n"), "-12");
  EXPECT_EQ(fields->count("z"), 0u);
}

TEST(SessionRecordText, JsonRoundTripsAndCsvQuotesAwkwardFields) {
  const SessionRecord record = Sample();
  const std::string json = RecordJson(record).Text();
  EXPECT_NE(json.find("\"version_before\":null"), std::string::npos) << json;
  const auto fields = ParseJsonLine(json);
  ASSERT_TRUE(fields);
  const SessionRecord back = RecordFromJson(*fields);
  EXPECT_EQ(back.charger, record.charger);
  EXPECT_EQ(back.serial, record.serial);
  EXPECT_FALSE(back.versionBefore);  // unread stays unread, not ""
  EXPECT_EQ(back.imageSize, 40960u);
  EXPECT_EQ(back.durationMs, 35000);
  EXPECT_EQ(CsvRow(back), CsvRow(record));

  // Line breaks in a cell are shown, not kept: every row is one line.
  const std::string row = CsvRow(record);
  EXPECT_NE(row.find(",\"QC, \"\"2410\"\"\\x0d\\x0aline\","), std::string::npos) << row;
  EXPECT_EQ(row.back(), '\n');
}

TEST(SessionRecordText, CsvCellsCarryNoFormulaNoControlByteAndOnlyValidText) {
  SessionRecord record = Sample();
  const std::pair<std::string, std::string> cells[] = {
      {"=cmd|' /C calc'!A0", "'=cmd|' /C calc'!A0"},
      {"+1", "'+1"},
      {"-2", "'-2"},
      {"@SUM(A1)", "'@SUM(A1)"},
      {"\tX", "\\x09X"},
      {"\rY", "\\x0dY"},
      {"QC\x1b[31m", "QC\\x1b[31m"},
      {"Ladeger\xc3\xa4t \xff", "Ladeger\xc3\xa4t \xef\xbf\xbd"},
      {"plain 2410", "plain 2410"},
  };
  for (const auto& [text, cell] : cells) {
    record.charger = text;
    const std::string row = CsvRow(record);
    EXPECT_NE(row.find(",/dev/ttyUSB0," + cell + ",SN1,"), std::string::npos) << row;
    const auto fields = ParseJsonLine(RecordJson(record).Text());
    ASSERT_TRUE(fields);
    if (text.find('\xff') == std::string::npos) {
      EXPECT_EQ(fields->at("charger"), text);
    }
  }
}

// The calendar arithmetic is ours; the C library's clock is the reference.
TEST(SessionRecordText, TimeIsUtcIso8601WithMilliseconds) {
  auto utc = [](std::time_t at) {
    std::tm parts{};
    gmtime_r(&at, &parts);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &parts);
    return std::string(text);
  };
  const std::time_t before = std::time(nullptr);
  const std::string now = UtcNowIso8601();
  const std::time_t after = std::time(nullptr);
  ASSERT_EQ(now.size(), 24u) << now;
  EXPECT_EQ(now.substr(19, 1), ".");
  EXPECT_EQ(now.back(), 'Z');
  const std::string seconds = now.substr(0, 19);
  EXPECT_TRUE(seconds == utc(before) || seconds == utc(after)) << now << " vs " << utc(before);
}

class RecordFileTest : public ::testing::Test {
 protected:
  ScratchDir scratch{"rectest"};
  std::string dir = scratch.Path();
};

TEST_F(RecordFileTest, CsvHeaderOnlyWhenNewAndRowsAppendedAcrossRuns) {
  const std::string path = dir + "/rec.csv";
  std::string error;
  for (int run = 0; run < 2; ++run) {
    auto file = RecordFile::Open(path, &error);
    ASSERT_TRUE(file) << error;
    ASSERT_TRUE(file->Append(Sample(), &error)) << error;
  }
  EXPECT_EQ(ReadAll(path), CsvHeader() + CsvRow(Sample()) + CsvRow(Sample()));
}

TEST_F(RecordFileTest, ParallelAppendsNeverInterleave) {
  const std::string path = dir + "/rec.jsonl";
  std::string error;
  auto first = RecordFile::Open(path, &error);
  auto second = RecordFile::Open(path, &error);
  ASSERT_TRUE(first && second) << error;
  auto writer = [](RecordFile* file, const std::string& port) {
    SessionRecord record = Sample();
    record.port = port;
    record.reason = std::string(3000, 'r');  // well past a pipe's atomic size
    std::string ignored;
    for (int i = 0; i < 200; ++i) file->Append(record, &ignored);
  };
  std::thread a(writer, first.get(), "A");
  std::thread b(writer, second.get(), "B");
  a.join();
  b.join();
  std::istringstream lines(ReadAll(path));
  int count = 0;
  for (std::string line; std::getline(lines, line); ++count) ASSERT_TRUE(ParseJsonLine(line));
  EXPECT_EQ(count, 400);
}

TEST_F(RecordFileTest, UnwritablePathsAreRefusedWithTheirName) {
  std::filesystem::create_directory(dir + "/folder.csv");
  for (const std::string& path : {dir + "/missing/rec.csv", dir + "/folder.csv"}) {
    std::string error;
    EXPECT_FALSE(RecordFile::Open(path, &error)) << path;
    EXPECT_NE(error.find(path), std::string::npos) << error;
  }
}

// The file-size limit cuts a write short as a full disk does, through the real file layer.
class FileSizeLimit {
 public:
  explicit FileSizeLimit(rlim_t bytes) {
    ::getrlimit(RLIMIT_FSIZE, &m_saved);
    m_oldAction = std::signal(SIGXFSZ, SIG_IGN);
    rlimit limited = m_saved;
    limited.rlim_cur = bytes;
    ::setrlimit(RLIMIT_FSIZE, &limited);
  }
  ~FileSizeLimit() {
    ::setrlimit(RLIMIT_FSIZE, &m_saved);
    std::signal(SIGXFSZ, m_oldAction);
  }

 private:
  rlimit m_saved{};
  void (*m_oldAction)(int) = nullptr;
};

TEST_F(RecordFileTest, ARowCutShortIsTakenBackAndTheNextOneStartsOnItsOwnLine) {
  for (const std::string& path : {dir + "/rec.csv", dir + "/rec.jsonl"}) {
    std::string error;
    auto file = RecordFile::Open(path, &error);
    ASSERT_TRUE(file) << error;
    ASSERT_TRUE(file->Append(Sample(), &error)) << error;
    const std::string whole = ReadAll(path);
    {
      const FileSizeLimit limit(whole.size() + 50);
      EXPECT_FALSE(file->Append(Sample(), &error));
    }
    EXPECT_NE(error.find(path), std::string::npos) << error;
    EXPECT_EQ(ReadAll(path), whole);
    ASSERT_TRUE(file->Append(Sample(), &error)) << error;
  }
  // A last line someone else left without its end.
  const std::string cut = dir + "/cut.jsonl";
  std::ofstream(cut) << "{\"a\":1}\n{\"b\":";
  std::string error;
  auto file = RecordFile::Open(cut, &error);
  ASSERT_TRUE(file) << error;
  ASSERT_TRUE(file->Append(Sample(), &error)) << error;
  std::istringstream lines(ReadAll(cut));
  std::vector<std::string> read;
  for (std::string line; std::getline(lines, line);) read.push_back(line);
  ASSERT_EQ(read.size(), 3u);
  EXPECT_EQ(read[1], "{\"b\":");
  EXPECT_TRUE(ParseJsonLine(read[2]));
}

TEST_F(RecordFileTest, AnEarlierVersionsCsvKeepsItsOwnHeader) {
  const std::string path = dir + "/old.csv";
  std::string header;
  for (size_t i = 0; i < kFirstRecordColumns; ++i) header += (i ? "," : "") + RecordFieldNames()[i];
  std::ofstream(path) << header << "\n";
  std::string error;
  auto file = RecordFile::Open(path, &error);
  ASSERT_TRUE(file) << error;
  ASSERT_TRUE(file->Append(Sample(), &error)) << error;
  std::vector<std::string> first(RecordFieldNames().begin(),
                                 RecordFieldNames().begin() + kFirstRecordColumns);
  EXPECT_EQ(ReadAll(path), header + "\n" + CsvRow(Sample(), first));
}

TEST_F(RecordFileTest, FilesOfOtherKindsAreRefusedWithoutWaitingAndLeftAsTheyWere) {
  const std::string fifo = dir + "/fifo.jsonl";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  std::string error;
  EXPECT_FALSE(RecordFile::Open(fifo, &error));  // no reader: an open would wait for ever
  EXPECT_NE(error.find("not a regular file"), std::string::npos) << error;
  const std::pair<std::string, std::string> foreign[] = {
      {dir + "/people.csv", "name,address\n"},
      {dir + "/image.csv", std::string("\x89PNG\r\n\x1a\n\0\0", 10)},
      {dir + "/notes.jsonl", "just text\n"},
      {dir + "/reordered.csv", "host,time\n"},
  };
  for (const auto& [path, content] : foreign) {
    std::ofstream(path, std::ios::binary) << content;
    EXPECT_FALSE(RecordFile::Open(path, &error)) << path;
    EXPECT_NE(error.find("not a production record"), std::string::npos) << error;
    EXPECT_EQ(ReadAll(path), content);
  }
}

// A new file on a full disk is refused up front, CSV and JSON Lines alike, and not left
// behind empty. Needs a small tmpfs of its own: a mount namespace, as root or through a user
// namespace.
TEST_F(RecordFileTest, ANewRecordOnAFullDiskIsRefusedAndNotLeftBehind) {
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    const bool root = ::geteuid() == 0;
    if (::unshare(CLONE_NEWNS | (root ? 0 : CLONE_NEWUSER)) != 0) ::_exit(77);
    ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr);
    if (::mount("tmpfs", dir.c_str(), "tmpfs", 0, "size=64k") != 0) ::_exit(77);
    {
      std::ofstream fill(dir + "/fill", std::ios::binary);
      const std::string block(4096, 'x');
      while (fill.write(block.data(), block.size())) {
      }
    }
    int failures = 0;
    for (const std::string& path : {dir + "/new.csv", dir + "/new.jsonl"}) {
      std::string error;
      if (RecordFile::Open(path, &error) || error.find("disk is full") == std::string::npos ||
          std::filesystem::exists(path))
        ++failures;
    }
    ::_exit(failures);
  }
  int status = 0;
  ::waitpid(child, &status, 0);
  ASSERT_TRUE(WIFEXITED(status));
  if (WEXITSTATUS(status) == 77) GTEST_SKIP() << "no mount namespace for a tmpfs of our own";
  EXPECT_EQ(WEXITSTATUS(status), 0) << "records opened on a full disk, or left behind";
}

}  // namespace
