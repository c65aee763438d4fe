#pragma once

#include <string>
#include <vector>

// The program's arguments as UTF-8, in the argc/argv form parsers take, and a console that
// shows UTF-8 output and terminal escape sequences as such.
class ProgramArguments {
 public:
  ProgramArguments(int argc, char** argv);
  int Count() const { return static_cast<int>(m_pointers.size()); }
  char** Values() { return m_pointers.data(); }

 private:
  static std::vector<std::string> Read(int argc, char** argv);  // the platform's own
  std::vector<std::string> m_args;
  std::vector<char*> m_pointers;
};
