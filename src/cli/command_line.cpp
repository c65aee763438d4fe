#include "cli/command_line.h"

#include <CLI/CLI.hpp>
#include <cstdio>

#include "charger/port_list.h"
#include "cli/commands.h"
#include "cli/job_options.h"
#include "cli/option_ranges.h"
#include "cli/stop_requests.h"
#include "platform/printable_text.h"
#include "platform/program_args.h"
#include "post/post_settings.h"
#include "res/version.h"
#include "serial/port_path.h"

namespace {
// Empty when every name may be searched. A name that does not exist yet is fine (a charger
// may appear there later); one that exists and is no terminal is never opened.
std::string CheckPortList(const std::string& text) {
  const std::vector<std::string> ports = SplitNameList(text);
  if (ports.empty()) return "names no port; give the charger's port, e.g. --ports /dev/ttyUSB0";
  for (const std::string& port : ports) {
    switch (ClassifyPortPath(port)) {
      case PortPathKind::NotTerminal:
        return port + " is not a serial port (it is " + DescribePortPath(port) +
               "); give the charger's port, e.g. /dev/ttyUSB0";
      case PortPathKind::OwnTerminal:
        return port + " is not a charger's serial port: it is this program's own terminal";
      case PortPathKind::Missing:
      case PortPathKind::Terminal:
      case PortPathKind::Unknown:
        break;
    }
  }
  return {};
}

// Two names of one device (the same name twice, a link and its target) are one port: a second
// search of it would find its own updater holding it.
std::vector<std::string> OncePerPort(const std::vector<std::string>& ports) {
  std::vector<RepeatedPort> repeated;
  std::vector<std::string> unique = UniquePorts(ports, &repeated);
  for (const RepeatedPort& port : repeated)
    std::fprintf(stderr, "charger-updater-cli: %s is the same port as %s; it is used once.\n",
                 PrintableText(port.port).c_str(), PrintableText(port.sameAs).c_str());
  return unique;
}

}  // namespace

void AddPortsOption(CLI::App* command, CliOptions& options) {
  command
      ->add_option_function<std::string>(
          "--ports",
          [&options](const std::string& text) { options.ports = OncePerPort(SplitNameList(text)); },
          "Comma-separated ports to search instead of the system's serial ports")
      ->type_name("P1,P2,...")
      ->check(CLI::Validator([](std::string& text) { return CheckPortList(text); }, ""));
}

namespace {

void AddWaitOption(CLI::App* command, CliOptions& options) {
  command->add_option("--wait", options.waitSeconds, "Seconds to search, 0.1 to 3600 (default 10)")
      ->type_name("SECONDS")
      ->check(SecondsBetween(0.1, 3600));
}

void AddTimeoutOption(CLI::App* command, CliOptions& options) {
  command
      ->add_option("--timeout", options.timeoutSeconds,
                   "Seconds a programming session may take before it counts as failed, 1 to "
                   "3600 (default 35)")
      ->type_name("SECONDS")
      ->check(SecondsBetween(1, 3600));
}

void AddSerialOption(CLI::App* command, CliOptions& options) {
  command
      ->add_option_function<std::string>(
          "--serial",
          [&options](const std::string& text) {
            options.serials = SplitNameList(text);
            if (options.serials.empty())
              throw CLI::ValidationError("--serial", "names no serial number");
          },
          "Touch only the chargers with these serial numbers (whole numbers; blanks at either "
          "end do not count; \"SN,1\" for one with a comma); others are only probed")
      ->type_name("SN[,SN...]");
}

void AddJsonOption(CLI::App* command, CliOptions& options) {
  command->add_flag("--json", options.json, "One JSON object per line on stdout");
}

CLI::Validator Checked(std::string (*check)(const std::string&)) {
  return CLI::Validator([check](std::string& text) { return check(text); }, "");
}

CLI::Option* AddSpoolOption(CLI::App* command, CliOptions& options) {
  return command
      ->add_option("--spool", options.spoolFolder,
                   "Folder where rows wait to be posted (default: the user's data folder's "
                   "charger-updater/spool)")
      ->type_name("DIR");
}

CLI::Option* AddCaCertOption(CLI::App* command, CliOptions& options) {
  return command
      ->add_option("--cacert", options.caCert,
                   "Trust this certificate (PEM) for https besides the system's")
      ->type_name("FILE")
      ->check(Checked(CheckCaCert));
}

CLI::Option* AddPostOption(CLI::App* command, CliOptions& options, const char* help) {
  return command->add_option("--post", options.postUrl, help)
      ->type_name("URL")
      ->check(Checked(CheckPostUrl));
}

void AddProgrammingOptions(CLI::App* command, CliOptions& options) {
  command
      ->add_option("--record", options.recordPath,
                   "Append one row per session to FILE (CSV; JSON Lines when it ends in .jsonl)")
      ->type_name("FILE")
      ->check(CLI::Validator(
          [](std::string& text) { return text.empty() ? "names no file" : std::string(); }, ""));
  command->add_flag("--skip-same-version", options.skipSameVersion,
                    "Leave a charger alone when it already runs the image's version");
  command->add_flag("--verify", options.verify,
                    "After programming, wait up to 20 s for the charger to answer and check its "
                    "version");
  command->add_flag("--fast", options.fast,
                    "Hand each reply on as soon as the line is quiet (a speed-up not yet tried "
                    "on every charger)");
  AddSerialOption(command, options);
  // --spool and --cacert serve --post's server or a job's Url=: checked once the job is read.
  AddPostOption(command, options,
                "Also post every row to URL (http or https), through a spool that keeps it "
                "until the server has it");
  AddSpoolOption(command, options);
  AddCaCertOption(command, options);
}

// auto and gang: programming without end, or until N sessions.
CLI::App* AddProductionCommand(CLI::App& app, const char* name, const char* description,
                               const char* countHelp, CliOptions& options) {
  auto* command = app.add_subcommand(name, description);
  command->add_option("IMAGE", options.image, "Firmware image (.bin); not with --job");
  AddPortsOption(command, options);
  AddProgrammingRunOptions(command, options, countHelp);
  AddJobOptions(command, options);
  AddJsonOption(command, options);
  return command;
}

}  // namespace

