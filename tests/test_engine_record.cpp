// The window's production settings from config.ini: the record it keeps and fast replies.

#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "engine_fixture.h"
#include "image/sha256.h"
#include "record/json_text.h"
#include "record/production_settings.h"
#include "res/resource_ids.h"

namespace {

using namespace enginetest;

class EngineRecordTest : public EngineFixture {
 protected:
  void WriteConfig(const std::string& text) { std::ofstream(dir + "/config.ini") << text; }
};

TEST_F(EngineRecordTest, EachSessionEndIsOneRowWithTheChargerBeforeAndTheImage) {
  const std::string record = dir + "/line.jsonl";
  WriteConfig("[File]\nPath=NONE\n[Record]\nPath=" + record + "\n[Transfer]\nFast=1\n");
  ASSERT_TRUE(StartEngineOnSim([] {
    chargersim::Options options;
    options.identity.serial = "SN42";
    return options;
  }()));
  std::string error;
  const auto file = ApplyProductionSettings(Dlg(), dir + "/config.ini", &error);
  ASSERT_TRUE(file) << error;
  EXPECT_TRUE(Dlg().FastReplies());

  std::vector<uint8_t> image = MakeImage(3000);
  const std::string tag = std::string("INFO") + '\0' + "V31";
  std::copy(tag.begin(), tag.end(), image.begin() + 100);
  OpenFile(WriteFile("fw.bin", image));
  ASSERT_TRUE(surface.Enabled(ids::kUpdate));
  Gui([&] { Dlg().StartProgramming(); });
  ASSERT_TRUE(WaitFor([&] { return Dlg().m_nSucceeded == 1; }));
  ASSERT_TRUE(WaitFor([&] { return !ReadFile(record).empty(); }));

  const auto row = ParseJsonLine(ReadFile(record));
  ASSERT_TRUE(row) << ReadFile(record);
  EXPECT_EQ(row->at("result"), "succeeded");
  EXPECT_EQ(row->at("port"), sim.SlavePath());
  EXPECT_EQ(row->at("serial"), "SN42");
  EXPECT_EQ(row->at("version_before"), "V12");  // not the version the charger took on
  EXPECT_EQ(row->at("image"), "fw.bin");
  EXPECT_EQ(row->at("image_size"), "3000");
  EXPECT_EQ(row->at("image_sha256"), Sha256Hex(image.data(), image.size()));
  EXPECT_EQ(row->at("image_version"), "V31");
  EXPECT_FALSE(row->at("time").empty());
}

TEST_F(EngineRecordTest, NoRecordSectionKeepsNoRecordAndAnUnwritableOneIsRefused) {
  CQuorlinDlg& dlg = StartEngineWithoutCharger();
  std::string error;
  WriteConfig("[File]\nPath=NONE\n[Transfer]\nFast=0\n");
  EXPECT_FALSE(ApplyProductionSettings(dlg, dir + "/config.ini", &error));
  EXPECT_EQ(error, "");
  EXPECT_FALSE(dlg.FastReplies());

  WriteConfig("[Record]\nPath=" + dir + "\n");  // a directory
  EXPECT_FALSE(ApplyProductionSettings(dlg, dir + "/config.ini", &error));
  EXPECT_NE(error.find(dir), std::string::npos) << error;
}

}  // namespace
