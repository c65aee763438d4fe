#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ymodem/crc16.h"

namespace {

struct Vector {
  std::vector<uint8_t> payload;
  uint16_t crc;
};

std::vector<uint8_t> Text(const std::string& s) {
  return {s.begin(), s.end()};
}

// The FF FF cases are where this CRC parts from CRC-16/MODBUS: the running value reaches 0
// and restarts from 0xFFFF.
TEST(Crc16, MatchesTheLoaderVectors) {
  const std::vector<Vector> vectors = {
      {Text("123456789"), 0x4B37},
      {Text("abc"), 0x5749},
      {{0xFF, 0xFF}, 0x0000},
      {{0xFF, 0xFF, 0x00}, 0x40BF},
      {{0xFF, 0xFF, 0xFF, 0xFF}, 0x0000},
      {std::vector<uint8_t>(128, 0xFF), 0x0000},
      {std::vector<uint8_t>(128, 0x00), 0xFBFE},
  };
  for (const auto& v : vectors) {
    EXPECT_EQ(Crc16(v.payload.data(), v.payload.size()), v.crc) << "length " << v.payload.size();
  }
}

}  // namespace
