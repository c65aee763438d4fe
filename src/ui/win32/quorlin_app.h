#pragma once

#include <functional>
#include <string>
#include <vector>

class CQuorlinDlg;

// The program: one modal main window driven by the engine; the process ends with it.
class CQuorlinApp {
 public:
  static constexpr const char* kAppName = "charger-updater";

  struct Options {
    bool serviceMode = false;
    std::vector<std::string> ports;  // empty: the system's serial ports
    std::string configPath = "config.ini";
    // Runs before the search starts; a non-empty text is shown and the program ends with 2.
    std::function<std::string(CQuorlinDlg&)> prepareEngine;
  };

  explicit CQuorlinApp(Options options);
  // Runs the window to its end; 0, or 2 when prepareEngine refused.
  int Run();

 private:
  Options m_options;
};
