#pragma once

#include <CLI/CLI.hpp>
#include <string>
#include <vector>

#include "cli/commands.h"

// The options of flash, auto and gang that guard, pin and describe a run: --model,
// --no-downgrade, --sha256, --retries, --job, --station-name, --operator, --lot. Returns them,
// for a caller that makes some depend on another option.
std::vector<CLI::Option*> AddJobOptions(CLI::App* command, CliOptions& options);

// After parsing: a --job fills the image, its pin, guards and production options in from the
// job file, which fixes them, so giving one of them beside it is a mistake. Without a job the
// image must be given; --spool and --cacert need --post or the job's Url=. Empty, or what is
// wrong.
std::string TakeJob(const CLI::App& command, CliOptions& options);

// The two halves of TakeJob, for a job named elsewhere than by --job: what is given beside
// the job that it fixes (the image, or an option set on `command`), with `jobSource` saying how
// to do without the job ("the --job"); empty when nothing is.
std::string JobConflict(const CLI::App& command, const CliOptions& options,
                        const std::string& jobSource);
// The job in `options.job` read into `options`: image, pin, guards, production options,
// server, station and name. Empty, or why it cannot be run (its file, line and reason, or a
// --post beside its Url=).
std::string ReadJobInto(CliOptions& options);

// --spool and --cacert serve a server, --post's or the job's Url=: what is wrong when there
// is none, or empty.
std::string PostingWithoutServer(const CliOptions& options);
