#include "platform/program_args.h"

ProgramArguments::ProgramArguments(int argc, char** argv) : m_args(Read(argc, argv)) {
  for (std::string& arg : m_args) m_pointers.push_back(arg.data());
}
