#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// What every record of a run says about its image.
struct ImageFacts {
  std::string name;  // file name, without its folder
  uint32_t size = 0;
  std::string sha256;
  std::optional<std::string> versionTag;
};

ImageFacts DescribeImage(const std::string& name, const std::vector<uint8_t>& bytes);
