#pragma once

#include <optional>
#include <string>

#include "cli/commands.h"
#include "cli/session_report.h"
#include "conductor/conductor.h"

// gang's work for a conductor, from its options: one worker per port of `options.ports` (the
// system's list when empty) programming `options.image`, with the production options and the
// count, each row kept through `report` (which the caller opens, and which must outlive the
// run). The station's window runs the same plan. None, with the reason in `error` and the exit
// status in `status`, when there is no port or the image is not the one pinned.
std::optional<ConductorPlan> ProgrammingPlan(const CliOptions& options, SessionReport& report,
                                             std::string* error, int* status);
