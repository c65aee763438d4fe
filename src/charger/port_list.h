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
// around each name are dropped. A name in double quotes keeps its commas and blanks:
// "\"SN,1 \",b" -> {"SN,1 ","b"}.
std::vector<std::string> SplitNameList(const std::string& text);

// The device a port name stands for, so that two names of one port (a link and its target,
// "com3" and "COM3") compare equal; the name itself when it names nothing yet.
std::string PortDeviceKey(const std::string& port);
struct RepeatedPort {
  std::string port;
  std::string sameAs;  // the name kept for its device
};
// `ports` with each device's first name only; the others go to `repeated`.
std::vector<std::string> UniquePorts(const std::vector<std::string>& ports,
                                     std::vector<RepeatedPort>* repeated);

// The search order: USB adapters first, then UARTs; numbers compare by value (ttyACM2 <
// ttyACM10, COM2 < COM10).
bool PortNameLess(const std::string& a, const std::string& b);
