#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "charger/menu_reply.h"
#include "charger/reply_event.h"
#include "control_surface.h"
#include "guarded.h"
#include "stop_signal.h"

class CSerial;

// Why a load did not give a usable image, for faces that report it in words.
enum class ImageProblem { None, CannotOpen, Empty, BadName, TooLarge, TooLargeForCharger };

struct ImageLoadResult {
  ImageProblem problem = ImageProblem::None;
  std::string message;  // names the file and the reason; empty when None
};

// The updater's engine: the main window's state, its handlers, the charger search and
// probes, the programming sessions and the supervisor. It reaches its window only through
// a ControlSurface, and never prints or shows anything by itself.
class CQuorlinDlg {
 public:
  struct Options {
    std::string configPath = "config.ini";  // empty: the last image is neither read nor kept
    std::vector<std::string> ports;         // empty: the system's list, read for every pass
    int watchdogMs = 35000;
    bool startSupervisor = true;
  };

  CQuorlinDlg(ControlSurface& surface, CSerial& serial, Options options);
  explicit CQuorlinDlg(ControlSurface& surface);
  ~CQuorlinDlg();
  CQuorlinDlg(const CQuorlinDlg&) = delete;
  CQuorlinDlg& operator=(const CQuorlinDlg&) = delete;

  // Start-up once the window's controls exist (GUI thread). Always true.
  bool OnInitDialog();
  // Stops and joins every worker and closes the port. GUI thread; idempotent. After it,
  // no thread touches the surface.
  void Shutdown();

  // Message map (GUI thread). OnCommand: a button's click; true when the ID has a handler.
  bool OnCommand(int id);
  bool OnSysCommand(unsigned nID);  // true when handled here (the About box)
  void OnTimer(int id);
  void StartProgramming();  // "Update"; also the supervisor in auto-program mode
  void OnExecute();
  void OnSetMBID();
  void OnGetInfo();
  void OnSearchAgain();
  void OnFileOpen();
  void ToggleAutoProgram();
  void OnReset();
  void OnDownload();

  // Image.
  ImageLoadResult LoadImage();

  // Charger link.
  static void ReceiveHandler(void* owner, const uint8_t* data, uint32_t count);
  int ProbeOnSearch(const std::string& port);
  int ProbeKeepAlive(const std::string& port);
  int SearchPorts();
  void StartSearchThread();

  // Sessions.
  void ResetSession();
  static void ProgressHandler(void* owner, int32_t percent);

  // Supervisor.
  void SupervisorCycle();
  void UpdateStatusPanel();
  void DisconnectReset();

  // Called (on any thread) after a port is adopted, a session ends, or a charger is found
  // or lost. Set before OnInitDialog; for faces that wait on the engine's state.
  void SetStateListener(std::function<void()> listener) { m_stateListener = std::move(listener); }

  // The last menu reply parsed, for faces that show it in their own words.
  std::optional<MenuReply> LastReply() const;
  std::vector<std::string> PortsToSearch() const;
  ControlSurface& Surface() { return m_surface; }

  // Flags (0/1) and counters, shared by every thread.
  std::atomic<int> m_bRecognised{0};
  std::atomic<int> m_bImageLoaded{0};
  std::atomic<int> m_bImageValid{0};
  std::atomic<int> m_bUnitDone{0};
  std::atomic<int> m_bProgramming{0};
  std::atomic<int> m_bFailed{0};
  std::atomic<int> m_bTransferring{0};
  std::atomic<int> m_bSearching{0};
  std::atomic<int> m_bEchoLog{0};
  std::atomic<int> m_bAutoProgram{0};
  std::atomic<int32_t> m_nSucceeded{0};
  std::atomic<int32_t> m_nFailed{0};
  std::atomic<int32_t> m_nMissCount{0};
  std::atomic<int32_t> m_nSearchFailures{0};

  GuardedString m_strImagePath;
  GuardedString m_strImageName;
  GuardedString m_strPortName;
  GuardedString m_strLog;

  // The loaded image; a load swaps in a new buffer, a session keeps the one it started with.
  std::shared_ptr<const std::vector<uint8_t>> ImageData() const;
  std::atomic<uint32_t> m_nImageSize{0};

  AutoResetEvent m_hProbeReplyEvent;

 private:
  static void SearchComThread(CQuorlinDlg* dlg);
  static void SupervisorThread(CQuorlinDlg* dlg);
  static void PumpThreadFailed(CQuorlinDlg* dlg);
  void ShowProgress(int32_t percent);
  static std::string TooLargeForChargerText(const std::string& image, uint32_t size);
  void ReportUnopenablePort(const std::string& port);
  bool Closing() const { return m_stop.Stopped(); }
  void NotifyState() const {
    if (m_stateListener) m_stateListener();
  }

  ControlSurface& m_surface;
  CSerial& m_serial;
  Options m_options;

  mutable std::mutex m_imageMutex;
  std::shared_ptr<const std::vector<uint8_t>> m_pImageData;

  mutable std::mutex m_replyMutex;
  std::optional<MenuReply> m_lastReply;

  std::mutex m_probeLock;     // two probes never overlap
  std::mutex m_sessionMutex;  // a session start and a port adoption never overlap
  std::mutex m_threadLock;    // guards the thread objects below
  std::thread m_hSearchComThread;
  std::thread m_hAutorunThread;
  StopSignal m_stop;
  std::atomic<int32_t> m_nShownPercent{-1};
  std::mutex m_deniedMutex;
  std::vector<std::string> m_deniedPorts;  // ports already reported as not permitted
  bool m_shutDown = false;
  std::function<void()> m_stateListener;
};
