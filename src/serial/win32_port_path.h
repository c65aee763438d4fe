#pragma once

#include <string>

// How Windows spells the port a name stands for, beside the rules ClassifyPortPath keeps.

// What to open: COM10 and up exist only in the device namespace; COM1..COM9 also have DOS
// names. Names that already carry a path are the caller's choice.
std::wstring DevicePath(const std::string& name);
// One name for every spelling of a port ("com7", "\\.\COM7"), to hold the port by.
std::wstring PortKey(const std::string& name);
