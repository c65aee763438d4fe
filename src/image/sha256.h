#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

// SHA-256 (FIPS 180-4), for the image fingerprint kept with each production record.
class Sha256 {
 public:
  Sha256();
  void Update(const uint8_t* data, size_t length);
  std::array<uint8_t, 32> Finish();

 private:
  void Block(const uint8_t* block);

  std::array<uint32_t, 8> m_state;
  std::array<uint8_t, 64> m_buffer{};
  size_t m_buffered = 0;
  uint64_t m_totalBytes = 0;
};

// Lower-case hex digest of `length` bytes.
std::string Sha256Hex(const uint8_t* data, size_t length);
