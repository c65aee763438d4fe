#include "ymodem/crc16.h"

uint16_t Crc16Update(uint8_t byte, uint16_t crc) {
  // Not CRC-16/MODBUS: the loader restarts from 0xFFFF whenever the running value is zero,
  // in the middle of a block too.
  uint16_t x = crc == 0 ? 0xFFFF : crc;
  x ^= byte;
  for (int bit = 0; bit < 8; ++bit) {
    x = (x & 1) ? static_cast<uint16_t>((x >> 1) ^ 0xA001) : static_cast<uint16_t>(x >> 1);
  }
  return x;
}

uint16_t Crc16(const uint8_t* data, size_t length) {
  uint16_t crc = 0;
  for (size_t i = 0; i < length; ++i) crc = Crc16Update(data[i], crc);
  return crc;
}
