#include "res/resource_ids.h"
#include "serial/serial_port.h"
#include "ui/quorlin_dlg.h"

namespace {
constexpr uint8_t kExecuteCommand = '3';
constexpr uint8_t kProbeCommand = '0';
}  // namespace

bool CQuorlinDlg::OnCommand(int id) {
  switch (id) {
    case ids::kUpdate:
      StartProgramming();
      return true;
    case ids::kExecute:
      OnExecute();
      return true;
    case ids::kSetMbid:
      OnSetMBID();
      return true;
    case ids::kGetInfo:
      OnGetInfo();
      return true;
    case ids::kSearchAgain:
      OnSearchAgain();
      return true;
    case ids::kOpen:
      OnFileOpen();
      return true;
    case ids::kAutoProgram:
      ToggleAutoProgram();
      return true;
    case ids::kResetCounters:
      OnReset();
      return true;
    case ids::kDownload:
      OnDownload();
      return true;
    default:
      return false;
  }
}

bool CQuorlinDlg::OnSysCommand(unsigned nID) {
  if ((nID & 0xFFF0) != ids::kAboutCommand) return false;
  m_surface.ShowAbout();
  return true;
}

void CQuorlinDlg::OnExecute() {
  m_serial.WritePort(&kExecuteCommand, 1);
}
void CQuorlinDlg::OnSetMBID() {
  m_serial.WritePort(&kProbeCommand, 1);
}
void CQuorlinDlg::OnGetInfo() {
  m_serial.WritePort(&kProbeCommand, 1);
}

void CQuorlinDlg::OnReset() {
  m_nSucceeded = 0;
  m_nFailed = 0;
}

void CQuorlinDlg::OnDownload() {
  m_surface.MessageBox("Invalid wetside.", "Tip", MessageIcon::Stop);
}
