#pragma once

#include <string>
#include <vector>

// The program: one modal main window driven by the engine; the process ends with it.
class CQuorlinApp {
 public:
  static constexpr const char* kAppName = "charger-updater";

  struct Options {
    bool serviceMode = false;
    std::vector<std::string> ports;  // empty: the system's serial ports
    std::string configPath = "config.ini";
  };

  explicit CQuorlinApp(Options options);
  // Runs the window to its end; 0.
  int Run();

 private:
  Options m_options;
};
