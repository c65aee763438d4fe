// The window run from a job, on the engine with a recording face: the job's image for good,
// its name in the caption, and a charger its guards refuse shown with the reason and never
// programmed.

#include <gtest/gtest.h>

#include <fstream>
#include <optional>
#include <string>

#include "engine_fixture.h"
#include "image/sha256.h"
#include "record/json_text.h"
#include "record/production_settings.h"
#include "res/dialog_templates.h"
#include "res/resource_ids.h"
#include "serial/serial_port.h"

namespace {

using namespace enginetest;

class EngineJobTest : public EngineFixture {
 protected:
  // The engine's sender thread writes rows into `record` and reads `job`: both outlive it,
  // as they do in the window.
  ~EngineJobTest() override { StopEngine(); }

  // An engine on the simulated charger, run from a job with these lines after [Job].
  bool StartWithJob(chargersim::Options simOptions, const std::string& lines) {
    image = MakeImage(3000, 4);
    const std::string tag = std::string("INFO") + '\0' + "V20";
    std::copy(tag.begin(), tag.end(), image.begin() + 100);
    WriteFile("fw.bin", image);
    WriteFile("other.bin", MakeImage(2000, 5));
    config = dir + "/config.ini";
    std::ofstream(config) << "[File]\nPath=" << dir << "/other.bin\n[Job]\nPath=" << dir
                          << "/job.ini\n";
    std::ofstream(dir + "/job.ini") << "[Job]\nName=Line 4 job\nImage=fw.bin\n" << lines;
    if (!StartSim(std::move(simOptions))) return false;
    CQuorlinDlg::Options options = EngineOptions({sim.SlavePath()});
    options.configPath = config;
    options.startSupervisor = true;
    dlg = std::make_unique<CQuorlinDlg>(surface, g_serial, std::move(options));
    std::string problem;
    Gui([&] {
      problem = ApplyJob(*dlg, config, "", &job);
      if (problem.empty()) record = ApplyProductionSettings(*dlg, config, &problem, {}, &*job);
      dlg->OnInitDialog();
    });
    EXPECT_EQ(problem, "");
    return problem.empty();
  }

  std::string config;
  std::vector<uint8_t> image;
  std::optional<Job> job;
  std::unique_ptr<RecordFile> record;
};

TEST_F(EngineJobTest, ARefusedChargerIsShownWithTheReasonAndNeverProgrammed) {
  chargersim::Options other;
  other.identity.id = "QC-3000 Pro";
  ASSERT_TRUE(StartWithJob(other, "Models=QC-2410*,QC-2411*\n"));
  EXPECT_EQ(surface.Text(ids::kMainDialog),
            std::string(MainDialogTemplate().caption) + " - Line 4 job");
  EXPECT_EQ(surface.Text(ids::kImageName), "Name : fw.bin");  // not the remembered other.bin
  EXPECT_FALSE(surface.Enabled(ids::kOpen));
  ASSERT_TRUE(WaitFor([&] { return surface.Text(ids::kStatic) == "Charger refused. "; }));
  EXPECT_TRUE(WaitFor([&] {
    return surface.Text(ids::kHintLine) ==
           "charger 'QC-3000 Pro' is not a model this image is for (QC-2410*, QC-2411*).";
  })) << surface.Text(ids::kHintLine);
  EXPECT_FALSE(surface.Enabled(ids::kUpdate));

  // Neither auto-programming nor a start asked for directly reaches it.
  Gui([&] {
    Dlg().ToggleAutoProgram();
    Dlg().StartProgramming();
    Dlg().OnFileOpen();
  });
  EXPECT_FALSE(surface.Enabled(ids::kOpen));
  std::this_thread::sleep_for(1500ms);
  EXPECT_EQ(simLog.Count("-> loader"), 0);
  EXPECT_EQ(Dlg().m_nSucceeded + Dlg().m_nFailed, 0);
  EXPECT_EQ(ReadFile(config).find("fw.bin"), std::string::npos)
      << "the job's image is not remembered";
}

TEST_F(EngineJobTest, AChargerTheJobIsForIsProgrammedAndOpenStaysOff) {
  ASSERT_TRUE(StartWithJob({}, "Models=QC-2410*\nNoDowngrade=1\nRecord=rows.jsonl\nStation=L4\n"));
  ASSERT_TRUE(WaitFor([&] { return surface.Enabled(ids::kUpdate) && Dlg().m_bSearching == 0; }));
  EXPECT_TRUE(WaitFor([&] { return surface.Text(ids::kStatic) == "Ready to update."; }));
  Gui([&] { Dlg().StartProgramming(); });
  ASSERT_TRUE(WaitFor([&] { return Dlg().m_nSucceeded == 1; }));
  EXPECT_TRUE(sim.WaitForSessions(1, 5s));
  EXPECT_EQ(sim.Sessions()[0].image, image);
  EXPECT_FALSE(surface.Enabled(ids::kOpen));
  ASSERT_TRUE(WaitFor([&] { return !ReadFile(dir + "/rows.jsonl").empty(); }));
  const auto row = ParseJsonLine(ReadFile(dir + "/rows.jsonl"));
  ASSERT_TRUE(row);
  EXPECT_EQ(row->at("job"), "Line 4 job");
  EXPECT_EQ(row->at("station"), "L4");
  EXPECT_EQ(row->at("image_sha256"), Sha256Hex(image.data(), image.size()));
}

}  // namespace
