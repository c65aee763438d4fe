#pragma once

#include <string>
#include <vector>

// The serial ports a search probes, in a stable order, read afresh on every call.
// `CHARGER_UPDATER_PORTS` (comma-separated) replaces the system's list.
std::vector<std::string> ListSerialPorts();
// The system's list alone, without the environment override: on Linux the ttys with hardware
// behind them, on Windows the COM ports the registry names.
std::vector<std::string> SystemSerialPorts();
// Names separated by commas (ports, serial numbers): "a,b,,c" -> {"a","b","c"}; blanks
// around each name are dropped.
std::vector<std::string> SplitNameList(const std::string& text);

// The search order: USB adapters first, then UARTs; numbers compare by value (ttyACM2 <
// ttyACM10, COM2 < COM10).
bool PortNameLess(const std::string& a, const std::string& b);
