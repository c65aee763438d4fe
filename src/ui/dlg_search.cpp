#include <algorithm>
#include <cerrno>
#include <system_error>

#include "charger/port_list.h"
#include "quorlin_dlg.h"
#include "res/resource_ids.h"
#include "serial/serial_port.h"

namespace {
constexpr uint8_t kProbeCommand = '0';
constexpr int kSearchReplyMs = 2000;
constexpr int kKeepAliveReplyMs = 1000;
constexpr size_t kPassTableSlots = 256;
constexpr int kMissesBeforeLabelReset = 5;
// A pass that could not open a single port costs nothing, so without a pause between such
// passes the search would spin on the port list; a pass that probed already took seconds.
constexpr int kPauseAfterProbingMs = 1;
constexpr int kPauseAfterIdlePassMs = 250;

PortProblem ClassifyOpenFailure(CSerial::OpenStep step, int error) {
  if (step == CSerial::OpenStep::Configure) return PortProblem::NotConfigurable;
  if (step == CSerial::OpenStep::Reader) return PortProblem::CannotOpen;
  switch (error) {
    case ENOENT:
    case ENXIO:
    case ENODEV:
      return PortProblem::Missing;
    case EBUSY:
      return PortProblem::Busy;
    case EACCES:
    case EPERM:
      return PortProblem::Denied;
    default:
      return PortProblem::CannotOpen;
  }
}
}  // namespace

std::vector<std::string> CQuorlinDlg::PortsToSearch() const {
  return m_options.ports.empty() ? ListSerialPorts() : m_options.ports;
}

void CQuorlinDlg::StartSearchThread() {
  std::lock_guard lock(m_threadLock);
  if (m_shutDown) return;
  // A finished search only clears the flag and leaves, so this join is short. The flag is
  // raised after it, so the old thread cannot take it for its own.
  if (m_hSearchComThread.joinable()) m_hSearchComThread.join();
  m_bSearching = 1;
  try {
    m_hSearchComThread = std::thread(&CQuorlinDlg::SearchComThread, this);
  } catch (const std::system_error&) {
    m_surface.MessageBox("Can't create the SearchCom thread!");
  }
}

void CQuorlinDlg::SearchComThread(CQuorlinDlg* dlg) {
  while (dlg->m_bSearching && !dlg->Closing()) {
    const int probed = dlg->SearchPorts();
    if (!dlg->m_stop.SleepFor(probed > 0 ? kPauseAfterProbingMs : kPauseAfterIdlePassMs)) break;
  }
}

// One pass over the port list. Returns how many ports were opened and probed.
int CQuorlinDlg::SearchPorts() {
  const std::vector<std::string> ports = PortsToSearch();
  int probed = 0;
  for (size_t slot = 0; slot < ports.size() && slot < kPassTableSlots; ++slot) {
    if (Closing()) break;
    const std::string& port = ports[slot];
    const int answered = ProbeOnSearch(port);
    if (m_serial.IsOpen()) ++probed;  // a failed open leaves the channel closed
    if (answered) {
      m_surface.AddComboItem(ids::kPortCombo, port);
      m_surface.SelectComboItem(ids::kPortCombo, 0);
      {
        // "Update" is live from the moment the probe answered; a session started in that
        // instant has reset everything itself and must not be torn down here.
        std::lock_guard session(m_sessionMutex);
        if (!m_bProgramming) ResetSession();
      }
      m_strPortName.Set(port);
      m_bSearching = 0;
      NotifyState();
      break;
    }
  }
  return probed;
}

int CQuorlinDlg::ProbeOnSearch(const std::string& port) {
  std::lock_guard probe(m_probeLock);
  if (Closing()) return 0;
  if (m_serial.IsOpen()) m_serial.ClosePort();
  if (!m_serial.OpenPort(port.c_str(), this)) {
    RecordOpenFailure(port);
    return 0;
  }
  RecordOpened(port);
  m_bPortLost = 0;  // a failure of the port closed above is no news about this one
  if (WaitForProbeReply(kSearchReplyMs)) {
    ForgetLoader(port);
    if (!AcceptsLastReply(port)) return 0;
    CheckGuard();
    if (!m_bUnitDone) {
      m_bRecognised = 1;
      NotifyState();
      if (m_bImageValid) {
        EnableUpdate(true);
        m_surface.Enable(ids::kAutoProgram, true);
      }
    }
    return 1;
  }
  if (Closing()) return 0;
  if (m_bLoaderAnswered) ReportLoader(port);
  if (++m_nSearchFailures >= kMissesBeforeLabelReset) {
    m_nSearchFailures = 0;
    m_surface.SetText(ids::kChargerLine, "No charger connected. ");
    m_surface.SetText(ids::kChargerSerial, "Serial number :                       - - / - -");
    m_surface.SetText(ids::kChargerVersion, "Firmware version :                   - - / - - ");
  }
  return 0;
}

int CQuorlinDlg::ProbeKeepAlive(const std::string& port) {
  std::lock_guard probe(m_probeLock);
  if (Closing()) return 0;
  // A recognised charger whose port is closed lost it (ReleaseLostPort): what answers there
  // now was plugged in anew.
  const bool replugged = m_bRecognised && !m_serial.IsOpen();
  if (!m_bRecognised || replugged) {
    if (m_serial.IsOpen()) m_serial.ClosePort();
    if (!m_serial.OpenPort(port.c_str(), this)) {
      RecordOpenFailure(port);
      return 0;
    }
    RecordOpened(port);
    m_bPortLost = 0;
  }
  if (!WaitForProbeReply(kKeepAliveReplyMs)) {
    if (m_bLoaderAnswered && !Closing()) ReportLoader(port);
    return 0;
  }
  ForgetLoader(port);
  CheckGuard();
  if (replugged) {
    m_bFailed = 0;
    m_nMissCount = 0;
  }
  if (!m_bRecognised) {
    m_bRecognised = 1;
    NotifyState();
    if (m_bImageValid) {
      if (!m_bAutoProgram) EnableUpdate(true);
      m_surface.Enable(ids::kAutoProgram, true);
    }
  }
  return 1;
}

