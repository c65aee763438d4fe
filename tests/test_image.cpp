#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>

#include "image/image_file.h"
#include "image/profile.h"

namespace {

namespace fs = std::filesystem;

class TempDir {
 public:
  TempDir() {
    std::string pattern = (fs::temp_directory_path() / "image-test-XXXXXX").string();
    m_path = ::mkdtemp(pattern.data());
  }
  ~TempDir() {
    std::error_code ec;
    fs::remove_all(m_path, ec);
  }
  std::string operator/(const std::string& name) const { return (m_path / name).string(); }
  const fs::path& path() const { return m_path; }

 private:
  fs::path m_path;
};

void WriteFile(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream all;
  all << in.rdbuf();
  return all.str();
}

// Exact-size image, so a read past its end lands in the heap's red zone under ASan.
std::vector<uint8_t> Image(const std::string& bytes) {
  return std::vector<uint8_t>(bytes.begin(), bytes.end());
}

}  // namespace

TEST(ImageName, NameAndSize) {
  for (const char* name : {"fw.bin", "FW.BIN", "fwbin.hex", "cabinet.dat"})
    EXPECT_TRUE(IsValidImage(name, 1)) << name;
  for (const char* name : {"fw.Bin", "firmware.hex", ""})
    EXPECT_FALSE(IsValidImage(name, 1)) << name;
  EXPECT_TRUE(IsValidImage("fw.bin", 127999));
  EXPECT_FALSE(IsValidImage("fw.bin", 128000));
  EXPECT_FALSE(IsValidImage("fw.bin", 0));
  EXPECT_FALSE(IsValidImage("fw.bin", (uint64_t{1} << 32) + 5)) << "no 32-bit wrap-around";

  EXPECT_EQ(BaseName("C:\\images\\fw.bin"), "fw.bin");
  EXPECT_EQ(BaseName("/home/op/"), "");
  EXPECT_EQ(BaseName("/bin/firmware.hex"), "firmware.hex") << "the folder must not make it pass";
}

TEST(ImageLabels, VersionTagAndTexts) {
  std::string body(100, 'x');
  EXPECT_EQ(VersionLabelText(Image(body + "INFO:105" + body)), "Firmware version : 105");
  EXPECT_EQ(FindVersionTag(Image("INFO 201 INFO 999")), "201") << "the first tag decides";
  EXPECT_EQ(FindVersionTag(Image(body + "INFO:105")), "105") << "version ends the image";
  const std::string na = "Firmware version : N/A, no version INFO. in this firmware.   ";
  for (const char* tail : {"INFO:10", "INFO", "INF", ""})
    EXPECT_EQ(VersionLabelText(Image(body + tail)), na) << tail;
  EXPECT_EQ(VersionLabelText({}), na);

  EXPECT_EQ(SizeLabelText(3000), "Size :     3000 B");
  const std::string name39 = std::string(36, 'n') + "bin";
  EXPECT_EQ(FirmwareNameLabelText(name39), "Firmware name :   " + name39.substr(0, 38));
  EXPECT_EQ(NameLabelText(name39), "Name : " + name39);
  const std::string name49 = std::string(46, 'n') + "bin";
  EXPECT_EQ(FirmwareNameLabelText(name49), "Firmware name :   " + name49.substr(0, 38));
  EXPECT_EQ(NameLabelText(name49), "Name : " + name49.substr(0, 48));
}

TEST(ImageFile, Reads) {
  TempDir dir;
  std::string content(3000, '\0');
  for (size_t i = 0; i < content.size(); ++i) content[i] = static_cast<char>(i * 7);
  WriteFile(dir / "fw.bin", content);
  ASSERT_EQ(::chmod((dir / "fw.bin").c_str(), 0444), 0);
  ImageRead read = ReadImageFile(dir / "fw.bin");
  ASSERT_TRUE(read.ok) << read.error;
  EXPECT_EQ(std::string(read.bytes.begin(), read.bytes.end()), content);

  // Our own running executable cannot be opened for writing, not even by root (ETXTBSY).
  ImageRead self = ReadImageFile("/proc/self/exe");
  ASSERT_TRUE(self.ok) << self.error;
  EXPECT_EQ(self.bytes.size(), fs::file_size("/proc/self/exe"));

  WriteFile(dir / "empty.bin", "");
  read = ReadImageFile(dir / "empty.bin");
  EXPECT_TRUE(read.ok);
  EXPECT_TRUE(read.bytes.empty());

  WriteFile(dir / "big.bin", std::string(128000, 'b'));
  read = ReadImageFile(dir / "big.bin");
  ASSERT_TRUE(read.ok) << "a too-large image is still loaded and described";
  EXPECT_EQ(read.bytes.size(), 128000u);
}

