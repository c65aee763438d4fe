#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

// A program started as a child process, with pipes for the standard streams its parent
// reads or writes. It starts with no signal blocked and Ctrl-C, SIGTERM, SIGHUP and SIGPIPE
// at their defaults, whatever the parent does with them.
struct ChildLaunch {
  std::vector<std::string> argv;                // argv[0] is the program's path
  std::optional<std::vector<std::string>> env;  // "NAME=value" each; none: the parent's
  bool pipeIn = false;
  bool pipeOut = false;
  bool pipeErr = false;
  bool outToNull = false;           // without pipeOut: stdout goes nowhere
  bool errToNull = false;           // without pipeErr: stderr goes nowhere
  bool ownProcessGroup = false;     // the terminal's Ctrl-C reaches the parent alone
  bool inheritNothingElse = false;  // no descriptor beyond the three streams, e.g. a pty master
};

struct Child {
  pid_t pid = -1;
  int in = -1;  // the parent's ends of the pipes; -1 where there is none
  int out = -1;
  int err = -1;
};

// 0 with the child started, or why it could not be (errno); nothing is left open then.
int SpawnChild(const ChildLaunch& launch, Child* child);
