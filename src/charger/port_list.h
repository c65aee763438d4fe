#pragma once

#include <string>
#include <vector>

// The serial ports a search probes, in a stable order, read afresh on every call:
// USB and ACM adapters and UARTs that have hardware behind them, not the phantom ttyS
// entries. `CHARGER_UPDATER_PORTS` (comma-separated) replaces the system's list.
std::vector<std::string> ListSerialPorts();
// The system's list alone, without the environment override.
std::vector<std::string> SystemSerialPorts();
// "a,b,,c" -> {"a","b","c"}; blanks around each name are dropped.
std::vector<std::string> SplitPortList(const std::string& text);

// The ports found in a sysfs tty class directory (normally /sys/class/tty), as /dev paths.
std::vector<std::string> SerialPortsIn(const std::string& ttyClassDir);
// The search order: USB adapters first, then UARTs; numbers compare by value (ttyACM2 <
// ttyACM10).
bool PortNameLess(const std::string& a, const std::string& b);
