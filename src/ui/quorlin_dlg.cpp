#include "quorlin_dlg.h"

#include <cstdio>

#include "image/profile.h"
#include "res/dialog_templates.h"
#include "res/resource_ids.h"
#include "serial/serial_port.h"
#include "ymodem/sender.h"

namespace {
constexpr char kNoneValue[] = "NONE";
}

CQuorlinDlg::CQuorlinDlg(ControlSurface& surface, CSerial& serial, Options options)
    : m_surface(surface), m_serial(serial), m_options(std::move(options)) {
  m_surface.SetTimerHandler([this](int id) { OnTimer(id); });
}

CQuorlinDlg::CQuorlinDlg(ControlSurface& surface) : CQuorlinDlg(surface, g_serial, Options{}) {}

CQuorlinDlg::~CQuorlinDlg() {
  Shutdown();
}

bool CQuorlinDlg::OnInitDialog() {
  m_serial.m_pfnReceive = &CQuorlinDlg::ReceiveHandler;
  m_serial.m_pfnPortLost = &CQuorlinDlg::PortLostHandler;
  // Kept for the failed open's port, which the channel does not name (RecordOpenFailure).
  m_serial.SetMessageHook([this](const std::string& text) { m_strChannelMessage.Set(text); });
  g_sender.progressCallback = &CQuorlinDlg::ProgressHandler;
  SetSenderIo(SenderIo{[this](const uint8_t* data, uint32_t length) {
                         return m_serial.WritePort(data, length) == 1;
                       },
                       {}});

  m_surface.Enable(ids::kUpdate, false);
  m_surface.Enable(ids::kAutoProgram, false);
  m_surface.Enable(ids::kSearchAgain, false);
  m_surface.Enable(ids::kDownload, false);
  m_surface.SetText(ids::kChargerLine, "No charger connected. ");
  char counts[96];
  std::snprintf(counts, sizeof counts, "===  %d succeeded === %d failed ===", m_nSucceeded.load(),
                m_nFailed.load());
  m_surface.SetText(ids::kCountLine, counts);
  m_surface.SetText(ids::kSessionLabel, "");
  m_surface.SetText(ids::kPercent, "");

  StartSearchThread();

  // A job's image, for good; the remembered one is neither read nor loaded over it.
  if (m_bImageLocked) {
    m_surface.SetText(ids::kMainDialog,
                      std::string(MainDialogTemplate().caption) + " - " + m_jobName);
    m_surface.Enable(ids::kOpen, false);
    const ImageLoadResult result = LoadImage(false);
    if (result.problem == ImageProblem::CannotOpen) m_surface.MessageBox(result.message);
  } else {
    LoadRememberedImage();
  }

  if (m_options.startSupervisor) {
    std::lock_guard lock(m_threadLock);
    try {
      m_hAutorunThread = std::thread(&CQuorlinDlg::SupervisorThread, this);
    } catch (const std::system_error&) {
      m_surface.MessageBox("Can't create the Autorun thread!");
    }
  }
  return true;
}

bool CQuorlinDlg::ConfirmClose() {
  if (!m_bProgramming && !g_sender.transferActive) return true;
  return m_surface.Ask("Programming is in progress. Stop it and close the window?");
}

void CQuorlinDlg::LoadRememberedImage() {
  // The remembered path is taken whole: cut to a fixed buffer it would name another file.
  std::string path = kNoneValue;
  if (!m_options.configPath.empty()) {
    std::string error;
    path = ReadProfileString(m_options.configPath, "File", "Path", kNoneValue, kWholeValue, &error);
    if (!error.empty()) m_surface.MessageBox(error);
  }
  // An empty path names no file; there is nothing to load and nothing to complain about.
  if (path != kNoneValue && !path.empty()) {
    m_strImagePath.Set(path);
    const ImageLoadResult result = LoadImage();
    if (result.problem == ImageProblem::CannotOpen) m_surface.MessageBox(result.message);
  } else {
    m_strImagePath.Clear();
  }
}

void CQuorlinDlg::Shutdown() {
  {
    std::lock_guard lock(m_threadLock);
    if (m_shutDown) return;
    m_shutDown = true;
  }
  // Order matters: release every worker that could be waiting for the window before
  // joining anything, then stop the producers of work before the consumers.
  m_stop.Stop();
  m_hProbeReplyEvent.Interrupt();
  m_surface.Detach();
  {
    std::lock_guard lock(m_threadLock);
    if (m_hSearchComThread.joinable()) m_hSearchComThread.join();
    if (m_hAutorunThread.joinable()) m_hAutorunThread.join();
  }
  // Before the port closes, or the charger would be left waiting in its loader.
  CancelSession("the updater was closed");
  g_sender.transferActive = 0;
  StopPump();
  m_serial.ClosePort();
  m_serial.m_pfnReceive = nullptr;
  m_serial.m_pfnPortLost = nullptr;
  m_serial.SetMessageHook(nullptr);
  g_sender.progressCallback = nullptr;
  ResetSenderIo();
}

std::optional<MenuReply> CQuorlinDlg::LastReply() const {
  std::lock_guard lock(m_replyMutex);
  return m_lastReply;
}

std::shared_ptr<const std::vector<uint8_t>> CQuorlinDlg::ImageData() const {
  std::lock_guard lock(m_imageMutex);
  return m_pImageData;
}
