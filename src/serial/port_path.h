#pragma once

#include <string>

// What a port name given by the operator names, decided without opening it: opening an
// arbitrary device can have side effects of its own (a watchdog device starts counting).
enum class PortPathKind {
  Missing,      // nothing there yet; a charger may appear under that name later
  Terminal,     // a serial or pseudo-terminal device
  OwnTerminal,  // the terminal this process runs in: never a charger
  NotTerminal,  // a file, directory, FIFO or another kind of device
  Unknown,      // could not be examined (no permission); opening it will tell
};

PortPathKind ClassifyPortPath(const std::string& path);
// What it is, for messages: "a regular file", "a directory", "this program's own terminal"...
std::string DescribePortPath(const std::string& path);
