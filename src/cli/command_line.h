#pragma once

// charger-updater-cli's command line: parses it, runs the command it names and returns the
// program's exit status.
int RunCommandLine(int argc, char** argv);

#include <vector>

#include "cli/commands.h"

namespace CLI {
class App;
class Option;
}  // namespace CLI

// --ports as every command takes it: the names checked (never a file or this program's own
// terminal) and each device once.
void AddPortsOption(CLI::App* app, CliOptions& options);
// The options of a programming run that gang and the station's window share: --count,
// --timeout, --record, --serial, --skip-same-version, --verify and --fast. Returns them, for a
// caller that makes them depend on another option.
std::vector<CLI::Option*> AddProgrammingRunOptions(CLI::App* app, CliOptions& options,
                                                   const char* countHelp);
