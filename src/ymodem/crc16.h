#pragma once

#include <cstddef>
#include <cstdint>

// One step of the charger loader's CRC-16 (reflected, 0xA001). A running value of 0x0000
// restarts at 0xFFFF before the byte is mixed in; the loader depends on that.
uint16_t Crc16Update(uint8_t byte, uint16_t crc);

// CRC of a whole payload, starting from 0 as every block does.
uint16_t Crc16(const uint8_t* data, size_t length);
