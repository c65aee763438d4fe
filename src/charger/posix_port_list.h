#pragma once

#include <string>
#include <vector>

// The ports found in a sysfs tty class directory (normally /sys/class/tty), as /dev paths:
// USB and ACM adapters and UARTs that have hardware behind them, not the phantom ttyS entries.
std::vector<std::string> SerialPortsIn(const std::string& ttyClassDir);
