#pragma once

#include <functional>
#include <string>
#include <vector>

class ControlSurface;
class CQuorlinDlg;

// The program: one modal main window driven by the engine; the process ends with it. Run and
// the two Show functions belong to the platform's window (ui/qt, ui/win32).
class CQuorlinApp {
 public:
  static constexpr const char* kAppName = "charger-updater";

  struct Options {
    bool serviceMode = false;
    std::vector<std::string> ports;  // empty: the system's serial ports
    std::string configPath = "config.ini";
    // When set: save the window as PNG this long after it opens, then close it.
    std::string screenshotPath;
    int screenshotAfterMs = 2000;
    // Runs before the search starts; a non-empty text is shown and the program ends with 2.
    std::function<std::string(CQuorlinDlg&)> prepareEngine;
  };

  explicit CQuorlinApp(Options options);

  // Runs the window to its end. `argc`/`argv` go to the toolkit and must outlive the call.
  // 0; 1 when a requested screenshot could not be saved; 2 when prepareEngine refused.
  int Run(int& argc, char** argv);

  // The command line's help, version or mistake, where the user will see it.
  static void ShowUsage(const std::string& text, bool mistake);
  // A problem that keeps the window from opening.
  static void ShowProblem(const std::string& text);

 private:
  // The engine on `window` from its start-up to its shutdown. `attach` hands the engine to the
  // window (nullptr once it is shut down); `runModal` starts it and runs the window to its end,
  // giving the program's exit status.
  int RunEngine(ControlSurface& window, const std::function<void(CQuorlinDlg*)>& attach,
                const std::function<int(CQuorlinDlg&)>& runModal);

  Options m_options;
};
