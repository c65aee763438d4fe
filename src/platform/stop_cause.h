#pragma once

#include <optional>
#include <string>
#include <string_view>

// Why a run was asked to stop before its end. A conductor hands the cause on to its workers
// by name, so each worker's rows give the operator's reason, not the conductor's.
enum class StopCause {
  Interrupt,      // Ctrl-C
  Terminate,      // SIGTERM, or the Windows console closed
  HangUp,         // SIGHUP: the terminal went away
  OutputClosed,   // nobody reads stdout any more
  ConductorLost,  // a worker's conductor ended without saying so
  Operator,       // a window's Stop
};

// The status a run stopped this way exits with: 130, 143, 129, 141; a lost conductor is a
// hang-up, a window's stop an interrupt.
int ExitStatusOf(StopCause cause);
// In the words of a row's reason: "interrupted by Ctrl-C", ...
std::string StopReason(StopCause cause);
// A cause's name on a conductor's line to its workers, and back.
std::string_view StopCauseName(StopCause cause);
std::optional<StopCause> StopCauseNamed(std::string_view name);
