#pragma once

#include <string>
#include <vector>

// Exit codes scripts rely on.
inline constexpr int kExitOk = 0;
inline constexpr int kExitProgramFailed = 1;
inline constexpr int kExitUsage = 2;  // also: an image that is refused
inline constexpr int kExitNoCharger = 3;

struct CliOptions {
  std::vector<std::string> ports;  // empty: the system's list
  double waitSeconds = 10;
  int count = 0;  // auto: stop after this many sessions; 0: until interrupted
  std::string image;
  double timeoutSeconds = 35;  // a session not completed by then counts as failed
};

int RunPorts(const CliOptions& options);
int RunInfo(const CliOptions& options);
int RunFlash(const CliOptions& options);
int RunAuto(const CliOptions& options);
