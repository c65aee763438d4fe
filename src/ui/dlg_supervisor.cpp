#include <cstdio>

#include "quorlin_dlg.h"
#include "res/resource_ids.h"
#include "ymodem/sender.h"

namespace {
constexpr int kCycleMs = 10;
constexpr int kStepMs = 100;
constexpr int kMissGrace = 3;
constexpr char kKeepCablePlugged[] = "Please do NOT plug out the cable.";
constexpr char kConnectNextCharger[] = "Disconnet the charger and connect new one.";
}  // namespace

void CQuorlinDlg::SupervisorThread(CQuorlinDlg* dlg) {
  while (!dlg->Closing()) dlg->SupervisorCycle();
}

void CQuorlinDlg::SupervisorCycle() {
  auto pause = [this](int steps) {
    for (int i = 0; i < steps; ++i)
      if (!m_stop.SleepFor(kStepMs)) return false;
    return true;
  };
  if (!m_stop.SleepFor(kCycleMs)) return;
  // The search owns the port while it runs, and clears the flag when it opens one.
  if (m_bPortLost && !m_bSearching && !m_bProgramming) ReleaseLostPort();
  if (m_bTransferring || m_bProgramming || m_bSearching) {
    if (pause(1)) UpdateStatusPanel();
    return;
  }
  if (ProbeKeepAlive(m_strPortName.Get())) {
    if (!pause(1)) return;
    if (m_bAutoProgram && !m_bUnitDone && !m_bFailed && m_strRefusal.Get().empty() &&
        AcceptsLastReply(m_strPortName.Get()))
      StartProgramming();
    if (m_bFailed) ++m_nMissCount;
    if (pause(2)) UpdateStatusPanel();
    return;
  }
  if (Closing()) return;
  if (m_bFailed) ++m_nMissCount;
  if (!m_bProgramming && (m_nMissCount == 0 || m_nMissCount > kMissGrace)) DisconnectReset();
  if (pause(2)) UpdateStatusPanel();
}

void CQuorlinDlg::DisconnectReset() {
  m_bRecognised = 0;
  m_bUnitDone = 0;
  m_bFailed = 0;
  m_nMissCount = 0;
  m_strRefusal.Clear();
  m_surface.SetText(ids::kChargerLine, "No charger connected.");
  m_surface.SetText(ids::kChargerSerial, "Serial number :                   - - / - -");
  m_surface.SetText(ids::kChargerVersion, "Firmware version :             - - / - - ");
  m_surface.SetProgressRange(0, 100);
  m_surface.SetProgressPos(0);
  m_nShownPercent = -1;
  m_strLog.Clear();
  m_surface.SetText(ids::kPercent, "");
  m_surface.SetText(ids::kLogEdit, "");
  m_surface.SetText(ids::kSessionLabel, "");
  m_surface.Enable(ids::kUpdate, false);
  NotifyState();
}

void CQuorlinDlg::UpdateStatusPanel() {
  char counts[96];
  std::snprintf(counts, sizeof counts, "===  %d succeeded ===  %d failed ===", m_nSucceeded.load(),
                m_nFailed.load());
  m_surface.SetText(ids::kCountLine, counts);

  const char* status = "Ready to update.";
  const char* hint = nullptr;
  std::string refused;
  if (!m_bRecognised) {
    status = "The updater is searching... ";
  } else if (!m_bImageLoaded) {
    status = "Charger connected. ";
  } else if (!m_bImageValid) {
    status = "Not valid file. ";
  } else if (const std::string refusal = m_strRefusal.Get(); !refusal.empty()) {
    // Only with a job's guard: the charger at hand is not one its image may go onto.
    status = "Charger refused. ";
    refused = refusal + ".";
  } else if (m_bFailed) {
    status = "Timed out, program failed. ";
  } else if (m_bProgramming) {
    status = m_bAutoProgram ? "Auto programming...  " : "Updating...  ";
    hint = kKeepCablePlugged;
  } else if (m_bUnitDone) {
    status = m_bAutoProgram ? "Auto program succeeded. " : "Update succeeded. ";
    hint = kConnectNextCharger;
  } else if (m_bAutoProgram) {
    status = "Auto programming... ";
  }
  m_surface.SetText(ids::kStatic, status);
  if (hint) m_surface.SetText(ids::kHintLine, hint);
  if (!refused.empty()) m_surface.SetText(ids::kHintLine, refused);
}

void CQuorlinDlg::ToggleAutoProgram() {
  if (!m_bImageLoaded) {
    m_surface.MessageBox("Please open the binary file first!");
    return;
  }
  if (!m_bAutoProgram) {
    // Every answering charger would be refused again on every cycle.
    if (m_nImageSize > kImageBufferSize) {
      m_surface.MessageBox(TooLargeForChargerText(m_strImageName.Get(), m_nImageSize) +
                           " Open a smaller image before enabling auto-programming.");
      return;
    }
    m_bAutoProgram = 1;
    m_surface.SetText(ids::kAutoProgram, "Disable AutoProgram");
    m_surface.Enable(ids::kUpdate, false);
    m_surface.Enable(ids::kSearchAgain, false);
    m_surface.Enable(ids::kOpen, false);
  } else {
    m_bAutoProgram = 0;
    m_surface.SetText(ids::kAutoProgram, "Enable AutoProgram");
    EnableUpdate(true);
    m_surface.Enable(ids::kSearchAgain, true);
    EnableOpen(true);
  }
}
