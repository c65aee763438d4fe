// charger-updater: the updater's window.
#include <CLI/CLI.hpp>
#include <memory>
#include <optional>
#include <sstream>
#include <string>

#include "cli/command_line.h"
#include "cli/job_options.h"
#include "platform/exit_status.h"
#include "platform/program_args.h"
#include "post/configured_posting.h"
#include "record/production_settings.h"
#include "res/version.h"
#include "station/station_app.h"
#include "station/station_job.h"
#include "ui/quorlin_app.h"

int main(int argc, char** argv) {
  CLI::App cli{"Finds a battery charger on a USB serial port and programs its firmware.",
               CQuorlinApp::kAppName};
  cli.set_version_flag("--version",
                       std::string(CQuorlinApp::kAppName) + " " + kChargerUpdaterVersion);
  // Options start with "-" on every platform; "/path" is a file, not an option.
  cli.allow_windows_style_options(false);
  CQuorlinApp::Options options;
  cli.add_flag("--service", options.serviceMode,
               "Also show the technician's controls: log, auto-program, search, reset");
  // --ports as charger-updater-cli takes it: checked, each device once.
  Station::Options station;
  AddPortsOption(&cli, station.run);
  // The production station: many chargers at once, one row per port, as gang programs them.
  bool stationMode = false;
  auto* stationFlag = cli.add_flag(
      "--station", stationMode,
      "Open the production station: program every charger plugged into any of the ports");
  cli.add_option("IMAGE", station.run.image,
                 "--station: the firmware image (default: the station's last one)")
      ->needs(stationFlag);
  cli.add_flag("--start", station.start, "--station: start at once")->needs(stationFlag);
  for (CLI::Option* option :
       AddProgrammingRunOptions(&cli, station.run, "--station: stop after N sessions in all"))
    option->needs(stationFlag);
  // --job for both windows; the guards and the record's names are the station's.
  for (CLI::Option* option : AddJobOptions(&cli, station.run)) {
    if (option->get_name() != "--job") {
      option->needs(stationFlag);
      continue;
    }
    option->description(
        "Run from this job file: its image, guards and record (default: config.ini's [Job] "
        "Path=)");
  }
  // For the screenshot script: save the window after a delay and exit.
  cli.add_option("--screenshot", options.screenshotPath)->group("");
  cli.add_option("--screenshot-after", options.screenshotAfterMs)->group("");
  ProgramArguments args(argc, argv);
  try {
    cli.parse(args.Count(), args.Values());
  } catch (const CLI::ParseError& error) {
    std::ostringstream out;
    const int code = cli.exit(error, out, out);
    CQuorlinApp::ShowUsage(out.str(), code != 0);
    return code == 0 ? kExitOk : kExitUsage;
  }

  if (stationMode) {
    if (const std::string problem = TakeStationJob(cli, station); !problem.empty()) {
      CQuorlinApp::ShowProblem(problem + ".");
      return kExitUsage;
    }
    StationWindowOptions window{options.screenshotPath, options.screenshotAfterMs};
    int toolkitArgc = 1;
    return RunStationWindow(toolkitArgc, argv, std::move(station), window);
  }
  options.ports = station.run.ports;

  std::unique_ptr<RecordPoster> poster;  // outlives the engine, whose rows it takes
  std::unique_ptr<RecordFile> record;
  std::optional<Job> job;
  options.prepareEngine = [&](CQuorlinDlg& dlg) {
    std::string error = ApplyJob(dlg, options.configPath, station.run.job, &job);
    if (!error.empty()) return error + ". Correct the job, or run without it.";
    poster = StartConfiguredPosting(options.configPath, job ? &*job : nullptr, &error);
    if (!error.empty()) return error;
    RowListener postRow;
    if (poster)
      postRow = [&poster](const SessionRecord& row) {
        std::string failure;
        poster->Add(row, &failure);
        return failure;
      };
    record =
        ApplyProductionSettings(dlg, options.configPath, &error, postRow, job ? &*job : nullptr);
    if (error.empty()) return error;
    return error +
           (job ? ". Correct Record= in " + job->file
                : ". Correct [Record] Path= in " + options.configPath) +
           ".";
  };
  // Every argument is ours; Qt takes its settings from the environment (QT_QPA_PLATFORM...).
  int toolkitArgc = 1;
  return CQuorlinApp(options).Run(toolkitArgc, argv);
}
