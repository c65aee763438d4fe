// charger-updater-cli: the updater's engine driven from a terminal or a script.
#include <CLI/CLI.hpp>
#include <cstdlib>

#include "charger/port_list.h"
#include "cli_commands.h"
#include "res/version.h"

namespace {
void AddPortOption(CLI::App* command, CliOptions& options) {
  command
      ->add_option_function<std::string>(
          "--ports", [&options](const std::string& text) { options.ports = SplitPortList(text); },
          "Comma-separated ports to search instead of the system's serial ports")
      ->type_name("P1,P2,...");
}

std::vector<std::string> SplitList(const std::string& text) {
  std::vector<std::string> items;
  size_t start = 0;
  while (start <= text.size()) {
    size_t end = text.find(',', start);
    if (end == std::string::npos) end = text.size();
    std::string item = text.substr(start, end - start);
    const size_t first = item.find_first_not_of(' ');
    const size_t last = item.find_last_not_of(' ');
    if (first != std::string::npos) items.push_back(item.substr(first, last - first + 1));
    start = end + 1;
  }
  return items;
}

void AddSerialOption(CLI::App* command, CliOptions& options) {
  command
      ->add_option_function<std::string>(
          "--serial",
          [&options](const std::string& text) {
            options.serials = SplitList(text);
            if (options.serials.empty())
              throw CLI::ValidationError("--serial", "names no serial number");
          },
          "Touch only the chargers with these serial numbers; others are only probed")
      ->type_name("SN[,SN...]");
}

void AddJsonOption(CLI::App* command, CliOptions& options) {
  command->add_flag("--json", options.json, "One JSON object per line on stdout");
}

void AddProgrammingOptions(CLI::App* command, CliOptions& options) {
  command
      ->add_option("--record", options.recordPath,
                   "Append one row per session to FILE (CSV; JSON Lines when it ends in .jsonl)")
      ->type_name("FILE");
  command->add_flag("--skip-same-version", options.skipSameVersion,
                    "Leave a charger alone when it already runs the image's version");
  command->add_flag("--verify", options.verify,
                    "After programming, wait up to 20 s for the charger to answer and check its "
                    "version");
  command->add_flag("--fast", options.fast,
                    "Hand each reply on as soon as the line is quiet (a speed-up not yet tried "
                    "on every charger)");
  AddSerialOption(command, options);
}
}  // namespace

int main(int argc, char** argv) {
  CliOptions options;
  if (const char* watchdog = std::getenv("CHARGER_UPDATER_WATCHDOG_MS"))
    options.watchdogMs = std::atoi(watchdog) > 0 ? std::atoi(watchdog) : options.watchdogMs;

  CLI::App app{"Finds a charger on the serial ports and programs its firmware."};
  app.set_version_flag("--version", std::string("charger-updater-cli ") + kChargerUpdaterVersion);
  app.require_subcommand(1);
  app.footer(
      "Exit codes: 0 success, 1 programming failed, 2 usage error or refused image, "
      "3 no charger answered, 130/143 gang interrupted by "
      "Ctrl-C/SIGTERM.\nCHARGER_UPDATER_PORTS=P1,P2 replaces the system's port list.");

  auto* ports = app.add_subcommand("ports", "List the ports a search would probe, in order");

  auto* info = app.add_subcommand("info", "Find a charger and print what it reports");
  AddPortOption(info, options);
  info->add_option("--wait", options.waitSeconds, "Seconds to search (default 10)")
      ->check(CLI::PositiveNumber);
  info->add_flag("--all", options.all, "Search every port and print each charger found");
  AddSerialOption(info, options);
  AddJsonOption(info, options);

  auto* flash = app.add_subcommand("flash", "Program IMAGE into the charger that answers");
  flash->add_option("IMAGE", options.image, "Firmware image (.bin)")->required();
  AddPortOption(flash, options);
  flash->add_option("--wait", options.waitSeconds, "Seconds to search (default 10)")
      ->check(CLI::PositiveNumber);
  AddProgrammingOptions(flash, options);
  AddJsonOption(flash, options);

  auto* automatic = app.add_subcommand(
      "auto", "Program every newly connected charger with IMAGE until stopped (Ctrl-C)");
  automatic->add_option("IMAGE", options.image, "Firmware image (.bin)")->required();
  AddPortOption(automatic, options);
  automatic->add_option("--count", options.count, "Stop after N sessions")
      ->check(CLI::PositiveNumber);
  AddProgrammingOptions(automatic, options);
  AddJsonOption(automatic, options);
  // gang's workers: stop between sessions once stdin closes.
  automatic->add_flag("--worker", options.worker)->group("");

  auto* gang = app.add_subcommand(
      "gang", "Program chargers on many ports at once, each port on its own, until stopped");
  gang->add_option("IMAGE", options.image, "Firmware image (.bin)")->required();
  AddPortOption(gang, options);
  gang->add_option("--count", options.count, "Stop after N sessions in all")
      ->check(CLI::PositiveNumber);
  AddProgrammingOptions(gang, options);
  AddJsonOption(gang, options);

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& error) {
    const int code = app.exit(error);
    return code == 0 ? kExitOk : kExitUsage;
  }

  if (*ports) return RunPorts(options);
  if (*info) return RunInfo(options);
  if (*flash) return RunFlash(options);
  if (*gang) return RunGang(options);
  return RunAuto(options);
}
