// The engine's image loading: what "Open..." and the start-up reload do to the labels, the
// flags, the buttons and config.ini. The label texts themselves are the image unit's tests.

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "engine_fixture.h"
#include "image/profile.h"
#include "res/resource_ids.h"

namespace enginetest {
namespace {

const std::string kNoVersion = "Firmware version : N/A, no version INFO. in this firmware.   ";

std::vector<uint8_t> WithTag(std::vector<uint8_t> image, size_t at, const std::string& tag) {
  std::copy(tag.begin(), tag.end(), image.begin() + static_cast<long>(at));
  return image;
}

struct Labels {
  std::string name, size, firmwareName, version;
  bool operator==(const Labels&) const = default;
};

Labels ImageLabels(const RecordingSurface& surface) {
  return {surface.Text(ids::kImageName), surface.Text(ids::kImageSize),
          surface.Text(ids::kImageFirmwareName), surface.Text(ids::kImageVersion)};
}

using ImageLoad = EngineFixture;

TEST_F(ImageLoad, OpenedImagesAreDescribedAndOnlyValidOnesRemembered) {
  const std::string config = dir + "/config.ini";
  std::ofstream(config) << "; operator's notes\n[Window]\nLeft=10\n";
  CQuorlinDlg& dlg = StartEngineWithoutCharger();
  EXPECT_EQ(dlg.m_bImageLoaded, 0);

  const std::string name49 = std::string(46, 'n') + "bin";
  struct Case {
    std::string name;
    std::vector<uint8_t> bytes;
    bool valid;
    std::string version;
  } cases[] = {
      {"fw.bin", WithTag(MakeImage(3000), 1000, "INFO:105"), true, "Firmware version : 105"},
      {"FW.BIN", {0x42}, true, kNoVersion},
      // The tag's version would run past the end of the image.
      {"fwbin.hex", WithTag(MakeImage(127999), 127993, "INFO:1"), true, kNoVersion},
      {"fw.Bin", MakeImage(3000), false, kNoVersion},
      {"big.bin", MakeImage(128000), false, kNoVersion},
      {name49, MakeImage(100), true, kNoVersion},
  };
  std::string remembered = "NONE";
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = WriteFile(c.name, c.bytes);
    OpenFile(path);
    EXPECT_EQ(dlg.m_bImageLoaded, 1);
    EXPECT_EQ(dlg.m_bImageValid, c.valid ? 1 : 0);
    EXPECT_EQ(dlg.m_nImageSize, c.bytes.size());
    EXPECT_EQ(ImageLabels(surface),
              (Labels{"Name : " + c.name.substr(0, 48),
                      "Size :     " + std::to_string(c.bytes.size()) + " B",
                      "Firmware name :   " + c.name.substr(0, 38), c.version}));
    EXPECT_EQ(surface.Enabled(ids::kAutoProgram), c.valid);
    EXPECT_FALSE(surface.Enabled(ids::kUpdate)) << "no charger recognised";
    if (c.valid) remembered = path;
    EXPECT_EQ(ReadProfileString(config, "File", "Path", "NONE"), remembered);
  }
  const std::string text = ReadFile(config);
  EXPECT_NE(text.find("; operator's notes\n[Window]\nLeft=10\n"), std::string::npos) << text;
  EXPECT_TRUE(surface.MessageBoxes().empty());

