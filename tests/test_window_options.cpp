// The window program's command line, refused before any window opens: the station's guard and
// record options without --station, and an image or an option that a job fixes beside the job,
// whether --job or config.ini's [Job] Path= names it.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "cli_process.h"
#include "scratch_dir.h"

namespace {

using namespace clitest;

bool Has(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

// A refusal comes at once; a window that opened instead is killed after a few seconds.
Outcome RunWindow(const std::vector<std::string>& args) {
  return Cli(args, {{"QT_QPA_PLATFORM", "offscreen"}}, false, WINDOW_PATH).Finish(10s);
}

TEST(WindowOptions, TheStationsGuardsAndRecordNamesNeedTheStation) {
  for (const std::string& option : std::vector<std::string>{
           "--model=QC-2410*", "--no-downgrade", "--sha256=" + std::string(64, 'a'), "--retries=2",
           "--station-name=Line 4", "--operator=ann", "--lot=L7"}) {
    const Outcome run = RunWindow({option});
    EXPECT_EQ(run.exitCode, kUsage) << option;
    EXPECT_TRUE(Has(run.err, " requires --station")) << option << ": " << run.err;
  }
}

TEST(WindowOptions, AnImageOrAGuardBesideTheStationsJobIsRefused) {
  ScratchDir scratch("winopts");
  const std::string dir = scratch.Path();
  const std::string image = dir + "/fw.bin";
  std::ofstream(image, std::ios::binary) << std::string(3000, 'x');
  const std::string job = dir + "/line4.ini";
  std::ofstream(job) << "[Job]\nName=Line 4\nImage=fw.bin\n";
  const std::string port = dir + "/ttyNONE";  // never opened
  const struct {
    std::vector<std::string> args;
    std::string says;
  } refused[] = {
      {{"--station", image, "--job", job}, "the job fixes the image: leave out " + image},
      {{"--station", "--job", job, "--model", "QC-*"},
       "the job fixes the models: leave out --model"},
      {{"--station", "--job", job, "--record", dir + "/x.csv"},
       "the job fixes the record: leave out --record"},
      {{"--station", "--job", job, "--retries", "2"},
       "the job fixes the retries: leave out --retries"},
  };
  for (const auto& [args, says] : refused) {
    std::vector<std::string> all = args;
    all.insert(all.end(), {"--ports", port, "--operator", "ann", "--lot", "L7"});
    const Outcome run = RunWindow(all);
    EXPECT_EQ(run.exitCode, kUsage) << run.err;
    EXPECT_TRUE(Has(run.err, says + " or the --job")) << run.err;
  }

  // config.ini's [Job] Path= fixes the image just the same, and says where it comes from.
  std::ofstream(dir + "/config.ini") << "[Job]\nPath=" << job << "\n";
  const std::filesystem::path before = std::filesystem::current_path();
  std::filesystem::current_path(dir);
  const Outcome run = RunWindow({"--station", image, "--ports", port});
  std::filesystem::current_path(before);
  EXPECT_EQ(run.exitCode, kUsage) << run.err;
  EXPECT_TRUE(
      Has(run.err, "the job fixes the image: leave out " + image + " or [Job] Path= in config.ini"))
      << run.err;
  EXPECT_FALSE(std::filesystem::exists(port));
}

}  // namespace
