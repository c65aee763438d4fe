#include "ui/quorlin_app.h"

#include <windows.h>

#include "platform/exit_status.h"
#include "platform/win32_text.h"
#include "ui/quorlin_dlg.h"
#include "ui/win32/quorlin_window.h"

int CQuorlinApp::Run(int&, char**) {
  QuorlinWin32Window window(m_options.serviceMode);
  return RunEngine(
      window, [&window](CQuorlinDlg* dlg) { window.SetEngine(dlg); },
      [&window](CQuorlinDlg& dlg) {
        window.RunModal([&dlg] { dlg.OnInitDialog(); });
        return kExitOk;
      });
}

// A window program has no console to print to.
void CQuorlinApp::ShowUsage(const std::string& text, bool mistake) {
  MessageBoxW(nullptr, Widen(text).c_str(), Widen(kAppName).c_str(),
              MB_OK | (mistake ? MB_ICONEXCLAMATION : MB_ICONINFORMATION));
}

void CQuorlinApp::ShowProblem(const std::string& text) {
  ShowUsage(text, true);
}
