#include "charger/menu_reply.h"
#include "quorlin_dlg.h"
#include "res/resource_ids.h"
#include "ymodem/sender.h"

namespace {
constexpr size_t kLogLimit = 2000;
}

void CQuorlinDlg::ReceiveHandler(void* owner, const uint8_t* data, uint32_t count) {
  auto* dlg = static_cast<CQuorlinDlg*>(owner);
  if (g_sender.transferActive) {
    for (uint32_t i = 0; i < count; ++i) PostRxByte(data[i]);
  }

  const std::string_view text = ChunkText(data, count);
  if (dlg->m_bProbing && !g_sender.transferActive && IsLoaderAnswer(data, count))
    dlg->m_bLoaderAnswered = 1;
  ControlSurface& surface = dlg->m_surface;
  if (IsMenuReply(text)) {
    MenuReply reply = ParseMenuReply(text);
    surface.SetText(ids::kChargerLine, reply.identification + "  connected.");
    surface.SetText(ids::kChargerSerial,
                    reply.serial ? "Serial number :       " + *reply.serial
                                 : "Serial number :       N/A, please see bottom label on the "
                                   "charger.");
    const std::string versionText = reply.version
                                        ? "Firmware version :  " + *reply.version
                                        : "Firmware version : N/A, can't read from the charger.";
    {
      std::lock_guard lock(dlg->m_replyMutex);
      dlg->m_lastReply = std::move(reply);
    }
    dlg->m_hProbeReplyEvent.Set();
    surface.SetText(ids::kChargerVersion, versionText);
  }

  if (dlg->m_bEchoLog == 1) {
    const std::string log = dlg->m_strLog.Append(text);
    surface.SetText(ids::kLogEdit, log);
    surface.ScrollToEnd(ids::kLogEdit);
    dlg->m_strLog.ClearIfLongerThan(kLogLimit);
  }
}
