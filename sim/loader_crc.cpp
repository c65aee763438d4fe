#include "sim/loader_crc.h"

namespace chargersim {

uint16_t LoaderCrcUpdate(uint8_t byte, uint16_t crc) {
  uint16_t x = crc == 0 ? 0xFFFF : crc;
  x ^= byte;
  for (int bit = 0; bit < 8; ++bit) x = (x & 1) ? (x >> 1) ^ 0xA001 : x >> 1;
  return x;
}

uint16_t LoaderCrc(const uint8_t* data, size_t length) {
  uint16_t crc = 0;
  for (size_t i = 0; i < length; ++i) crc = LoaderCrcUpdate(data[i], crc);
  return crc;
}

}  // namespace chargersim
