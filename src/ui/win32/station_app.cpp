#include "station/station_app.h"

#include <windows.h>

#include "platform/exit_status.h"
#include "platform/win32_text.h"
#include "ui/win32/station_window.h"

int RunStationWindow(int&, char**, Station::Options options, const StationWindowOptions&) {
  std::string problem;
  int status = kExitOk;
  std::unique_ptr<Station> station = Station::Open(std::move(options), &problem, &status);
  if (!station) {
    // A window program has no console to print to.
    MessageBoxW(nullptr, Widen(problem).c_str(), L"charger-updater", MB_OK | MB_ICONEXCLAMATION);
    return status;
  }
  StationWin32Window window(*station);
  if (!window.Create(true)) {
    MessageBoxW(
        nullptr,
        Widen("The station window could not be created: " + WindowsErrorText(GetLastError()))
            .c_str(),
        L"charger-updater", MB_OK | MB_ICONEXCLAMATION);
    return kExitProgramFailed;
  }
  if (station->StartsAtOnce()) station->Start();
  window.RunMessageLoop();
  return kExitOk;
}