std::vector<CLI::Option*> AddProgrammingRunOptions(CLI::App* app, CliOptions& options,
                                                   const char* countHelp) {
  const size_t before = app->get_options().size();
  app->add_option("--count", options.count, countHelp)
      ->type_name("N")
      ->check(CountBetween(1, 1000000));
  AddTimeoutOption(app, options);
  AddProgrammingOptions(app, options);
  return OptionsAddedSince(*app, before);
}

std::vector<CLI::Option*> OptionsAddedSince(CLI::App& app, size_t before) {
  std::vector<CLI::Option*> added = app.get_options();
  added.erase(added.begin(), added.begin() + static_cast<long>(before));
  return added;
}

int RunCommandLine(int argc, char** argv) {
  TakeWriteFailuresAsErrors();
  CliOptions options;

  CLI::App app{"Finds a charger on the serial ports and programs its firmware."};
  app.set_version_flag("--version", std::string("charger-updater-cli ") + kChargerUpdaterVersion);
  // Options start with "-" on every platform; "/path" is a file, not an option.
  app.allow_windows_style_options(false);
  app.require_subcommand(1);
  app.footer(
      "Exit codes: 0 success, 1 programming failed, 2 usage error or refused image, "
      "3 no charger answered, 4 the charger was refused by a guard (flash), 5 a record row could "
      "not be written, 129 the terminal was "
      "closed, 130 stopped by Ctrl-C, 141 stdout was closed, 143 stopped by SIGTERM."
      "\nCHARGER_UPDATER_PORTS=P1,P2 replaces the system's port list.");

  auto* ports = app.add_subcommand("ports", "List the ports a search would probe, in order");

  auto* info = app.add_subcommand("info", "Find a charger and print what it reports");
  AddPortsOption(info, options);
  AddWaitOption(info, options);
  info->add_flag("--all", options.all, "Search every port and print each charger found");
  // info --all's workers: their conductor's lines come on stdin.
  info->add_flag("--worker", options.worker)->group("");
  AddSerialOption(info, options);
  AddJsonOption(info, options);

  auto* flash = app.add_subcommand("flash", "Program IMAGE into the charger that answers");
  flash->add_option("IMAGE", options.image, "Firmware image (.bin); not with --job");
  AddPortsOption(flash, options);
  AddWaitOption(flash, options);
  AddTimeoutOption(flash, options);
  AddProgrammingOptions(flash, options);
  AddJobOptions(flash, options);
  AddJsonOption(flash, options);

  auto* automatic = AddProductionCommand(
      app, "auto", "Program every newly connected charger with IMAGE until stopped (Ctrl-C)",
      "Stop after N sessions, 1 to 1000000", options);
  // gang's workers: their conductor's lines come on stdin, and its job's name goes into rows.
  automatic->add_flag("--worker", options.worker)->group("");
  automatic->add_option("--job-name", options.context.job)->group("");
  auto* gang = AddProductionCommand(
      app, "gang", "Program chargers on many ports at once, each port on its own, until stopped",
      "Stop after N sessions in all, 1 to 1000000", options);

  auto* records = app.add_subcommand("records", "The rows waiting to be posted to a server");
  records->require_subcommand(1);
  auto* push = records->add_subcommand(
      "push", "Post the queued rows now; exit 0 when none is left, 1 when some are");
  AddPostOption(push, options, "Post to URL (default: the address the rows were last posted to)");
  AddSpoolOption(push, options);
  AddCaCertOption(push, options);
  auto* status = records->add_subcommand(
      "status", "Print how many rows are queued and rejected, and the oldest queued row's time");
  AddSpoolOption(status, options);

  ProgramArguments args(argc, argv);
  try {
    app.parse(args.Count(), args.Values());
  } catch (const CLI::ParseError& error) {
    const int code = app.exit(error);
    return code == 0 ? kExitOk : kExitUsage;
  }

  for (const CLI::App* command : {flash, automatic, gang}) {
    if (!*command) continue;
    if (const std::string problem = TakeJob(*command, options); !problem.empty()) {
      std::fprintf(stderr, "charger-updater-cli: %s\n", PrintableText(problem).c_str());
      return kExitUsage;
    }
  }
  if (*ports) return RunPorts(options);
  if (*info) return RunInfo(options);
  if (*flash) return RunFlash(options);
  if (*gang) return RunGang(options);
  if (*push) return RunRecordsPush(options);
  if (*status) return RunRecordsStatus(options);
  return RunAuto(options);
}