  dlg.m_bRecognised = 1;
  OpenFile(dir + "/fw.bin");
  EXPECT_TRUE(surface.Enabled(ids::kUpdate));
  EXPECT_TRUE(surface.Enabled(ids::kAutoProgram));
}

TEST_F(ImageLoad, MissingEmptyAndCancelledLoadsKeepThePreviousImage) {
  CQuorlinDlg& dlg = StartEngineWithoutCharger();
  dlg.m_bRecognised = 1;
  const std::string config = dir + "/config.ini";
  const std::string good = WriteFile("fw.bin", WithTag(MakeImage(3000), 10, "INFO:105"));
  OpenFile(good);
  ASSERT_EQ(dlg.m_bImageValid, 1);
  const Labels labels = ImageLabels(surface);
  const std::string configText = ReadFile(config);

  const std::string missing = dir + "/gone.bin";
  OpenFile(missing);
  ASSERT_EQ(surface.MessageBoxes().size(), 1u);
  EXPECT_NE(surface.MessageBoxes()[0].find(missing), std::string::npos)
      << surface.MessageBoxes()[0];
  EXPECT_EQ(dlg.m_bImageValid, 1);
  EXPECT_EQ(dlg.m_strImageName.Get(), "fw.bin");
  EXPECT_EQ(dlg.m_nImageSize, 3000u);
  EXPECT_EQ(ImageLabels(surface), labels);
  EXPECT_EQ(ReadFile(config), configText);
  EXPECT_FALSE(surface.Enabled(ids::kUpdate));
  EXPECT_FALSE(surface.Enabled(ids::kAutoProgram));

  OpenFile(good);
  ASSERT_TRUE(surface.Enabled(ids::kUpdate));
  OpenFile(std::nullopt);
  EXPECT_FALSE(surface.Enabled(ids::kUpdate)) << "cancelling leaves the buttons disabled";
  EXPECT_FALSE(surface.Enabled(ids::kAutoProgram));
  EXPECT_EQ(dlg.m_bImageValid, 1);

  OpenFile(WriteFile("empty.bin", {}));
  EXPECT_EQ(dlg.m_bImageLoaded, 1);
  EXPECT_EQ(dlg.m_bImageValid, 0);
  EXPECT_EQ(ImageLabels(surface), labels);
  EXPECT_EQ(ReadFile(config), configText);
  EXPECT_FALSE(surface.Enabled(ids::kAutoProgram));
}

struct StartUpCase {
  const char* label;
  std::optional<std::string> path;  // the Path value; nullopt: no config.ini; "@": a good image
  bool loaded;
  bool box;  // the load failed and said so, naming the file
};

void PrintTo(const StartUpCase& c, std::ostream* os) {
  *os << c.label;
}

class StartUpReload : public EngineFixture, public ::testing::WithParamInterface<StartUpCase> {};

TEST_P(StartUpReload, LoadsWhatConfigIniNames) {
  const StartUpCase& c = GetParam();
  const std::string good = WriteFile("fw.bin", MakeImage(3000));
  std::optional<std::string> path = c.path;
  if (path == "@") path = good;
  if (path) std::ofstream(dir + "/config.ini") << "[File]\nPath=" << *path << "\n";

  CQuorlinDlg& dlg = StartEngineWithoutCharger();
  EXPECT_EQ(dlg.m_bImageLoaded, c.loaded ? 1 : 0);
  EXPECT_EQ(dlg.m_bImageValid, c.loaded ? 1 : 0);
  EXPECT_EQ(dlg.m_strImagePath.Get(), path && *path != "NONE" ? *path : "");
  EXPECT_EQ(surface.Text(ids::kImageName), c.loaded ? "Name : fw.bin" : "");
  EXPECT_EQ(surface.Enabled(ids::kAutoProgram), c.loaded);
  EXPECT_FALSE(surface.Enabled(ids::kUpdate));
  const auto boxes = surface.MessageBoxes();
  ASSERT_EQ(boxes.size(), c.box ? 1u : 0u);
  if (c.box) {
    EXPECT_NE(boxes[0].find("'" + *path + "'"), std::string::npos) << boxes[0];
  }
}

INSTANTIATE_TEST_SUITE_P(ConfigIni, StartUpReload,
                         ::testing::Values(StartUpCase{"Remembered", "@", true, false},
                                           StartUpCase{"NoFile", std::nullopt, false, false},
                                           StartUpCase{"None", "NONE", false, false},
                                           StartUpCase{"LowerCaseNoneIsAFileName", "none", false,
                                                       true},
                                           StartUpCase{"EmptyPathNamesNoFile", "", false, false}),
                         [](const auto& info) { return std::string(info.param.label); });

struct stat Stat(const std::string& path) {
  struct stat st {};
  EXPECT_EQ(::stat(path.c_str(), &st), 0) << path;
  return st;
}

// Every start used to rewrite config.ini: a new inode that broke the operator's hard link,
// and a path longer than a fixed buffer came back cut, naming a file that does not exist.
TEST_F(ImageLoad, StartUpLeavesConfigIniAloneAndTakesLongPathsWhole) {
  std::string folder = dir;
  while (folder.size() < 400) folder += "/" + std::string(40, 'd');
  std::filesystem::create_directories(folder);
  const std::string image = folder + "/fw.bin";
  std::ofstream(image, std::ios::binary) << std::string(3000, 'x');
  const std::string config = dir + "/config.ini";
  std::ofstream(config) << "[File]\r\nPath=" << image << "\r\n";
  ASSERT_EQ(::link(config.c_str(), (dir + "/linked.ini").c_str()), 0);
  ASSERT_EQ(::chmod(config.c_str(), 0640), 0);
  const struct stat before = Stat(config);

  CQuorlinDlg& dlg = StartEngineWithoutCharger();
  EXPECT_EQ(dlg.m_strImagePath.Get(), image);
  EXPECT_EQ(dlg.m_bImageValid, 1);
  EXPECT_TRUE(surface.MessageBoxes().empty());
  const struct stat after = Stat(config);
  EXPECT_EQ(after.st_ino, before.st_ino);
  EXPECT_EQ(after.st_nlink, 2u);

  // A new path is written, and the file keeps its protection.
  OpenFile(WriteFile("other.bin", MakeImage(100)));
  EXPECT_EQ(ReadFile(config), "[File]\r\nPath=" + dir + "/other.bin\r\n");
  EXPECT_EQ(Stat(config).st_mode & 07777, 0640u);
}

TEST_F(ImageLoad, OversizedConfigIniIsLeftUnreadWithAMessage) {
  const std::string config = dir + "/config.ini";
  const std::string good = WriteFile("fw.bin", MakeImage(3000));
  std::ofstream(config) << "[File]\nPath=" << good << "\n" << std::string(1 << 20, ';');
  const std::string text = ReadFile(config);

  CQuorlinDlg& dlg = StartEngineWithoutCharger();
  EXPECT_EQ(dlg.m_bImageLoaded, 0);
  ASSERT_EQ(surface.MessageBoxes().size(), 1u);
  EXPECT_NE(surface.MessageBoxes()[0].find(config), std::string::npos);
  EXPECT_NE(surface.MessageBoxes()[0].find("1 MiB"), std::string::npos);

  // Not ours to rewrite either: loading an image leaves it as it was, and says why.
  OpenFile(good);
  EXPECT_EQ(dlg.m_bImageValid, 1);
  EXPECT_EQ(surface.MessageBoxes().size(), 2u);
  EXPECT_EQ(ReadFile(config), text);
}

}  // namespace
}  // namespace enginetest
