#pragma once

#include <CLI/CLI.hpp>
#include <string>

#include "cli/commands.h"

// The options of flash, auto and gang that guard, pin and describe a run: --model,
// --no-downgrade, --sha256, --retries, --job, --station-name, --operator, --lot.
void AddJobOptions(CLI::App* command, CliOptions& options);

// After parsing: a --job fills the image, its pin, guards and production options in from the
// job file, which fixes them, so giving one of them beside it is a mistake. Without a job the
// image must be given; --spool and --cacert need --post or the job's Url=. Empty, or what is
// wrong.
std::string TakeJob(const CLI::App& command, CliOptions& options);
