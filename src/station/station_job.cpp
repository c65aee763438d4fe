#include "station/station_job.h"

#include "cli/job_options.h"
#include "image/profile.h"
#include "station/station_settings.h"

std::string TakeStationJob(const CLI::App& cli, Station::Options& options) {
  using JobFrom = Station::Options::JobFrom;
  CliOptions& run = options.run;
  // How to do without the job, for the message when something is given beside it.
  std::string instead = "the --job";
  options.jobFrom = JobFrom::CommandLine;
  if (run.job.empty()) {
    run.job = ReadProfileString(options.configPath, "Job", "Path", "");
    options.jobFrom = JobFrom::Config;
    instead = "[Job] Path= in " + options.configPath;
  }
  if (run.job.empty() && run.image.empty()) {
    std::string unreadable;  // Station::Open says so
    run.job = ReadStationSettings(options.configPath, &unreadable).job;
    options.jobFrom = JobFrom::Last;
    instead = "give an IMAGE instead of the station's last job ([Station] Job= in " +
              options.configPath + ")";
  }
  if (run.job.empty()) return {};
  return JobConflict(cli, run, instead);
}
