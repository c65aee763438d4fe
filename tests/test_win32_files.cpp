// The firmware image and config.ini through the Win32 file calls: UTF-8 paths, read-only and
// hidden files, folders.
#include <gtest/gtest.h>
#include <windows.h>
// <windows.h> renames the profile functions after its own.
#undef WriteProfileString

#include <filesystem>
#include <fstream>

#include "image/image_file.h"
#include "image/profile.h"
#include "platform/win32_text.h"

namespace {

namespace fs = std::filesystem;

class TempDir {
 public:
  TempDir()
      : m_path(fs::temp_directory_path() /
               ("charger-files-" + std::to_string(GetCurrentProcessId()))) {
    fs::remove_all(m_path);
    fs::create_directories(m_path);
  }
  ~TempDir() {
    std::error_code ignored;
    for (const auto& entry : fs::recursive_directory_iterator(m_path, ignored))
      SetFileAttributesW(entry.path().c_str(), FILE_ATTRIBUTE_NORMAL);
    fs::remove_all(m_path, ignored);
  }
  // As the program sees paths: UTF-8.
  std::string operator/(const std::string& name) const {
    return Narrow((m_path / Widen(name)).wstring());
  }

 private:
  fs::path m_path;
};

TEST(Win32Files, ImageWithAChineseName) {
  TempDir dir;
  const std::string path = dir / "固件 v2.bin";
  std::ofstream(fs::path(Widen(path)), std::ios::binary) << std::string("\x00\x01\x1A\xFF", 4);
  const ImageRead read = ReadImageFile(path);
  ASSERT_TRUE(read.ok) << read.error;
  EXPECT_EQ(read.bytes, (std::vector<uint8_t>{0x00, 0x01, 0x1A, 0xFF})) << "binary, no CR LF games";

  const ImageRead missing = ReadImageFile(dir / "无.bin");
  EXPECT_FALSE(missing.ok);
  EXPECT_NE(missing.error.find("no such file"), std::string::npos) << missing.error;
  EXPECT_NE(missing.error.find("无.bin"), std::string::npos) << missing.error;

  fs::create_directory(fs::path(Widen(dir / "folder.bin")));
  const ImageRead folder = ReadImageFile(dir / "folder.bin");
  EXPECT_FALSE(folder.ok);
  EXPECT_NE(folder.error.find("is a directory"), std::string::npos) << folder.error;
}

TEST(Win32Files, ProfileKeepsAttributesAndRefusesReadOnly) {
  TempDir dir;
  const std::string ini = dir / "设置.ini";
  ASSERT_TRUE(WriteProfileString(ini, "File", "Path", "C:\\固件\\fw.bin"));
  EXPECT_EQ(ReadProfileString(ini, "File", "Path", "NONE"), "C:\\固件\\fw.bin");

  // The replacement keeps what the operator set on the file.
  const std::wstring wide = Widen(ini);
  ASSERT_TRUE(SetFileAttributesW(wide.c_str(), FILE_ATTRIBUTE_HIDDEN));
  ASSERT_TRUE(WriteProfileString(ini, "File", "Path", "D:\\fw2.bin"));
  EXPECT_EQ(ReadProfileString(ini, "File", "Path", "NONE"), "D:\\fw2.bin");
  EXPECT_NE(GetFileAttributesW(wide.c_str()) & FILE_ATTRIBUTE_HIDDEN, 0u);

  ASSERT_TRUE(SetFileAttributesW(wide.c_str(), FILE_ATTRIBUTE_READONLY));
  std::string error;
  EXPECT_FALSE(WriteProfileString(ini, "File", "Path", "E:\\x.bin", &error));
  EXPECT_NE(error.find("permission denied"), std::string::npos) << error;
  EXPECT_EQ(ReadProfileString(ini, "File", "Path", "NONE"), "D:\\fw2.bin");

  EXPECT_FALSE(WriteProfileString(dir / "missing\\config.ini", "File", "Path", "x", &error));
  EXPECT_NE(error.find("its folder does not exist"), std::string::npos) << error;
  // Nothing left behind by the failed and the successful writes.
  size_t files = 0;
  for (const auto& entry : fs::directory_iterator(fs::path(Widen(dir / ""))))
    files += entry.is_regular_file();
  EXPECT_EQ(files, 1u);
}

// The window keeps ".\\config.ini" by its relative name, in the working directory; a second
// write replaces the first one there.
TEST(Win32Files, RelativeProfileIsWrittenAndReadBack) {
  TempDir dir;
  wchar_t before[MAX_PATH];
  ASSERT_NE(GetCurrentDirectoryW(MAX_PATH, before), 0u);
  ASSERT_TRUE(SetCurrentDirectoryW(Widen(dir / "").c_str()));
  std::string error;
  const bool first = WriteProfileString("config.ini", "File", "Path", "C:\\fw\\one.bin", &error);
  const bool second = WriteProfileString("config.ini", "File", "Path", "C:\\fw\\two.bin", &error);
  const bool dotted = WriteProfileString(".\\config.ini", "File", "Path", "C:\\fw\\3.bin", &error);
  const std::string relative = ReadProfileString("config.ini", "File", "Path", "NONE");
  SetCurrentDirectoryW(before);
  EXPECT_TRUE(first) << error;
  EXPECT_TRUE(second) << error;
  EXPECT_TRUE(dotted) << error;
  EXPECT_EQ(relative, "C:\\fw\\3.bin");
  EXPECT_EQ(ReadProfileString(dir / "config.ini", "File", "Path", "NONE"), "C:\\fw\\3.bin");
}

}  // namespace
