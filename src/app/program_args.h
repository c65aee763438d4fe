#pragma once

#include <string>
#include <vector>

// The program's arguments as UTF-8, and a console that shows UTF-8 output and terminal
// escape sequences as such.
std::vector<std::string> ProgramArguments(int argc, char** argv);
