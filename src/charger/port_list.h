#pragma once

#include <string>
#include <vector>

// The serial ports a search probes, in a stable order, read afresh on every call:
// USB and ACM adapters and UARTs that have hardware behind them, not the phantom ttyS
// entries. `CHARGER_UPDATER_PORTS` (comma-separated) replaces the system's list.
std::vector<std::string> ListSerialPorts();
// The system's list alone, without the environment override.
std::vector<std::string> SystemSerialPorts();
// "a,b,,c" -> {"a","b","c"}.
std::vector<std::string> SplitPortList(const std::string& text);
