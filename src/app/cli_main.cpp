// charger-updater-cli: the updater's engine driven from a terminal or a script.
#include <CLI/CLI.hpp>
#include <cstdlib>

#include "charger/port_list.h"
#include "cli_commands.h"
#include "program_args.h"
#include "res/version.h"

namespace {
void AddPortOption(CLI::App* command, CliOptions& options) {
  command
      ->add_option_function<std::string>(
          "--ports", [&options](const std::string& text) { options.ports = SplitPortList(text); },
          "Comma-separated ports to search instead of the system's serial ports")
      ->type_name("P1,P2,...");
}
}  // namespace

int main(int argc, char** argv) {
  CliOptions options;
  if (const char* watchdog = std::getenv("CHARGER_UPDATER_WATCHDOG_MS"))
    options.watchdogMs = std::atoi(watchdog) > 0 ? std::atoi(watchdog) : options.watchdogMs;

  CLI::App app{"Finds a charger on the serial ports and programs its firmware."};
  app.set_version_flag("--version", std::string("charger-updater-cli ") + kChargerUpdaterVersion);
  // Options start with "-" on every platform; "/path" is a file, not an option.
  app.allow_windows_style_options(false);
  app.require_subcommand(1);
  app.footer(
      "Exit codes: 0 success, 1 programming failed, 2 usage error or refused image, "
      "3 no charger answered.\nCHARGER_UPDATER_PORTS=P1,P2 replaces the system's port list.");

  auto* ports = app.add_subcommand("ports", "List the ports a search would probe, in order");

  auto* info = app.add_subcommand("info", "Find a charger and print what it reports");
  AddPortOption(info, options);
  info->add_option("--wait", options.waitSeconds, "Seconds to search (default 10)")
      ->check(CLI::PositiveNumber);

  auto* flash = app.add_subcommand("flash", "Program IMAGE into the charger that answers");
  flash->add_option("IMAGE", options.image, "Firmware image (.bin)")->required();
  AddPortOption(flash, options);
  flash->add_option("--wait", options.waitSeconds, "Seconds to search (default 10)")
      ->check(CLI::PositiveNumber);

  auto* automatic = app.add_subcommand(
      "auto", "Program every newly connected charger with IMAGE until stopped (Ctrl-C)");
  automatic->add_option("IMAGE", options.image, "Firmware image (.bin)")->required();
  AddPortOption(automatic, options);
  automatic->add_option("--count", options.count, "Stop after N sessions")
      ->check(CLI::PositiveNumber);

  std::vector<std::string> args = ProgramArguments(argc, argv);
  std::vector<char*> pointers;
  for (std::string& arg : args) pointers.push_back(arg.data());
  try {
    app.parse(static_cast<int>(pointers.size()), pointers.data());
  } catch (const CLI::ParseError& error) {
    const int code = app.exit(error);
    return code == 0 ? kExitOk : kExitUsage;
  }

  if (*ports) return RunPorts(options);
  if (*info) return RunInfo(options);
  if (*flash) return RunFlash(options);
  return RunAuto(options);
}
