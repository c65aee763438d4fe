// Guards and jobs: the version order, model patterns, what the guards refuse, and job files
// that cannot be run.

#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

#include "image/sha256.h"
#include "job/guards.h"
#include "job/job_file.h"
#include "job/model_pattern.h"
#include "job/version_order.h"
#include "scratch_dir.h"

namespace {

TEST(VersionOrder, DigitRunsAsNumbersTheRestByteByByteTheFirstDifferenceDecides) {
  using O = VersionOrder;
  const struct {
    const char* a;
    const char* b;
    VersionOrder order;
  } cases[] = {
      {"V9", "V12", O::Older},        {"V12", "V9", O::Newer},
      {"104", "105", O::Older},       {"V20", "V20", O::Same},
      {"V020", "V20", O::Same},       {"V12", "W12", O::Older},
      {"V1.2", "V1.10", O::Older},    {"V2A", "V12", O::Older},
      {"V12", "V12b", O::Older},      {"", "", O::Same},
      {"12", "V12", O::Incomparable}, {"V1.2", "VA.2", O::Incomparable},
      {"V12a", "V121", O::Older},     {"R2-3", "R2-03", O::Same},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(CompareVersions(c.a, c.b), c.order) << c.a << " vs " << c.b;
    // Read the other way round, the order turns.
    const VersionOrder back = c.order == O::Older   ? O::Newer
                              : c.order == O::Newer ? O::Older
                                                    : c.order;
    EXPECT_EQ(CompareVersions(c.b, c.a), back) << c.b << " vs " << c.a;
  }
}

TEST(ModelPattern, WildcardsCoverTheWholeLineAndCaseCounts) {
  EXPECT_TRUE(MatchesModel("QC-2410 Smart Charger", "QC-2410*"));
  EXPECT_TRUE(MatchesModel("QC-2410", "QC-2410*"));
  EXPECT_TRUE(MatchesModel("QC-2411 Pro", "QC-241? Pro"));
  EXPECT_TRUE(MatchesModel("a*b", "a*b"));
  EXPECT_TRUE(MatchesModel("aXXbYYb", "a*b"));
  EXPECT_FALSE(MatchesModel("QC-2410 Smart Charger", "QC-2410"));  // the whole line
  EXPECT_FALSE(MatchesModel("My QC-2410", "QC-2410*"));
  EXPECT_FALSE(MatchesModel("qc-2410", "QC-2410*"));
  EXPECT_FALSE(MatchesModel("QC-241", "QC-241?"));
  EXPECT_TRUE(MatchesAnyModel("anything", {}));
  EXPECT_TRUE(MatchesAnyModel("QC-2411 X", {"QC-2410*", "QC-2411*"}));
  EXPECT_FALSE(MatchesAnyModel("QC-3000 Pro", {"QC-2410*", "QC-2411*"}));
}

TEST(Guards, RefuseOtherModelsAndDowngradesAndNeverGuess) {
  const Guards models{{"QC-2410*", "QC-2411*"}, false};
  EXPECT_EQ(GuardRefusal(models, {"QC-3000 Pro", "SN1", "V12"}, "V20"),
            "charger 'QC-3000 Pro' is not a model this image is for (QC-2410*, QC-2411*)");
  EXPECT_EQ(GuardRefusal(models, {"\x06QC-2410 Smart", "SN1", "V12"}, "V20"), "");
  const Guards noDowngrade{{}, true};
  EXPECT_EQ(GuardRefusal(noDowngrade, {"QC", "SN1", "V12"}, "V9"),
            "the image's version V9 is older than the charger's V12");
  EXPECT_EQ(GuardRefusal(noDowngrade, {"QC", "SN1", "V12"}, "V12"), "");  // equal: no downgrade
  EXPECT_EQ(GuardRefusal(noDowngrade, {"QC", "SN1", "V9"}, "V12"), "");
  EXPECT_NE(GuardRefusal(noDowngrade, {"QC", "SN1", std::nullopt}, "V12"), "");
  EXPECT_NE(GuardRefusal(noDowngrade, {"QC", "SN1", "V12"}, std::nullopt), "");
  EXPECT_NE(GuardRefusal(noDowngrade, {"QC", "SN1", "V12"}, "12A").find("cannot be ordered"),
            std::string::npos);
  EXPECT_EQ(GuardRefusal({}, {"QC", "SN1", std::nullopt}, std::nullopt), "");
}

class JobFile : public ::testing::Test {
 protected:
  std::string Write(const std::string& name, const std::string& text) {
    const std::string path = dir + "/" + name;
    std::ofstream(path, std::ios::binary) << text;
    return path;
  }
  std::string Image() {
    std::string bytes(3000, 'x');
    bytes.replace(100, 8, std::string("INFO") + '\0' + "V20");
    Write("fw.bin", bytes);
    return Sha256Hex(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
  }
  // The refusal of a job with `body` after its [Job] line.
  std::string Refusal(const std::string& body) {
    std::string error;
    EXPECT_FALSE(ReadJob(Write("job.ini", "[Job]\n" + body), &error)) << body;
    return error;
  }

  ScratchDir scratch{"jobtest"};
  std::string dir = scratch.Path();
};

TEST_F(JobFile, AWholeJobIsReadWithPathsBesideIt) {
  const std::string sha = Image();
  std::string error;
  const auto job = ReadJob(Write("job.ini",
                                 "; line 4's job\n"
                                 "[Job]\n"
                                 "Name=QC-2410 release V20\n"
                                 "Image=fw.bin          ; relative paths are relative to the job\n"
                                 "Sha256=" +
                                     sha +
                                     "\n"
                                     "Models=QC-2410*,QC-2411*\n"
                                     "NoDowngrade=1\n"
                                     "SkipSameVersion=1\n"
                                     "Verify=1\n"
                                     "Retries=2\n"
                                     "Fast=0\n"
                                     "Record=line4.csv\n"
                                     "Url=https://mes.example/api/records\n"
                                     "Station=Line 4\n"),
                           &error);
  ASSERT_TRUE(job) << error;
  EXPECT_EQ(job->name, "QC-2410 release V20");
  EXPECT_EQ(job->image, dir + "/fw.bin");
  EXPECT_EQ(job->record, dir + "/line4.csv");
  EXPECT_EQ(job->guards.models, (std::vector<std::string>{"QC-2410*", "QC-2411*"}));
  EXPECT_TRUE(job->guards.noDowngrade && job->skipSameVersion && job->verify && !job->fast);
  EXPECT_EQ(job->retries, 2);
  EXPECT_EQ(job->station, "Line 4");
  EXPECT_EQ(job->postUrl, "https://mes.example/api/records");
}

TEST_F(JobFile, AJobThatCannotBeRunIsRefusedWithItsLineAndReason) {
  const std::string sha = Image();
  const std::string job = dir + "/job.ini";
  EXPECT_EQ(Refusal("Image=fw.bin\n"), "the job " + job + ":1: [Job] has no Name=");
  EXPECT_EQ(Refusal("Name=n\n"), "the job " + job + ":1: [Job] has no Image=");
  EXPECT_EQ(Refusal("Name=n\nImage=fw.bin\nRetries=11\n"),
            "the job " + job + ":4: Retries must be a whole number from 0 to 10, not '11'");
  EXPECT_EQ(Refusal("Name=n\nImage=fw.bin\nNoDowngrade=yes\n"),
            "the job " + job + ":4: NoDowngrade must be 0 or 1, not 'yes'");
  EXPECT_EQ(Refusal("Name=n\nImage=fw.bin\nSha256=abc\n"),
            "the job " + job + ":4: Sha256 must be 64 hex digits, not 'abc'");
  EXPECT_EQ(Refusal("Name=n\nImage=fw.bin\nColour=red\n"),
            "the job " + job + ":4: unknown key Colour");
  EXPECT_EQ(Refusal("Name=n\nName=m\nImage=fw.bin\n"),
            "the job " + job + ":3: Name is given twice");
  EXPECT_EQ(Refusal("Name=n\nImage=fw.bin\n[Other]\n"),
            "the job " + job + ":4: a job file has one section, [Job]; not [Other]");
  EXPECT_NE(Refusal("Name=n\nImage=missing.bin\n").find(job + ":3: Cannot open firmware file"),
            std::string::npos);
  const std::string other(64, 'a');
  EXPECT_EQ(Refusal("Name=n\nImage=fw.bin\nSha256=" + other + "\n"),
            "the job " + job + ":4: the image " + dir + "/fw.bin has SHA-256 " + sha +
                ", not the pinned " + other);
  std::string error;
  EXPECT_FALSE(ReadJob(dir + "/none.ini", &error));
  EXPECT_EQ(error, "the job " + dir + "/none.ini: cannot be read (no such file)");
}

}  // namespace
