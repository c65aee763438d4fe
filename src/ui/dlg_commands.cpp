#include "quorlin_dlg.h"
#include "res/resource_ids.h"
#include "serial/serial_port.h"

namespace {
constexpr uint8_t kExecuteCommand = '3';
constexpr uint8_t kProbeCommand = '0';
}  // namespace

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