TEST(ImageFile, Refusals) {
  TempDir dir;
  const std::string missing = dir / "fw.bin";
  EXPECT_EQ(ReadImageFile(missing).error,
            "Cannot open firmware file '" + missing + "': no such file.");
  EXPECT_FALSE(ReadImageFile(missing).ok);

  const std::string folder = dir.path().string();
  EXPECT_EQ(ReadImageFile(folder).error, "'" + folder + "' is a directory, not a firmware file.");

  const std::string big = dir / "big.bin";
  {
    int fd = ::open(big.c_str(), O_CREAT | O_WRONLY, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::ftruncate(fd, 3221225472), 0);  // sparse: costs no disk
    ::close(fd);
  }
  auto start = std::chrono::steady_clock::now();
  ImageRead read = ReadImageFile(big);
  EXPECT_FALSE(read.ok);
  EXPECT_EQ(read.error,
            "'" + big + "' is 3221225472 bytes; a firmware file is at most 127999 bytes.");
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(500))
      << "refused without reading 3 GB";

  const std::string fifo = dir / "pipe.bin";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0644), 0);
  read = ReadImageFile(fifo);  // must not block waiting for a writer
  EXPECT_FALSE(read.ok);
  EXPECT_NE(read.error.find(fifo), std::string::npos);

  if (::geteuid() != 0) {
    WriteFile(dir / "locked.bin", "x");
    ::chmod((dir / "locked.bin").c_str(), 0);
    EXPECT_EQ(ReadImageFile(dir / "locked.bin").error,
              "Cannot open firmware file '" + (dir / "locked.bin") + "': permission denied.");
  }
}

TEST(Profile, RoundTripAndFallbacks) {
  TempDir dir;
  const std::string ini = dir / "config.ini";
  EXPECT_EQ(ReadProfileString(ini, "File", "Path", "NONE"), "NONE") << "missing file";
  ASSERT_TRUE(WriteProfileString(ini, "File", "Path", "/home/op/fw 1.bin"));
  EXPECT_EQ(ReadFile(ini), "[File]\nPath=/home/op/fw 1.bin\n");
  EXPECT_EQ(ReadProfileString(ini, "File", "Path", "NONE"), "/home/op/fw 1.bin");
  EXPECT_EQ(ReadProfileString(ini, "file", "PATH", "NONE"), "/home/op/fw 1.bin");
  EXPECT_EQ(ReadProfileString(ini, "File", "Other", "NONE"), "NONE") << "missing key";
  EXPECT_EQ(ReadProfileString(ini, "Misc", "Path", "NONE"), "NONE") << "missing section";

  ASSERT_TRUE(WriteProfileString(ini, "File", "Path", std::string(400, 'p')));
  EXPECT_EQ(ReadProfileString(ini, "File", "Path", "NONE", 350), std::string(349, 'p'));
  EXPECT_EQ(ReadProfileString(ini, "File", "Path", "NONE", 1), "");

  WriteFile(ini,
            "; the updater's settings\n"
            "Path=/outside/any/section\n"
            "[ file ]\r\n"
            "  path  =  /x/fw.bin  \r\n"
            "Path=/second\n"
            "[File]\nPath=/duplicate\n");
  EXPECT_EQ(ReadProfileString(ini, "File", "Path", "NONE"), "/x/fw.bin");
  WriteFile(ini, "[File]\n;Path=/commented\nPath\n");
  EXPECT_EQ(ReadProfileString(ini, "File", "Path", "NONE"), "NONE");
  WriteFile(ini, "\xEF\xBB\xBF[File]\nPath=\"/quoted/fw.bin\"\n");
  EXPECT_EQ(ReadProfileString(ini, "File", "Path", "NONE"), "/quoted/fw.bin");
  WriteFile(ini, "[File]\nPath=\n");
  EXPECT_EQ(ReadProfileString(ini, "File", "Path", "NONE"), "") << "empty is not missing";
}

