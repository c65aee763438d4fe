#include "cli/job_options.h"

#include "charger/port_list.h"
#include "cli/command_line.h"
#include "cli/option_ranges.h"
#include "job/job_file.h"
#include "job/pinned_image.h"
#include "post/post_settings.h"

namespace {

// What a job fixes, by the option that would set it on the command line.
struct Fixed {
  const char* option;
  const char* what;
};
constexpr Fixed kFixedByJob[] = {
    {"--model", "the models"},
    {"--no-downgrade", "the version guard"},
    {"--sha256", "the image's digest"},
    {"--skip-same-version", "--skip-same-version"},
    {"--verify", "--verify"},
    {"--retries", "the retries"},
    {"--fast", "--fast"},
    {"--record", "the record"},
};

}  // namespace

std::vector<CLI::Option*> AddJobOptions(CLI::App* command, CliOptions& options) {
  const size_t before = command->get_options().size();
  command
      ->add_option_function<std::string>(
          "--model",
          [&options](const std::string& text) { options.guards.models = SplitNameList(text); },
          "Refuse a charger whose identification line is none of these patterns ('*' any run, "
          "'?' one character, the whole line, case counts)")
      ->type_name("PATTERN[,PATTERN...]")
      ->check(CLI::Validator(
          [](std::string& text) {
            return SplitNameList(text).empty() ? std::string("names no model") : std::string();
          },
          ""));
  command->add_flag("--no-downgrade", options.guards.noDowngrade,
                    "Refuse a charger whose version is newer than the image's (or cannot be "
                    "compared with it)");
  command->add_option("--sha256", options.sha256, "The image must have this SHA-256")
      ->type_name("HEX")
      ->check(CLI::Validator(
          [](std::string& text) {
            return IsSha256Text(text) ? std::string() : std::string("must be 64 hex digits");
          },
          ""));
  command
      ->add_option("--retries", options.retries,
                   "Try a failed session again up to N times once the charger answers again, "
                   "0 to 10 (default 0)")
      ->type_name("N")
      ->check(CountBetween(0, kMostRetries));
  command->add_option("--job", options.job, "Run from this job file: image, pin, guards, record")
      ->type_name("FILE");
  command->add_option("--station-name", options.context.station, "The station, for the record")
      ->type_name("NAME");
  command->add_option("--operator", options.context.operatorName, "Who runs it, for the record")
      ->type_name("NAME");
  command->add_option("--lot", options.context.lot, "The production lot, for the record")
      ->type_name("LOT");
  return OptionsAddedSince(*command, before);
}

std::string JobConflict(const CLI::App& command, const CliOptions& options,
                        const std::string& jobSource) {
  if (!options.image.empty())
    return "the job fixes the image: leave out " + options.image + " or " + jobSource;
  for (const Fixed& fixed : kFixedByJob)
    if (command.get_option(fixed.option)->count() > 0)
      return std::string("the job fixes ") + fixed.what + ": leave out " + fixed.option + " or " +
             jobSource;
  return {};
}

std::string ReadJobInto(CliOptions& options) {
  std::string error;
  const auto job = ReadJob(options.job, &error);
  if (!job) return error;
  options.image = job->image;
  options.sha256 = job->sha256;
  options.guards = job->guards;
  options.skipSameVersion = job->skipSameVersion;
  options.verify = job->verify;
  options.fast = job->fast;
  options.retries = job->retries;
  options.recordPath = job->record;
  if (!job->postUrl.empty()) {
    if (!options.postUrl.empty())  // --post's
      return "the job fixes the record's server: leave out --post or the --job";
    if (std::string problem = CheckJobUrl(*job); !problem.empty()) return problem;
    options.postUrl = job->postUrl;
  }
  if (options.context.station.empty()) options.context.station = job->station;
  options.context.job = job->name;
  return {};
}

std::string TakeJob(const CLI::App& command, CliOptions& options) {
  if (options.job.empty()) {
    if (options.image.empty()) return "give the firmware image (IMAGE), or a job with --job FILE";
  } else if (std::string problem = JobConflict(command, options, "the --job"); !problem.empty()) {
    return problem;
  } else if (problem = ReadJobInto(options); !problem.empty()) {
    return problem;
  }
  return PostingWithoutServer(options);
}

std::string PostingWithoutServer(const CliOptions& options) {
  if (!options.postUrl.empty()) return {};
  if (!options.spoolFolder.empty()) return "--spool requires --post (or a job with Url=)";
  if (!options.caCert.empty()) return "--cacert requires --post (or a job with Url=)";
  return {};
}
