#include "ui/quorlin_app.h"

#include <utility>

#include "platform/exit_status.h"
#include "serial/serial_port.h"
#include "ui/quorlin_dlg.h"

CQuorlinApp::CQuorlinApp(Options options) : m_options(std::move(options)) {}

int CQuorlinApp::RunEngine(ControlSurface& window, const std::function<void(CQuorlinDlg*)>& attach,
                           const std::function<int(CQuorlinDlg&)>& runModal) {
  CQuorlinDlg::Options engineOptions;
  engineOptions.configPath = m_options.configPath;
  engineOptions.ports = m_options.ports;
  CQuorlinDlg dlg(window, g_serial, std::move(engineOptions));
  attach(&dlg);
  const std::string problem = m_options.prepareEngine ? m_options.prepareEngine(dlg) : "";
  int status = kExitUsage;
  if (problem.empty())
    status = runModal(dlg);
  else
    ShowProblem(problem);
  dlg.Shutdown();
  attach(nullptr);
  return status;
}
