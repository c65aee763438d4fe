#pragma once

#include <cstddef>
#include <cstdint>

namespace chargersim {

// The charger loader's CRC-16 (reflected, 0xA001; a running value of 0 restarts at 0xFFFF).
// Deliberately a second implementation, not the sender's: a transfer into the simulator then
// checks one against the other instead of a CRC against itself.
uint16_t LoaderCrcUpdate(uint8_t byte, uint16_t crc);
uint16_t LoaderCrc(const uint8_t* data, size_t length);

}  // namespace chargersim
