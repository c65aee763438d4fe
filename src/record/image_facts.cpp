#include "record/image_facts.h"

#include "image/image_file.h"
#include "image/sha256.h"

ImageFacts DescribeImage(const std::string& name, const std::vector<uint8_t>& bytes) {
  return ImageFacts{.name = BaseName(name),
                    .size = static_cast<uint32_t>(bytes.size()),
                    .sha256 = Sha256Hex(bytes.data(), bytes.size()),
                    .versionTag = FindVersionTag(bytes)};
}
