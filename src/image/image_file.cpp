#include "image/image_file.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>

#include "image/file_io.h"

namespace {

// The system's wording is for programmers; these are for the person at the bench.
std::string Reason(int err) {
  switch (err) {
    case ENOENT:
      return "no such file";
    case EACCES:
    case EPERM:
      return "permission denied";
    case ENOTDIR:
      return "part of the path is not a folder";
    case EISDIR:
      return "it is a directory";
    case ENAMETOOLONG:
      return "the path is too long";
    case ELOOP:
      return "too many symbolic links in the path";
    case EMFILE:
    case ENFILE:
      return "too many files are open";
    case EIO:
      return "the disk reported a read error";
    case ENXIO:
    case ENODEV:
      return "the device is not available";
    default: {
      std::string text = std::strerror(err);
      if (!text.empty())
        text[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(text[0])));
      return text;
    }
  }
}

ImageRead Fail(std::string error) {
  ImageRead result;
  result.error = std::move(error);
  return result;
}

std::string Quoted(const std::string& path) {
  return "'" + path + "'";
}

}  // namespace

ImageRead ReadImageFile(const std::string& path) {
  // The open does not wait on a FIFO, which is refused below.
  file_io::Reader file(path);
  if (file.OpenError() != 0)
    return Fail("Cannot open firmware file " + Quoted(path) + ": " + Reason(file.OpenError()) +
                ".");
  file_io::Kind kind = file_io::Kind::Other;
  uint64_t size = 0;
  int err = 0;
  if (!file.Describe(&kind, &size, &err))
    return Fail("Cannot read firmware file " + Quoted(path) + ": " + Reason(err) + ".");
  if (kind == file_io::Kind::Directory)
    return Fail(Quoted(path) + " is a directory, not a firmware file.");
  if (kind != file_io::Kind::Regular)
    return Fail(Quoted(path) + " is a device or a pipe, not a firmware file.");

  const std::string tooLarge =
      " bytes; a firmware file is at most " + std::to_string(kImageSizeLimit - 1) + " bytes.";
  if (size > kLargestFileRead) return Fail(Quoted(path) + " is " + std::to_string(size) + tooLarge);

  // Read to end of file rather than trusting the size: the file may change under us.
  ImageRead result;
  result.bytes.resize(static_cast<size_t>(size) + 1);
  size_t filled = 0;
  for (;;) {
    if (filled == result.bytes.size()) {
      if (filled > kLargestFileRead)
        return Fail(Quoted(path) + " is more than " + std::to_string(kLargestFileRead) + tooLarge);
      result.bytes.resize(std::min<size_t>(filled * 2 + 4096, kLargestFileRead + 1));
    }
    const long long got =
        file.Read(result.bytes.data() + filled, result.bytes.size() - filled, &err);
    if (got < 0)
      return Fail("Cannot read firmware file " + Quoted(path) + ": " + Reason(err) + ".");
    if (got == 0) break;
    filled += static_cast<size_t>(got);
  }
  result.bytes.resize(filled);
  result.ok = true;
  return result;
}

std::string BaseName(const std::string& path) {
  size_t slash = path.find_last_of("/\\");
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string FolderOf(const std::string& path) {
  const size_t slash = path.find_last_of("/\\");
  return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

bool NameLooksLikeImage(std::string_view name) {
  return name.find("BIN") != std::string_view::npos || name.find("bin") != std::string_view::npos;
}

bool IsValidImage(std::string_view name, uint64_t size) {
  return !name.empty() && NameLooksLikeImage(name) && size >= 1 && size < kImageSizeLimit;
}

std::optional<std::string> FindVersionTag(const std::vector<uint8_t>& image) {
  static constexpr uint8_t kTag[] = {'I', 'N', 'F', 'O'};
  auto at = std::search(image.begin(), image.end(), std::begin(kTag), std::end(kTag));
  if (at == image.end()) return std::nullopt;
  // Tag layout: "INFO", one unused byte, three version bytes. Only the first tag counts, so a
  // truncated one at the end means no version.
  size_t t = static_cast<size_t>(at - image.begin());
  if (image.size() - t < 8) return std::nullopt;
  return std::string(image.begin() + t + 5, image.begin() + t + 8);
}

std::string VersionLabelText(const std::vector<uint8_t>& image) {
  std::optional<std::string> version = FindVersionTag(image);
  if (!version) return "Firmware version : N/A, no version INFO. in this firmware.   ";
  std::string text = "Firmware version : " + *version;
  // A NUL version byte ends the label, as it would in any C-string label.
  return text.substr(0, text.find('\0'));
}

std::string SizeLabelText(uint32_t size) {
  return "Size :     " + std::to_string(size) + " B";
}

std::string FirmwareNameLabelText(const std::string& name) {
  return "Firmware name :   " + name.substr(0, 38);
}

std::string NameLabelText(const std::string& name) {
  return "Name : " + name.substr(0, 48);
}
