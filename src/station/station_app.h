#pragma once

#include <string>

#include "station/station.h"

// The station's window, run to its end by the platform's window (ui/qt, ui/win32).
struct StationWindowOptions {
  // When set: save the window as PNG this long after it opens, then close it.
  std::string screenshotPath;
  int screenshotAfterMs = 2000;
};

// Opens the station and runs its window; what keeps it from opening is shown to the operator.
// `argc`/`argv` go to the toolkit and must outlive the call. The program's exit status: 0, 1
// when a requested screenshot could not be saved, or Station::Open's status.
int RunStationWindow(int& argc, char** argv, Station::Options options,
                     const StationWindowOptions& window);
