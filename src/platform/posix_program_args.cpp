#include "platform/program_args.h"

std::vector<std::string> ProgramArguments::Read(int argc, char** argv) {
  return std::vector<std::string>(argv, argv + argc);
}
