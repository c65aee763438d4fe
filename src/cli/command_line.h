#pragma once

// charger-updater-cli's command line: parses it, runs the command it names and returns the
// program's exit status.
int RunCommandLine(int argc, char** argv);