TEST(Profile, WritesOnlyThatKey) {
  TempDir dir;
  const std::string ini = dir / "config.ini";
  const std::string head = "; kept\r\n[Window]\r\nLeft=10\r\n\r\n";
  const std::string tail = "\r\n[Other]\r\npath=/not/this/one\r\n";
  WriteFile(ini, head + "[FILE]\r\n  Path = /old.bin   \r\nMode=2\r\n" + tail);
  ASSERT_TRUE(WriteProfileString(ini, "File", "Path", "/new.bin"));
  EXPECT_EQ(ReadFile(ini), head + "[FILE]\r\n  Path = /new.bin\r\nMode=2\r\n" + tail);

  // Key added at the end of its section, before the blank line that separates sections.
  WriteFile(ini, "[File]\r\nMode=2\r\n\r\n[Other]\r\nX=1\r\n");
  ASSERT_TRUE(WriteProfileString(ini, "File", "Path", "/a.bin"));
  EXPECT_EQ(ReadFile(ini), "[File]\r\nMode=2\r\nPath=/a.bin\r\n\r\n[Other]\r\nX=1\r\n");

  // Section appended; an unterminated last line is closed first.
  WriteFile(ini, "[Other]\nX=1");
  ASSERT_TRUE(WriteProfileString(ini, "File", "Path", "/b.bin"));
  EXPECT_EQ(ReadFile(ini), "[Other]\nX=1\n[File]\nPath=/b.bin\n");
  WriteFile(ini, "[File]");
  ASSERT_TRUE(WriteProfileString(ini, "File", "Path", "/c.bin"));
  EXPECT_EQ(ReadFile(ini), "[File]\nPath=/c.bin\n");

  // Permissions survive, no temporary file is left behind, a symlink stays a symlink.
  ASSERT_EQ(::chmod(ini.c_str(), 0600), 0);
  fs::create_symlink(ini, dir / "link.ini");
  ASSERT_TRUE(WriteProfileString(dir / "link.ini", "File", "Path", "/d.bin"));
  EXPECT_TRUE(fs::is_symlink(dir / "link.ini"));
  EXPECT_EQ(ReadFile(ini), "[File]\nPath=/d.bin\n");
  EXPECT_EQ(fs::status(ini).permissions() & fs::perms::all,
            fs::perms::owner_read | fs::perms::owner_write);
  EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()), 2);

  std::string error;
  EXPECT_FALSE(WriteProfileString(dir / "no/such/dir/config.ini", "File", "Path", "/x", &error));
  EXPECT_NE(error.find("no/such/dir/config.ini"), std::string::npos) << error;
  EXPECT_FALSE(WriteProfileString(ini, "File", "Path", "/x\n[Evil]", &error));
  EXPECT_EQ(ReadFile(ini), "[File]\nPath=/d.bin\n");
}

TEST(Profile, RandomFiles) {
  TempDir dir;
  const std::string ini = dir / "config.ini";
  std::mt19937 rng(77);
  const std::string pieces[] = {
      "[File]",  "[file ]", "[Misc]", "[",  "]",    "Path=", " path = x", "Other=o",
      ";Path=c", "=",       "\r",     "\n", "\r\n", " ",     "\"",        std::string(1, '\0')};
  for (int round = 0; round < 3000; ++round) {
    std::string text;
    int count = std::uniform_int_distribution<int>(0, 30)(rng);
    for (int i = 0; i < count; ++i) {
      if (rng() % 4 == 0)
        text.push_back(static_cast<char>(rng()));
      else
        text += pieces[rng() % std::size(pieces)];
    }
    WriteFile(ini, text);
    size_t room = std::uniform_int_distribution<size_t>(1, 40)(rng);
    std::string value = ReadProfileString(ini, "File", "Path", "NONE", room);
    ASSERT_LE(value.size(), room - 1);

    if (round % 50 != 0) continue;  // writes fsync; a sample is enough
    std::string other = ReadProfileString(ini, "Misc", "Other", "NONE");
    std::string path = "/p/" + std::to_string(round);
    ASSERT_TRUE(WriteProfileString(ini, "File", "Path", path)) << text;
    EXPECT_EQ(ReadProfileString(ini, "File", "Path", "NONE"), path) << text;
    EXPECT_EQ(ReadProfileString(ini, "Misc", "Other", "NONE"), other) << text;
  }
}

