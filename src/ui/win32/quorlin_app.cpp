#include "ui/win32/quorlin_app.h"

#include <windows.h>

#include <utility>

#include "res/win32_text.h"
#include "serial/serial_port.h"
#include "ui/quorlin_dlg.h"
#include "ui/win32/quorlin_window.h"

CQuorlinApp::CQuorlinApp(Options options) : m_options(std::move(options)) {}

int CQuorlinApp::Run() {
  QuorlinWin32Window window(m_options.serviceMode);
  CQuorlinDlg::Options engineOptions;
  engineOptions.configPath = m_options.configPath;
  engineOptions.ports = m_options.ports;
  CQuorlinDlg dlg(window, g_serial, std::move(engineOptions));
  window.SetEngine(&dlg);
  if (m_options.prepareEngine) {
    const std::string problem = m_options.prepareEngine(dlg);
    if (!problem.empty()) {
      MessageBoxW(nullptr, Widen(problem).c_str(), Widen(kAppName).c_str(),
                  MB_OK | MB_ICONEXCLAMATION);
      dlg.Shutdown();
      window.SetEngine(nullptr);
      return 2;
    }
  }
  window.RunModal([&dlg] { dlg.OnInitDialog(); });
  dlg.Shutdown();
  window.SetEngine(nullptr);
  return 0;
}
