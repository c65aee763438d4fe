// Production records and JSON lines: what the operator's files and scripts read back.

#include <gtest/gtest.h>

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

  const std::string row = CsvRow(record);
  EXPECT_NE(row.find(",\"QC, \"\"2410\"\"\r\nline\","), std::string::npos) << row;
  EXPECT_EQ(row.back(), '\n');
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

}  // namespace