// Sends the probe and waits for the menu, noting meanwhile whether a loader answered instead.
int CQuorlinDlg::WaitForProbeReply(int ms) {
  m_bLoaderAnswered = 0;
  m_bProbing = 1;
  m_serial.SetReplyGap(std::chrono::milliseconds(0));  // a menu reply must arrive whole
  m_serial.WritePort(&kProbeCommand, 1);
  const bool answered = m_hProbeReplyEvent.WaitFor(ms);
  m_bProbing = 0;
  return answered ? 1 : 0;
}

void CQuorlinDlg::ReportLoader(const std::string& port) {
  {
    std::lock_guard lock(m_portsMutex);
    if (std::find(m_loaderPorts.begin(), m_loaderPorts.end(), port) != m_loaderPorts.end()) return;
    m_loaderPorts.push_back(port);
  }
  if (m_loaderListener) m_loaderListener(port);
}

void CQuorlinDlg::ForgetLoader(const std::string& port) {
  std::lock_guard lock(m_portsMutex);
  m_loaderPorts.erase(std::remove(m_loaderPorts.begin(), m_loaderPorts.end(), port),
                      m_loaderPorts.end());
}

std::vector<UnsearchedPort> CQuorlinDlg::UnsearchedPorts() const {
  std::lock_guard lock(m_portsMutex);
  return m_unsearched;
}

// A port that fails is skipped on every pass; its reason is kept so the operator can be told
// what to do about it, once per port until it opens again: a search passes every few seconds.
void CQuorlinDlg::RecordOpenFailure(const std::string& port) {
  const int error = m_serial.LastOpenError();
  const PortProblem problem = ClassifyOpenFailure(m_serial.LastOpenStep(), error);
  const std::string channelText = m_strChannelMessage.Get();
  m_strChannelMessage.Clear();
  std::string message;
  if (problem == PortProblem::Denied)
    message = "Cannot open " + port + ": permission denied. " + kDialoutHint;
  else if (!channelText.empty())
    message = channelText + "\n" + PortFailureLine(port, problem, error);
  bool changed = true;
  bool tell = false;
  {
    std::lock_guard lock(m_portsMutex);
    auto known = std::find_if(m_unsearched.begin(), m_unsearched.end(),
                              [&](const UnsearchedPort& p) { return p.port == port; });
    if (known == m_unsearched.end()) {
      m_unsearched.push_back({port, problem, error});
    } else {
      changed = known->problem != problem;
      *known = {port, problem, error};
    }
    if (!message.empty() &&
        std::find(m_toldPorts.begin(), m_toldPorts.end(), port) == m_toldPorts.end()) {
      m_toldPorts.push_back(port);
      tell = true;
    }
  }
  if (changed) NotifyState();
  if (tell && m_options.portFailureBoxes) m_surface.MessageBox(message);
}

// The channel's own text is Chinese and names no port; this line says which port and why.
std::string CQuorlinDlg::PortFailureLine(const std::string& port, PortProblem problem, int error) {
  const std::string reason = std::error_code(error, std::generic_category()).message();
  if (problem == PortProblem::NotConfigurable)
    return "The port " + port + " could not be set to 115200 baud 8N1 (" + reason + ").";
  return "The port " + port + " could not be opened (" + reason + ").";
}

void CQuorlinDlg::RecordOpened(const std::string& port) {
  m_strChannelMessage.Clear();
  std::lock_guard lock(m_portsMutex);
  std::erase_if(m_unsearched, [&](const UnsearchedPort& p) { return p.port == port; });
  std::erase(m_toldPorts, port);
}

// Every answer is asked about: another charger may have been plugged in on the same port.
bool CQuorlinDlg::CheckGuard() {
  if (!m_chargerGuard) return false;
  const auto reply = LastReply();
  const std::string refusal = reply ? m_chargerGuard(*reply) : std::string();
  if (refusal == m_strRefusal.Get()) return !refusal.empty();
  m_strRefusal.Set(refusal);
  if (!refusal.empty())
    m_surface.Enable(ids::kUpdate, false);
  else if (m_bRecognised && m_bImageValid && !m_bAutoProgram && !m_bProgramming)
    m_surface.Enable(ids::kUpdate, true);
  NotifyState();
  return !refusal.empty();
}

void CQuorlinDlg::EnableUpdate(bool enable) {
  m_surface.Enable(ids::kUpdate, enable && m_strRefusal.Get().empty());
}

void CQuorlinDlg::EnableOpen(bool enable) {
  m_surface.Enable(ids::kOpen, enable && !m_bImageLocked);
}

bool CQuorlinDlg::AcceptsLastReply(const std::string& port) const {
  if (!m_acceptCharger) return true;
  const auto reply = LastReply();
  return reply && m_acceptCharger(port, *reply);
}

void CQuorlinDlg::OnSearchAgain() {
  m_bUnitDone = 0;
  m_bFailed = 0;
  m_bRecognised = 0;
  m_surface.SetText(ids::kChargerLine, "Reseraching... ");
  if (m_bSearching == 0) StartSearchThread();
}