// Replacing a key keeps every other byte: the line endings the file has, an unterminated last
// line staying unterminated.
TEST(Profile, ReplacedKeyKeepsTheFileByteForByte) {
  TempDir dir;
  const std::string ini = dir / "config.ini";
  const struct {
    std::string before, after;
  } cases[] = {
      {"[File]\nPath=/old.bin", "[File]\nPath=/new.bin"},
      {"[File]\r\nPath=/old.bin", "[File]\r\nPath=/new.bin"},
      {"; notes\r\n[File]\r\nPath=/old.bin\r\nMode=2\r\n\r\n[Misc]\r\nX=1\r\n",
       "; notes\r\n[File]\r\nPath=/new.bin\r\nMode=2\r\n\r\n[Misc]\r\nX=1\r\n"},
      {"[Misc]\r\nX=1\r\n[File]\r\nPath = /old.bin", "[Misc]\r\nX=1\r\n[File]\r\nPath = /new.bin"},
  };
  for (const auto& c : cases) {
    WriteFile(ini, c.before);
    ASSERT_TRUE(WriteProfileString(ini, "File", "Path", "/new.bin"));
    EXPECT_EQ(ReadFile(ini), c.after);
  }
}

// A path is any bytes but a line break: blanks at its ends and quotes around it come back.
TEST(Profile, ValuesComeBackWhole) {
  TempDir dir;
  const std::string ini = dir / "config.ini";
  for (const std::string value :
       {" /lead.bin", "/trail.bin ", "\"/q.bin\"", "'/q.bin'", "\"\"", "/a \"b\".bin", "\t"}) {
    ASSERT_TRUE(WriteProfileString(ini, "File", "Path", value));
    EXPECT_EQ(ReadProfileString(ini, "File", "Path", "NONE"), value) << ReadFile(ini);
  }
}

TEST(Profile, UnchangedValueLeavesTheFileAlone) {
  TempDir dir;
  const std::string ini = dir / "config.ini";
  WriteFile(ini, "[File]\nPath = /same.bin  \n");
  ASSERT_EQ(::link(ini.c_str(), (dir / "hard.ini").c_str()), 0);
  struct stat before {};
  ASSERT_EQ(::stat(ini.c_str(), &before), 0);
  // Even a file the user may not write: nothing needs writing.
  ASSERT_EQ(::chmod(ini.c_str(), 0444), 0);
  std::string error;
  EXPECT_TRUE(WriteProfileString(ini, "File", "Path", "/same.bin", &error)) << error;
  struct stat after {};
  ASSERT_EQ(::stat(ini.c_str(), &after), 0);
  EXPECT_EQ(after.st_ino, before.st_ino);
  EXPECT_EQ(after.st_nlink, 2u);
  EXPECT_EQ(ReadFile(ini), "[File]\nPath = /same.bin  \n");
}

// The replacement is a new file: root saving a user's config.ini must not make it root's.
TEST(Profile, RewriteKeepsOwnerAndMode) {
  if (::geteuid() != 0) GTEST_SKIP() << "giving a file away needs root";
  TempDir dir;
  const std::string ini = dir / "config.ini";
  WriteFile(ini, "[File]\nPath=/old.bin\n");
  ASSERT_EQ(::chown(ini.c_str(), 4321, 4322), 0);
  ASSERT_EQ(::chmod(ini.c_str(), 0604), 0);
  ASSERT_TRUE(WriteProfileString(ini, "File", "Path", "/new.bin"));
  struct stat st {};
  ASSERT_EQ(::stat(ini.c_str(), &st), 0);
  EXPECT_EQ(st.st_uid, 4321u);
  EXPECT_EQ(st.st_gid, 4322u);
  EXPECT_EQ(st.st_mode & 07777, 0604u);
}

TEST(Profile, OversizedFileIsNeitherReadNorRewritten) {
  TempDir dir;
  const std::string ini = dir / "config.ini";
  const std::string text = "[File]\nPath=/x.bin\n" + std::string(kLargestProfile, ';');
  WriteFile(ini, text);
  std::string error;
  EXPECT_EQ(ReadProfileString(ini, "File", "Path", "NONE", kWholeValue, &error), "NONE");
  EXPECT_EQ(error, "Cannot read the settings from '" + ini +
                       "': it is larger than 1 MiB, too large for a settings file.");
  error.clear();
  EXPECT_FALSE(WriteProfileString(ini, "File", "Path", "/y.bin", &error));
  EXPECT_NE(error.find("1 MiB"), std::string::npos) << error;
  EXPECT_EQ(ReadFile(ini), text);
}
