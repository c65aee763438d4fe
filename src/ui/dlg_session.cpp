#include <chrono>
#include <cstdio>

#include "quorlin_dlg.h"
#include "res/resource_ids.h"
#include "serial/serial_port.h"
#include "ymodem/sender.h"

namespace {
constexpr uint8_t kStartDownloadCommand = '1';
// Well above a byte's time on the line, well below the sender's 80 ms pause.
constexpr auto kFastReplyGap = std::chrono::milliseconds(2);

std::string PercentText(int32_t percent) {
  char text[16];
  std::snprintf(text, sizeof text, "%d%%", percent);
  return text;
}
}  // namespace

void CQuorlinDlg::StartProgramming() {
  if (!m_bImageLoaded) {
    m_surface.MessageBox("Please open the binary file first!");
    return;
  }
  if (m_bProgramming) return;
  // The status area says why; "Update" is off for it, and this is the last word.
  if (!m_strRefusal.Get().empty()) return;
  // One snapshot: a load meanwhile cannot pair one file's size with another's bytes.
  const auto image = ImageData();
  const std::string name = m_strImageName.Get();
  const auto size = static_cast<uint32_t>(image ? image->size() : 0);
  // The charger's buffer holds no more; refusing here means not one byte reaches it.
  if (size > kImageBufferSize) {
    m_surface.MessageBox(TooLargeForChargerText(name, size) +
                         " Nothing was sent to the charger; open a smaller image.");
    return;
  }
  // A port being adopted resets the sender; a session must not start in the middle of that.
  // try_lock: the GUI thread never waits for the search, which may be waiting for the GUI.
  std::unique_lock session(m_sessionMutex, std::try_to_lock);
  if (!session.owns_lock() || Closing()) return;
  if (m_bProgramming.exchange(1)) return;  // the GUI and the supervisor may race here

  m_surface.Enable(ids::kAutoProgram, false);
  m_surface.Enable(ids::kSearchAgain, false);
  m_surface.Enable(ids::kOpen, false);
  m_bUnitDone = 0;
  m_surface.SetProgressRange(0, 100);
  m_surface.SetProgressPos(0);
  m_strLog.Clear();
  m_surface.SetText(ids::kPercent, "");
  ResetSession();
  // A window closed meanwhile must not leave the charger waiting in its loader.
  if (Closing()) {
    m_bProgramming = 0;
    return;
  }

  m_strSessionPort.Set(m_strPortName.Get());
  m_nSessionImageSize = size;
  m_sessionStartMs = std::chrono::duration_cast<std::chrono::milliseconds>(
                         std::chrono::steady_clock::now().time_since_epoch())
                         .count();
  m_bSessionOpen = 1;
  m_serial.WritePort(&kStartDownloadCommand, 1);
  if (m_bFastReplies) m_serial.SetReplyGap(kFastReplyGap);
  g_sender.transferActive = 1;
  m_surface.SetText(ids::kSessionLabel, "Programming...");
  PrepareTransfer(name.c_str(), image ? image->data() : nullptr, size);
  if (!StartPump()) m_surface.MessageBox("Can't create the xyrequest thread!");
  m_surface.SetTimer(ids::kWatchdogTimer, m_options.watchdogMs);
}

void CQuorlinDlg::ResetSession() {
  g_sender.transferActive = 0;
  m_serial.SetReplyGap(std::chrono::milliseconds(0));  // probes need whole menu replies
  // The old pump may be waiting for the window to show its progress; keep serving the
  // window while it winds down.
  m_surface.ServeWhile([] { StopPump(); });
  m_bTransferring = 0;
  ResetSender(this);
  m_nShownPercent = -1;
  m_surface.SetProgressRange(0, 100);
  m_surface.SetProgressPos(0);
  m_strLog.Clear();
  m_surface.SetText(ids::kPercent, "");
  m_surface.SetText(ids::kLogEdit, "");
  m_bEchoLog = 1;
}

// The sender reports every data byte, with one value per block; only changes are worth a
// trip to the window.
void CQuorlinDlg::ShowProgress(int32_t percent) {
  if (m_nShownPercent.exchange(percent) == percent) return;
  m_surface.SetProgressPos(percent);
  m_surface.SetText(ids::kPercent, PercentText(percent));
}

void CQuorlinDlg::ProgressHandler(void* owner, int32_t percent) {
  auto* dlg = static_cast<CQuorlinDlg*>(owner);
  dlg->ShowProgress(percent);
  if (percent < 100) {
    if (!dlg->m_bTransferring) {
      dlg->m_surface.SetText(ids::kSessionLabel, "Programming...");
      dlg->m_bTransferring = 1;
    }
    return;
  }
  dlg->m_bSessionOpen = 0;
  dlg->m_surface.SetText(ids::kSessionLabel, "Program succeeded.");
  ++dlg->m_nSucceeded;
  dlg->m_bTransferring = 0;
  dlg->m_bUnitDone = 1;
  dlg->ReportSessionEnd(SessionEnd::Result::Succeeded, "");
  dlg->m_bProgramming = 0;
  if (!dlg->m_bAutoProgram) {
    dlg->m_surface.Enable(ids::kSearchAgain, true);
    dlg->EnableOpen(true);
  }
  dlg->m_surface.Enable(ids::kAutoProgram, true);
  dlg->m_surface.KillTimer(ids::kWatchdogTimer);
  dlg->m_serial.SetReplyGap(std::chrono::milliseconds(0));
  dlg->NotifyState();
}
