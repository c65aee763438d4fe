#include <algorithm>
#include <chrono>
#include <cstdio>
#include <system_error>

#include "quorlin_dlg.h"
#include "res/resource_ids.h"
#include "serial/serial_port.h"
#include "ymodem/sender.h"

namespace {
int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}
}  // namespace

// How far the transfer got, in the words every failure reason uses.
std::string CQuorlinDlg::Progress() const {
  const uint32_t size = m_nSessionImageSize;
  const uint32_t sent = std::min(g_sender.sentOffset.load(), size);
  return "after " + std::to_string(sent) + " of " + std::to_string(size) + " bytes";
}

void CQuorlinDlg::ReportSessionEnd(SessionEnd::Result result, const std::string& reason) const {
  if (!m_sessionEndListener) return;
  SessionEnd end;
  end.result = result;
  end.port = m_strSessionPort.Get();
  end.reason = reason;
  end.imageSize = m_nSessionImageSize;
  end.bytesSent = result == SessionEnd::Result::Succeeded
                      ? end.imageSize
                      : std::min(g_sender.sentOffset.load(), end.imageSize);
  end.duration = std::chrono::milliseconds(NowMs() - m_sessionStartMs);
  m_sessionEndListener(end);
}

bool CQuorlinDlg::EndSessionFailed(SessionEnd::Result result, const std::string& reason,
                                   bool markFailed) {
  // The watchdog, the reader and the GUI may all try to end one session; it ends once.
  if (!m_bSessionOpen.exchange(0)) return false;
  m_surface.SetText(ids::kSessionLabel, "Program failed.");
  ++m_nFailed;
  m_bTransferring = 0;
  if (markFailed) m_bFailed = 1;
  m_surface.KillTimer(ids::kWatchdogTimer);
  if (!m_bAutoProgram) {
    m_surface.Enable(ids::kAutoProgram, true);
    m_surface.Enable(ids::kSearchAgain, true);
    EnableOpen(true);
  }
  ReportSessionEnd(result, reason);
  m_bProgramming = 0;
  NotifyState();
  return true;
}

void CQuorlinDlg::OnTimer(int /*id*/) {
  char seconds[32];
  std::snprintf(seconds, sizeof seconds, "%g s", m_options.watchdogMs / 1000.0);
  // The transfer goes on: a charger slower than the watchdog still gets its image.
  if (!EndSessionFailed(SessionEnd::Result::Failed,
                        "timed out: the charger on " + m_strSessionPort.Get() +
                            " did not finish within " + seconds + " (" + Progress() + ")",
                        true))
    m_surface.KillTimer(ids::kWatchdogTimer);
}

void CQuorlinDlg::PortLostHandler(void* owner, int error) {
  auto* dlg = static_cast<CQuorlinDlg*>(owner);
  dlg->m_bPortLost = 1;
  if (dlg->m_bSessionOpen) {
    // Nothing more can come from a failed port; the pump is left idle until the next session.
    g_sender.transferActive = 0;
    dlg->EndSessionFailed(SessionEnd::Result::Failed,
                          "lost the charger: port " + dlg->m_strSessionPort.Get() + " failed " +
                              dlg->Progress() + " (" +
                              std::error_code(error, std::generic_category()).message() + ")",
                          true);
  }
  dlg->NotifyState();
}

// The supervisor's part of a port failure: the dead channel goes, and the next keep-alive
// opens the port afresh, finding the charger when it is plugged in again. Until then the
// failure's status stands, as after the watchdog.
void CQuorlinDlg::ReleaseLostPort() {
  std::lock_guard probe(m_probeLock);
  if (!m_bPortLost.exchange(0)) return;
  m_serial.ClosePort();
  m_bUnitDone = 0;
}

void CQuorlinDlg::CancelSession(const std::string& reason) {
  if (!m_bProgramming && !g_sender.transferActive) return;
  g_sender.transferActive = 0;
  // No block may follow the cancel.
  m_surface.ServeWhile([] { StopPump(); });
  SendCancel();
  EndSessionFailed(
      SessionEnd::Result::Cancelled,
      "programming on " + m_strSessionPort.Get() + " cancelled " + Progress() + ": " + reason,
      true);
}

void CQuorlinDlg::EmergencyRelease() {
  const bool inFlight = m_bProgramming || g_sender.transferActive;
  g_sender.transferActive = 0;
  g_sender.pumpRun = 0;  // the pump stops after its current byte; nobody waits for it
  if (inFlight)
    m_serial.EmergencyRelease(kCancelSequence, sizeof kCancelSequence);
  else
    m_serial.EmergencyRelease(nullptr, 0);
}
