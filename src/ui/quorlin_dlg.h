#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "charger/menu_reply.h"
#include "control_surface.h"
#include "guarded.h"
#include "platform/auto_reset_event.h"
#include "session_end.h"
#include "ui/shutdown_latch.h"

class CSerial;

// Why a load did not give a usable image, for faces that report it in words.
enum class ImageProblem { None, CannotOpen, Empty, BadName, TooLarge, TooLargeForCharger };

struct ImageLoadResult {
  ImageProblem problem = ImageProblem::None;
  std::string message;  // names the file and the reason; empty when None
};

// Why a port could not be searched, for faces that explain it in their own words.
enum class PortProblem { Missing, Busy, Denied, NotConfigurable, CannotOpen };

inline constexpr char kDialoutHint[] =
    "Add your user to the 'dialout' group (sudo usermod -aG dialout $USER), then log out and "
    "in again.";

struct UnsearchedPort {
  std::string port;
  PortProblem problem = PortProblem::CannotOpen;
  int error = 0;  // the OS's reason (errno)
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
    // The window tells in a message box, once per port until it opens again, why a port
    // could not be used; a face that reports UnsearchedPorts() in its own words turns them off.
    bool portFailureBoxes = true;
  };

  CQuorlinDlg(ControlSurface& surface, CSerial& serial, Options options);
  explicit CQuorlinDlg(ControlSurface& surface);
  ~CQuorlinDlg();
  CQuorlinDlg(const CQuorlinDlg&) = delete;
  CQuorlinDlg& operator=(const CQuorlinDlg&) = delete;

  // quorlin_dlg.cpp: start-up and shutdown.
  // Start-up once the window's controls exist (GUI thread). Always true.
  bool OnInitDialog();
  // Whether the window may close now: while a transfer is in flight the operator is asked
  // first, since stopping it leaves the charger half programmed. GUI thread.
  bool ConfirmClose();
  // Stops and joins every worker and closes the port; a transfer still in flight is cancelled
  // first (CancelSession). GUI thread; idempotent. After it, no thread touches the surface.
  void Shutdown();

  // extras/dlg_commands.cpp: the message map and the auxiliary commands (GUI thread).
  // OnCommand: a button's click; true when the ID has a handler.
  bool OnCommand(int id);
  bool OnSysCommand(unsigned nID);  // true when handled here (the About box)
  void OnExecute();
  void OnSetMBID();
  void OnGetInfo();
  void OnReset();
  void OnDownload();

  // dlg_image.cpp: the firmware image.
  void OnFileOpen();
  // `remember`: the path goes into config.ini as the image to load at the next start.
  ImageLoadResult LoadImage(bool remember = true);
  // The image rules alone, for a file of `size` bytes read from `path`: None, Empty, BadName,
  // TooLarge or TooLargeForCharger, with the message a face shows.
  static ImageLoadResult JudgeImage(const std::string& path, uint32_t size);

  // dlg_receive.cpp and dlg_search.cpp: the charger link.
  static void ReceiveHandler(void* owner, const uint8_t* data, uint32_t count);
  int ProbeOnSearch(const std::string& port);
  int ProbeKeepAlive(const std::string& port);
  int SearchPorts();
  void StartSearchThread();
  void OnSearchAgain();

  // dlg_session.cpp: programming sessions.
  void StartProgramming();  // "Update"; also the supervisor in auto-program mode
  void ResetSession();
  static void ProgressHandler(void* owner, int32_t percent);

  // dlg_session_end.cpp: how sessions end.
  void OnTimer(int id);
  static void PortLostHandler(void* owner, int error);
  // When a transfer is in flight: stops it, sends the charger the transfer's cancel so it
  // leaves its loader, and ends the session as Cancelled (a failure, with `reason`). GUI
  // thread. Nothing happens when no transfer is in flight.
  void CancelSession(const std::string& reason);
  // For a process that must exit at once (any thread, even while others hold the engine):
  // cancels a transfer in flight and lets the port go with its settings restored, without
  // waiting for any worker.
  void EmergencyRelease();

  // dlg_supervisor.cpp: the supervisor, auto-program mode and the status panel.
  void ToggleAutoProgram();
  void SupervisorCycle();
  void UpdateStatusPanel();
  void DisconnectReset();

  // Called (on any thread) after a port is adopted, a session ends, a menu reply is parsed,
  // or a charger is found or lost. Set before OnInitDialog; for faces that wait on the engine's
  // state.
  void SetStateListener(std::function<void()> listener) { m_stateListener = std::move(listener); }
  // Called once for every session end that the counters count (success, watchdog, port
  // failure, cancel), on the thread that ends it, after the counters moved. A charger slower
  // than the watchdog ends its session twice, as it is counted: failed, then succeeded.
  // Set before the first session starts.
  void SetSessionEndListener(std::function<void(const SessionEnd&)> listener) {
    m_sessionEndListener = std::move(listener);
  }
  // Called on the probing thread when a probe is answered by a charger's loader ('C' or NAK)
  // instead of its menu: an update was cut off and the charger waits for an image. Once per
  // port until it answers with its menu again. Set before OnInitDialog.
  void SetLoaderListener(std::function<void(const std::string& port)> listener) {
    m_loaderListener = std::move(listener);
  }

  // Which answering chargers may be adopted and programmed; the others are only probed.
  // Empty: all. Called on the search and supervisor threads. Set before OnInitDialog.
  void SetChargerFilter(std::function<bool(const std::string& port, const MenuReply&)> accept) {
    m_acceptCharger = std::move(accept);
  }
  // A job's hold on the window. `guard` says why an answering charger must not be programmed
  // (empty when it may); such a charger is shown with the reason in the status area, and
  // neither "Update" nor auto-programming reaches it. Set before OnInitDialog.
  void SetChargerGuard(std::function<std::string(const MenuReply&)> guard) {
    m_chargerGuard = std::move(guard);
  }
  // A job's image and name, taken up by OnInitDialog: `path` is loaded there instead of the
  // remembered image and stays (it is not remembered; "Open..." stays disabled), and `name`
  // goes into the window's caption. Before OnInitDialog.
  void RunJob(const std::string& name, const std::string& path);
  bool ImageLocked() const { return m_bImageLocked != 0; }
  // Why the charger at hand is refused by the guard; empty when it is not.
  std::string ChargerRefusal() const { return m_strRefusal.Get(); }
  // Asks the guard about the charger that answered last, as every probe does; true when it
  // refuses it.
  bool CheckGuard();

  // During a transfer, replies go to the sender once the line is briefly quiet instead of
  // after the whole read window.
  void SetFastReplies(bool fast) { m_bFastReplies = fast; }
  bool FastReplies() const { return m_bFastReplies; }

  // The last menu reply parsed, for faces that show it in their own words.
  std::optional<MenuReply> LastReply() const;
  std::vector<std::string> PortsToSearch() const;
  // Ports whose last open or configuration failed, in the order first met; a port leaves
  // the list once it opens.
  std::vector<UnsearchedPort> UnsearchedPorts() const;
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
  std::atomic<uint32_t> m_nMenuReplies{0};  // every menu reply parsed, for faces that wait on one

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
  // Ends the open session as a failure (watchdog, port failure, cancel); false when none is
  // open. `markFailed` keeps the supervisor from programming the same charger again.
  bool EndSessionFailed(SessionEnd::Result result, const std::string& reason, bool markFailed);
  void ReportSessionEnd(SessionEnd::Result result, const std::string& reason) const;
  std::string Progress() const;
  int WaitForProbeReply(int ms);
  void ReportLoader(const std::string& port);
  void ForgetLoader(const std::string& port);
  void ReleaseLostPort();
  static std::string TooLargeForChargerText(const std::string& image, uint32_t size);
  void RecordOpenFailure(const std::string& port);
  void RecordOpened(const std::string& port);
  static std::string PortFailureLine(const std::string& port, PortProblem problem, int error);
  bool Closing() const { return m_stop.Stopped(); }
  void NotifyState() const {
    if (m_stateListener) m_stateListener();
  }
  bool AcceptsLastReply(const std::string& port) const;
  // The image config.ini remembers, loaded as start-up does.
  void LoadRememberedImage();
  // "Update" and "Open..." as the session rules want them, unless the guard or a locked image
  // keeps them off.
  void EnableUpdate(bool enable);
  void EnableOpen(bool enable);

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
  ShutdownLatch m_stop;
  std::atomic<int32_t> m_nShownPercent{-1};
  mutable std::mutex m_portsMutex;
  std::vector<UnsearchedPort> m_unsearched;
  std::vector<std::string> m_toldPorts;  // failures already shown; a port leaves once it opens
  GuardedString m_strChannelMessage;     // the serial channel's text for the failing open
  bool m_shutDown = false;
  std::function<void()> m_stateListener;
  std::function<void(const SessionEnd&)> m_sessionEndListener;
  std::function<bool(const std::string& port, const MenuReply&)> m_acceptCharger;
  std::atomic<bool> m_bFastReplies{false};
  std::function<void(const std::string&)> m_loaderListener;
  std::function<std::string(const MenuReply&)> m_chargerGuard;
  GuardedString m_strRefusal;  // the charger at hand's, from the guard
  std::atomic<int> m_bImageLocked{0};
  std::string m_jobName;

  // The session in flight: open from StartProgramming until its first end.
  std::atomic<int> m_bSessionOpen{0};
  GuardedString m_strSessionPort;
  std::atomic<int64_t> m_sessionStartMs{0};
  std::atomic<uint32_t> m_nSessionImageSize{0};
  // Raised by the reader when the open port failed; the supervisor lets the port go.
  std::atomic<int> m_bPortLost{0};
  std::atomic<int> m_bProbing{0};
  std::atomic<int> m_bLoaderAnswered{0};
  std::vector<std::string> m_loaderPorts;  // ports already reported; under m_portsMutex
};
