#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

inline constexpr uint32_t kImageSizeLimit = 128000;      // valid images are below this
inline constexpr uint64_t kLargestFileRead = 16u << 20;  // larger files are refused unread

struct ImageRead {
  bool ok = false;
  std::string error;  // when !ok: names the file and the reason, in the operator's terms
  std::vector<uint8_t> bytes;
};

// Reads the whole file, opened read-only. Refuses directories and files over
// kLargestFileRead without reading them.
ImageRead ReadImageFile(const std::string& path);

// File-name part of a path (after the last '/' or '\\').
std::string BaseName(const std::string& path);
// The folder part of `path` with its separator (either kind), empty when it names none.
std::string FolderOf(const std::string& path);
// The name contains "BIN" or "bin".
bool NameLooksLikeImage(std::string_view name);
// Name test plus 1 <= size < 128000.
bool IsValidImage(std::string_view name, uint64_t size);
// The three version bytes after the first "INFO" tag, when the whole tag lies in the image.
std::optional<std::string> FindVersionTag(const std::vector<uint8_t>& image);

// The texts of the four image labels.
std::string VersionLabelText(const std::vector<uint8_t>& image);
std::string SizeLabelText(uint32_t size);
std::string FirmwareNameLabelText(const std::string& name);
std::string NameLabelText(const std::string& name);
