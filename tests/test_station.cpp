// The station view's model: what every row, the header and the totals say, how often the
// window is asked to draw, which sound a result makes, and config.ini's [Station] section.

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "image/profile.h"
#include "scratch_dir.h"
#include "station/station_model.h"
#include "station/station_settings.h"

namespace {

using Clock = StationModel::Clock;
using std::chrono::milliseconds;
using std::chrono::seconds;

const Clock::time_point t0 = Clock::time_point() + std::chrono::hours(1);

MenuReply Charger(const std::string& serial, const std::string& version = "V12") {
  return MenuReply{"QC-2410 Smart Charger", serial, version};
}

SessionRecord Result(const std::string& result, const std::string& serial,
                     const std::string& reason = "", int64_t ms = 7400) {
  SessionRecord record;
  record.port = "/dev/ttyUSB0";
  record.charger = "QC-2410 Smart Charger";
  record.serial = serial;
  record.versionBefore = "V12";
  record.image = "fw_v20.bin";
  record.imageVersion = "V20";
  record.result = result;
  record.reason = reason;
  record.durationMs = ms;
  return record;
}

// The cells of `row` from the frame, which must hold it.
RowCells Drawn(const StationModel::Frame& frame, size_t row) {
  for (const auto& [index, cells] : frame.rows)
    if (index == row) return cells;
  ADD_FAILURE() << "row " << row << " was not drawn";
  return {};
}

bool HasRow(const StationModel::Frame& frame, size_t row) {
  for (const auto& drawn : frame.rows)
    if (drawn.first == row) return true;
  return false;
}

TEST(StationModel, ARowFollowsItsChargerFromWaitingToPassed) {
  StationModel model({"/dev/ttyUSB0"});
  model.SetVerify(true);
  RowCells cells = Drawn(model.TakeFrame(t0), 0);
  EXPECT_EQ(cells.port, "/dev/ttyUSB0");
  EXPECT_EQ(cells.state, "waiting");
  EXPECT_EQ(cells.serial, "");
  EXPECT_EQ(cells.colour, RowColour::Plain);

  model.PortState(0, "connected", Charger("SN1"), t0);
  cells = Drawn(model.TakeFrame(t0 + seconds(1)), 0);
  EXPECT_EQ(cells.state, "found");
  EXPECT_EQ(cells.charger, "QC-2410 Smart Charger");
  EXPECT_EQ(cells.serial, "SN1");
  EXPECT_EQ(cells.versionBefore, "V12");

  model.PortState(0, "programming", Charger("SN1"), t0 + seconds(2));
  model.Progress(0, 40);
  cells = Drawn(model.TakeFrame(t0 + milliseconds(4500)), 0);
  EXPECT_EQ(cells.state, "programming 40 %");
  EXPECT_EQ(cells.elapsed, "2 s");
  EXPECT_EQ(cells.colour, RowColour::Busy);
  EXPECT_EQ(model.Busy(), 1);

  model.PortState(0, "done", Charger("SN1"), t0 + seconds(6));
  cells = Drawn(model.TakeFrame(t0 + seconds(6)), 0);
  EXPECT_EQ(cells.state, "verifying");
  EXPECT_EQ(model.Busy(), 1);

  model.SessionEnded(0, Result("succeeded", "SN1"));
  const auto frame = model.TakeFrame(t0 + seconds(9));
  cells = Drawn(frame, 0);
  EXPECT_EQ(cells.state, "passed");
  EXPECT_EQ(cells.colour, RowColour::Green);
  EXPECT_EQ(cells.versionAfter, "V20");  // verified: it runs the image's version
  EXPECT_EQ(cells.elapsed, "7.4 s");
  EXPECT_EQ(cells.reason, "");
  EXPECT_EQ(model.Busy(), 0);
  ASSERT_TRUE(frame.header);
  EXPECT_EQ(frame.header->passed, "1");
  EXPECT_EQ(frame.sound, StationModel::Sound::Pass);
}

TEST(StationModel, AFailedRowStaysRedUntilTheNextChargerIsPluggedIn) {
  StationModel model({"/dev/ttyUSB0", "/dev/ttyUSB1"});
  model.PortState(0, "programming", Charger("SN1"), t0);
  model.SessionEnded(0, Result("failed", "SN1",
                               "timed out: the charger on /dev/ttyUSB0 did not "
                               "finish within 35 s (after 0 of 40960 bytes)"));
  RowCells cells = Drawn(model.TakeFrame(t0), 0);
  EXPECT_EQ(cells.state, "failed");
  EXPECT_EQ(cells.colour, RowColour::Red);
  EXPECT_NE(cells.reason.find("timed out"), std::string::npos);
  EXPECT_EQ(cells.versionAfter, "");

  // The failed charger is still plugged in, then pulled: the row keeps its result.
  model.PortState(0, "connected", Charger("SN1"), t0 + seconds(1));
  model.PortState(0, "searching", std::nullopt, t0 + seconds(2));
  EXPECT_FALSE(HasRow(model.TakeFrame(t0 + seconds(3)), 0));
  // The next charger replaces it, even if it has the same serial.
  model.PortState(0, "connected", Charger("SN1"), t0 + seconds(4));
  cells = Drawn(model.TakeFrame(t0 + seconds(4)), 0);
  EXPECT_EQ(cells.state, "found");
  EXPECT_EQ(cells.reason, "");
  EXPECT_EQ(cells.colour, RowColour::Plain);

  // Swapped faster than the port noticed: another serial is another charger.
  model.PortState(1, "programming", Charger("SN7"), t0);
  model.SessionEnded(1, Result("failed", "SN7", "lost the charger"));
  model.PortState(1, "connected", Charger("SN8"), t0 + seconds(1));
  EXPECT_EQ(Drawn(model.TakeFrame(t0 + seconds(5)), 1).serial, "SN8");
  // A session that starts always starts on a new charger.
  model.SessionEnded(1, Result("failed", "SN8", "lost the charger"));
  model.PortState(1, "programming", Charger("SN8"), t0 + seconds(6));
  EXPECT_EQ(Drawn(model.TakeFrame(t0 + seconds(7)), 1).state, "programming 0 %");
}

TEST(StationModel, TotalsAndYieldCountEachResultOnce) {
  StationModel model({"A", "B", "C"});
  EXPECT_EQ(model.TakeFrame(t0).header->yield, "-");
  for (const char* result :
       {"succeeded", "succeeded", "succeeded", "failed", "refused", "skipped", "cancelled"})
    model.SessionEnded(0, Result(result, "SN"));
  const auto header = *model.TakeFrame(t0).header;
  EXPECT_EQ(header.passed, "3");
  EXPECT_EQ(header.failed, "1");
  EXPECT_EQ(header.refused, "1");
  // Skipped and cancelled chargers were neither programmed nor found faulty.
  EXPECT_EQ(header.yield, "60.0 %");
  EXPECT_EQ(header.others, "1 skipped, 1 cancelled");
  const auto totals = model.GetTotals();
  EXPECT_EQ(totals.skipped, 1);
  EXPECT_EQ(totals.cancelled, 1);

  StationModel colours({"A"});
  const std::pair<const char*, RowColour> expected[] = {{"refused", RowColour::Amber},
                                                        {"skipped", RowColour::Amber},
                                                        {"cancelled", RowColour::Amber},
                                                        {"failed", RowColour::Red}};
  Clock::time_point now = t0;
  for (const auto& [result, colour] : expected) {
    colours.SessionEnded(0, Result(result, "SN"));
    now += seconds(1);
    const RowCells cells = Drawn(colours.TakeFrame(now), 0);
    EXPECT_EQ(cells.state, result);
    EXPECT_EQ(cells.colour, colour) << result;
  }
}

TEST(StationModel, ARowIsDrawnAtMostTenTimesASecond) {
  StationModel model({"A", "B"});
  std::atomic<int> wakes{0};
  model.SetChangedListener([&] { ++wakes; });
  model.TakeFrame(t0);
  model.PortState(0, "programming", Charger("SN1"), t0);
  EXPECT_EQ(Drawn(model.TakeFrame(t0 + milliseconds(100)), 0).state, "programming 0 %");

  // A burst of progress asks the window once, and is drawn once the period is over.
  for (int percent = 1; percent <= 30; ++percent) model.Progress(0, percent);
  EXPECT_EQ(wakes, 2);
  auto frame = model.TakeFrame(t0 + milliseconds(150));
  EXPECT_FALSE(HasRow(frame, 0));
  ASSERT_TRUE(frame.next);
  EXPECT_EQ(*frame.next, t0 + milliseconds(200));
  frame = model.TakeFrame(*frame.next);
  EXPECT_EQ(Drawn(frame, 0).state, "programming 30 %");
  EXPECT_FALSE(HasRow(frame, 1));

  // With nothing new the running clock alone redraws it, once a second.
  ASSERT_TRUE(frame.next);
  EXPECT_EQ(*frame.next, t0 + seconds(1));
  EXPECT_TRUE(model.TakeFrame(t0 + milliseconds(900)).rows.empty());
  EXPECT_EQ(Drawn(model.TakeFrame(t0 + seconds(1)), 0).elapsed, "1 s");

  // Once the session is over nothing is left to draw and no wake-up is asked for.
  model.SessionEnded(0, Result("succeeded", "SN1"));
  model.TakeFrame(t0 + seconds(2));
  frame = model.TakeFrame(t0 + seconds(3));
  EXPECT_TRUE(frame.rows.empty());
  EXPECT_FALSE(frame.header);
  EXPECT_FALSE(frame.next);
}

TEST(StationModel, SoundsTellPassFromFailAndCanBeTurnedOff) {
  StationModel model({"A", "B", "C"});
  model.SessionEnded(0, Result("succeeded", "SN1"));
  model.SessionEnded(1, Result("failed", "SN2"));
  model.SessionEnded(2, Result("succeeded", "SN3"));
  // Results that come together sound once; a failure is not drowned by a pass.
  EXPECT_EQ(model.TakeFrame(t0).sound, StationModel::Sound::Fail);
  EXPECT_FALSE(model.TakeFrame(t0 + seconds(1)).sound);
  model.SessionEnded(0, Result("refused", "SN4"));
  EXPECT_EQ(model.TakeFrame(t0 + seconds(2)).sound, StationModel::Sound::Fail);
  model.SessionEnded(0, Result("skipped", "SN4"));
  EXPECT_EQ(model.TakeFrame(t0 + seconds(3)).sound, StationModel::Sound::Pass);
  // The operator pressed Stop: no sound for what was cancelled.
  model.SessionEnded(0, Result("cancelled", "SN5"));
  EXPECT_FALSE(model.TakeFrame(t0 + seconds(4)).sound);

  model.SetSound(false);
  model.SessionEnded(1, Result("failed", "SN6"));
  EXPECT_FALSE(model.TakeFrame(t0 + seconds(5)).sound);
}

TEST(StationModel, HeaderNamesTheImageOrJobAndWhatCanBePressed) {
  StationModel model({"A"});
  auto header = *model.TakeFrame(t0).header;
  EXPECT_FALSE(header.canStart);
  EXPECT_TRUE(header.canOpen);

  ImageFacts image{"fw_v20.bin", 40960, std::string("da4f50f008c5705a") + std::string(48, '0'),
                   "V20"};
  model.SetImage(image);
  header = *model.TakeFrame(t0).header;
  EXPECT_EQ(header.title, "fw_v20.bin");
  EXPECT_EQ(header.details, "40960 bytes \u00b7 version V20 \u00b7 SHA-256 da4f50f008c5");
  EXPECT_TRUE(header.canStart);
  EXPECT_FALSE(header.canStop);

  model.SetRun(StationModel::Run::Running);
  header = *model.TakeFrame(t0).header;
  EXPECT_FALSE(header.canStart);
  EXPECT_TRUE(header.canStop);
  EXPECT_FALSE(header.canOpen);
  model.SetRun(StationModel::Run::Stopping);
  header = *model.TakeFrame(t0).header;
  EXPECT_FALSE(header.canStop);
  EXPECT_FALSE(header.canStart);

  image.versionTag.reset();
  model.SetImage(image, "QC-2410 release V20");
  model.SetRun(StationModel::Run::Stopped);
  header = *model.TakeFrame(t0).header;
  EXPECT_EQ(header.title, "Job: QC-2410 release V20");
  EXPECT_EQ(header.details, "fw_v20.bin \u00b7 40960 bytes \u00b7 SHA-256 da4f50f008c5");
  EXPECT_FALSE(header.canOpen);  // the job fixes the image
}

TEST(StationModel, DeviceTextIsShownEscaped) {
  StationModel model({"A"});
  model.PortState(0, "connected", MenuReply{"QC\x1b[2J", std::string("S\x07N"), std::nullopt}, t0);
  const RowCells cells = Drawn(model.TakeFrame(t0), 0);
  EXPECT_EQ(cells.charger, "QC\\x1b[2J");
  EXPECT_EQ(cells.serial, "S\\x07N");
  EXPECT_EQ(cells.versionBefore, "-");
}

TEST(StationModel, APortThatCannotBeSearchedSaysWhyWhileItWaits) {
  StationModel model({"A"});
  model.PortProblem(0, "held by another program");
  EXPECT_EQ(Drawn(model.TakeFrame(t0), 0).reason, "held by another program");
  model.PortState(0, "connected", Charger("SN1"), t0);
  EXPECT_EQ(Drawn(model.TakeFrame(t0 + seconds(1)), 0).reason, "");
}

// ---------------------------------------------------------------------------------------------

std::string ReadAll(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  std::stringstream text;
  text << file.rdbuf();
  return text.str();
}

TEST(StationSettings, KeysAreReadAndRememberedKeepingTheRestOfConfigIni) {
  ScratchDir dir("station-settings");
  const std::string config = dir.Path() + "/config.ini";
  std::string error;
  StationSettings settings = ReadStationSettings(config, &error);
  EXPECT_EQ(error, "");
  EXPECT_TRUE(settings.ports.empty());
  EXPECT_TRUE(settings.sound);

  const std::string before =
      "; line 4\r\n[File]\r\nPath=C:\\fw\\old.bin\r\n[Record]\r\nPath=r.csv\r\n";
  std::ofstream(config, std::ios::binary)
      << before << "[Station]\r\nSound=0\r\nPorts= COM3 ,COM7,,\r\n";
  settings = ReadStationSettings(config, &error);
  EXPECT_EQ(settings.ports, (std::vector<std::string>{"COM3", "COM7"}));
  EXPECT_FALSE(settings.sound);

  ASSERT_TRUE(RememberStationPorts(config, {"COM4", "COM5"}, &error)) << error;
  ASSERT_TRUE(RememberStationImage(config, "C:\\fw\\fw_v20.bin", &error)) << error;
  settings = ReadStationSettings(config, &error);
  EXPECT_EQ(settings.ports, (std::vector<std::string>{"COM4", "COM5"}));
  EXPECT_EQ(settings.image, "C:\\fw\\fw_v20.bin");
  EXPECT_EQ(settings.job, "");
  // The single-charger window's image and every other line stay as they were.
  EXPECT_EQ(ReadAll(config).substr(0, before.size()), before);

  // The last of image and job is the one remembered.
  ASSERT_TRUE(RememberStationJob(config, "line4.ini", &error)) << error;
  settings = ReadStationSettings(config, &error);
  EXPECT_EQ(settings.job, "line4.ini");
  EXPECT_EQ(settings.image, "");
  ASSERT_TRUE(RememberStationImage(config, "fw.bin", &error)) << error;
  EXPECT_EQ(ReadStationSettings(config, &error).job, "");
}

TEST(StationSettings, AConfigTooLargeToBeOursIsNeitherReadNorUsed) {
  ScratchDir dir("station-settings");
  const std::string config = dir.Path() + "/config.ini";
  std::ofstream(config) << "[Station]\nPorts=COM3\n" << std::string(kLargestProfile, ';');
  std::string error;
  const StationSettings settings = ReadStationSettings(config, &error);
  EXPECT_NE(error, "");
  EXPECT_TRUE(settings.ports.empty());
}

}  // namespace
