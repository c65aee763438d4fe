// charger-updater: the updater's window on Windows.
#include <windows.h>

#include <CLI/CLI.hpp>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "engine_record.h"
#include "program_args.h"
#include "res/version.h"
#include "res/win32_text.h"
#include "ui/win32/quorlin_app.h"

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
  cli.add_option("--ports", options.ports,
                 "Serial ports to search, in this order, instead of the system's list")
      ->delimiter(',')
      ->type_name("P1,P2,...");
  std::vector<std::string> args = ProgramArguments(argc, argv);
  std::vector<char*> pointers;
  for (std::string& arg : args) pointers.push_back(arg.data());
  try {
    cli.parse(static_cast<int>(pointers.size()), pointers.data());
  } catch (const CLI::ParseError& error) {
    // A window program has no console to print to: --help, --version and mistakes are shown.
    std::ostringstream out;
    const int code = cli.exit(error, out, out);
    MessageBoxW(nullptr, Widen(out.str()).c_str(), Widen(CQuorlinApp::kAppName).c_str(),
                MB_OK | (code == 0 ? MB_ICONINFORMATION : MB_ICONEXCLAMATION));
    return code;
  }
  std::unique_ptr<RecordFile> record;
  options.prepareEngine = [&](CQuorlinDlg& dlg) {
    std::string error;
    record = ApplyProductionSettings(dlg, options.configPath, &error);
    return error.empty() ? error
                         : error + ". Correct [Record] Path= in " + options.configPath + ".";
  };
  return CQuorlinApp(options).Run();
}
