// The image checks on any file name and content. Input: the name, a NUL, the image bytes.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz_check.h"
#include "image/image_file.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const uint8_t* end = data + size;
  const uint8_t* nul = std::find(data, end, 0);
  const std::string path(data, nul);
  const std::vector<uint8_t> image(nul == end ? end : nul + 1, end);

  const std::string name = BaseName(path);
  FUZZ_CHECK(name.find_first_of("/\\") == std::string::npos);
  FUZZ_CHECK(path.size() >= name.size() && path.ends_with(name));
  const bool valid = IsValidImage(name, image.size());
  FUZZ_CHECK(!valid ||
             (NameLooksLikeImage(name) && !image.empty() && image.size() < kImageSizeLimit));

  if (const std::optional<std::string> version = FindVersionTag(image)) {
    FUZZ_CHECK(version->size() == 3);
    const uint8_t tag[] = {'I', 'N', 'F', 'O'};
    const auto at = std::search(image.begin(), image.end(), std::begin(tag), std::end(tag));
    FUZZ_CHECK(at != image.end() && image.end() - at >= 8);
    FUZZ_CHECK(std::string(at + 5, at + 8) == *version);
  }
  FUZZ_CHECK(!VersionLabelText(image).empty());
  FUZZ_CHECK(!SizeLabelText(static_cast<uint32_t>(image.size())).empty());
  FUZZ_CHECK(FirmwareNameLabelText(name).size() <= FirmwareNameLabelText("").size() + 38);
  FUZZ_CHECK(NameLabelText(name).size() <= NameLabelText("").size() + 48);
  return 0;
}
