// charger-updater-cli: the updater's engine driven from a terminal or a script.
#include "cli/command_line.h"

int main(int argc, char** argv) {
  return RunCommandLine(argc, argv);
}
