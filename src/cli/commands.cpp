#include "cli/commands.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <deque>
#include <mutex>
#include <optional>
#include <system_error>
#include <utility>
#include <vector>

#include "charger/port_list.h"
#include "cli/conductor_link.h"
#include "cli/session_report.h"
#include "cli/stop_requests.h"
#include "cli/terminal_view.h"
#include "conductor/worker_protocol.h"
#include "image/image_file.h"
#include "job/guards.h"
#include "job/pinned_image.h"
#include "platform/printable_text.h"
#include "platform/stop_cause.h"
#include "serial/serial_port.h"
#include "ui/event_loop.h"
#include "ui/quorlin_dlg.h"

namespace {

// Whole milliseconds; the option's range keeps this far from overflow.
int WatchdogMs(const CliOptions& options) {
  return static_cast<int>(options.timeoutSeconds * 1000);
}

TerminalView::Progress ProgressFor(const CliOptions& options) {
  if (options.json || options.worker) return TerminalView::Progress::None;
  return isatty(STDERR_FILENO) ? TerminalView::Progress::Bar : TerminalView::Progress::Lines;
}

// The terminal face, with progress as JSON events when --json is on.
class CliView : public TerminalView {
 public:
  CliView(EventLoop& loop, const CliOptions& options, SessionReport& report, CQuorlinDlg*& dlg)
      : TerminalView(loop, stderr, ProgressFor(options)), m_report(report), m_dlg(dlg) {}

 protected:
  void ApplyProgressPos(int pos) override {
    TerminalView::ApplyProgressPos(pos);
    if (!m_report.Json() || m_dlg == nullptr) return;
    if (pos == 0) {  // a reset, not a transfer under way
      m_shownTenth = -1;
      return;
    }
    if (pos / 10 == m_shownTenth) return;
    m_shownTenth = pos / 10;
    JsonLine line;
    line.Add("event", "progress").Add("port", m_dlg->m_strPortName.Get()).Add("percent", pos);
    m_report.Event(line);
  }

 private:
  SessionReport& m_report;
  CQuorlinDlg*& m_dlg;
  int m_shownTenth = -1;
};

struct EndedSession {
  SessionEnd end;
  std::optional<MenuReply> before;
};

// Sessions the engine reported as ended, handed from its threads to the loop thread.
class EndedSessions {
 public:
  explicit EndedSessions(EventLoop& loop) : m_loop(loop) {}
  void Add(const SessionEnd& end, std::optional<MenuReply> before) {
    {
      std::lock_guard lock(m_mutex);
      m_ended.push_back({end, std::move(before)});
    }
    m_loop.Wake();
  }
  bool Empty() const {
    std::lock_guard lock(m_mutex);
    return m_ended.empty();
  }
  EndedSession Take() {
    std::lock_guard lock(m_mutex);
    EndedSession next = std::move(m_ended.front());
    m_ended.pop_front();
    return next;
  }

 private:
  EventLoop& m_loop;
  mutable std::mutex m_mutex;
  std::deque<EndedSession> m_ended;
};

// The engine with the terminal as its window.
struct Session {
  Session(const CliOptions& options, bool supervise, SessionReport& report,
          std::function<bool(const std::string&, const MenuReply&)> accept = {})
      : view(loop, options, report, dlgForView),
        dlg(view, g_serial,
            CQuorlinDlg::Options{.configPath = "",
                                 .ports = options.ports,
                                 .watchdogMs = WatchdogMs(options),
                                 .startSupervisor = supervise,
                                 .portFailureBoxes = false}) {
    dlgForView = &dlg;
    dlg.SetChargerFilter(std::move(accept));
    dlg.SetFastReplies(options.fast);
    dlg.SetStateListener([this] { loop.Wake(); });
    dlg.SetSessionEndListener([this](const SessionEnd& end) { ended.Add(end, dlg.LastReply()); });
    dlg.SetLoaderListener([](const std::string& port) {
      std::fprintf(stderr,
                   "charger-updater-cli: the charger on %s is still in its loader from an "
                   "update that was cut off, so it does not answer with its menu. Switch it "
                   "off and on again (or unplug and replug it); it is found once it restarts.\n",
                   PrintableText(port).c_str());
    });
    // A worker's output goes to its conductor: once it cannot be written, the conductor is gone.
    report.SetOutputLost([this, worker = options.worker] {
      signals.Request(worker ? StopCause::ConductorLost : StopCause::OutputClosed);
    });
    if (options.worker) {
      link = std::make_unique<ConductorLink>(
          signals,
          ConductorLink::Hooks{
              .ask = [&report] { report.Event(ProtocolEvent(worker_protocol::kPermitEvent)); },
              .release = [&report] { report.Event(ProtocolEvent(worker_protocol::kReleaseEvent)); },
              .recorded = [&report] { report.Recorded(); },
              .changed = [this] { loop.Wake(); }});
      link->Listen();
    }
  }
  ~Session() { dlg.Shutdown(); }

  static JsonLine ProtocolEvent(std::string_view event) {
    JsonLine line;
    line.Add("event", event);
    return line;
  }

  // A transfer in flight is cancelled, then the engine stops.
  void Stop(const std::string& reason) {
    dlg.CancelSession(reason);
    dlg.Shutdown();
  }
  std::string StopReason() const {
    const auto cause = signals.StoppedBy();
    return cause ? ::StopReason(*cause) : "stopped";
  }

  EventLoop loop;
  CQuorlinDlg* dlgForView = nullptr;
  CliView view;
  CQuorlinDlg dlg;
  EndedSessions ended{loop};
  // After the engine, so a stop request always finds it built.
  StopRequests signals{[this] { loop.Quit(); }, [this] { dlg.EmergencyRelease(); }};
  std::unique_ptr<ConductorLink> link;  // gang's and info --all's workers only
};

std::string Join(const std::vector<std::string>& items) {
  std::string joined;
  for (const auto& item : items) joined += (joined.empty() ? "" : ", ") + PrintableText(item);
  return joined;
}

std::chrono::milliseconds Seconds(double seconds) {
  return std::chrono::milliseconds(static_cast<long long>(seconds * 1000));
}

std::string OsReason(int error) {
  return std::error_code(error, std::generic_category()).message();
}

std::string Why(const UnsearchedPort& port) {
  switch (port.problem) {
    case PortProblem::Missing:
      return "no such port";
    case PortProblem::Busy:
      return "held by another program";
    case PortProblem::Denied:
      return std::string("not permitted. ") + kDialoutHint;
    case PortProblem::NotConfigurable:
      return "could not be configured (" + OsReason(port.error) + ")";
    case PortProblem::CannotOpen:
      break;
  }
  return "could not be opened (" + OsReason(port.error) + ")";
}

void PrintUnsearched(const UnsearchedPort& port) {
  std::string why = Why(port);
  if (why.back() != '.') why += '.';
  std::fprintf(stderr, "charger-updater-cli: %s not searched: %s\n",
               PrintableText(port.port).c_str(), why.c_str());
}

// Searches until a port is adopted. false (with the reasons on stderr) when none answers.
bool FindCharger(Session& session, const CliOptions& options) {
  session.dlg.OnInitDialog();
  const bool found = session.loop.RunUntil([&] { return session.dlg.m_bSearching == 0; },
                                           Seconds(options.waitSeconds));
  if (found) return true;
  if (session.signals.Stopped()) {
    std::fprintf(stderr, "charger-updater-cli: %s before a charger answered.\n",
                 session.StopReason().c_str());
    return false;
  }
  const auto unsearched = session.dlg.UnsearchedPorts();
  std::vector<std::string> searched = session.dlg.PortsToSearch();
  std::erase_if(searched, [&](const std::string& port) {
    return std::any_of(unsearched.begin(), unsearched.end(),
                       [&](const UnsearchedPort& u) { return u.port == port; });
  });
  if (!searched.empty() && !options.serials.empty())
    std::fprintf(stderr,
                 "charger-updater-cli: no charger with serial number %s answered on %s within "
                 "%g s.\n",
                 Join(options.serials).c_str(), Join(searched).c_str(), options.waitSeconds);
  else if (!searched.empty())
    std::fprintf(stderr, "charger-updater-cli: no charger answered on %s within %g s.\n",
                 Join(searched).c_str(), options.waitSeconds);
  else if (!unsearched.empty())
    std::fprintf(stderr, "charger-updater-cli: no port could be searched.\n");
  else
    std::fprintf(stderr,
                 "charger-updater-cli: no serial ports found. Plug in the charger, or name its "
                 "port with --ports.\n");
  for (const UnsearchedPort& port : unsearched) PrintUnsearched(port);
  return false;
}

// Loads the image with the window's rules; a refusal is reported here.
bool LoadImageOrExplain(Session& session, const CliOptions& options, SessionReport& report) {
  session.dlg.m_strImagePath.Set(options.image);
  const ImageLoadResult result = session.dlg.LoadImage();
  if (result.problem != ImageProblem::None) {
    std::fprintf(stderr, "charger-updater-cli: %s\n", result.message.c_str());
    return false;
  }
  const auto bytes = session.dlg.ImageData();
  report.SetImage(DescribeImage(options.image, bytes ? *bytes : std::vector<uint8_t>{}));
  report.SetContext(options.context);
  if (options.sha256.empty()) return true;
  const std::string problem =
      PinnedImageProblem(options.image, report.Image().sha256, options.sha256);
  if (problem.empty()) return true;
  std::fprintf(stderr, "charger-updater-cli: %s; nothing was sent.\n", problem.c_str());
  return false;
}

void PrintOutcome(Session& session, const CliOptions& options, SessionReport& report,
                  bool succeeded) {
  session.view.FinishProgress();
  if (!options.json) report.Say(succeeded ? "Program succeeded." : "Program failed.");
}

// After the run's own problems: a record that lost a row makes an otherwise clean run fail.
int StatusOf(const Session& session, const SessionReport& report, int sessionsStatus) {
  if (session.signals.Stopped()) return session.signals.ExitStatus();
  if (sessionsStatus != kExitOk) return sessionsStatus;
  return report.RecordProblem().empty() ? kExitOk : kExitRecordLost;
}

// How long a charger may take to answer again, after programming (--verify) or a failed
// session (--retries).
constexpr int kAnswerWaitMs = 20000;
constexpr int kAnswerTimer = 0x7E01;  // beside the engine's own timer ids
constexpr auto kProbePause = std::chrono::milliseconds(250);

std::function<bool(const std::string&, const MenuReply&)> SerialFilter(const CliOptions& options) {
  if (options.serials.empty()) return {};
  return [serials = options.serials](const std::string&, const MenuReply& reply) {
    return SerialWanted(reply, serials);
  };
}

struct PendingVerify {
  EndedSession session;
  uint32_t repliesBefore = 0;
  std::chrono::steady_clock::time_point since;
};

// A session that never reported an end: it did not start.
SessionEnd UnstartedSession(Session& session, const std::string& port) {
  SessionEnd end;
  end.port = port;
  end.imageSize = session.dlg.m_nImageSize;
  end.reason = "programming did not start on " + port;
  return end;
}

// flash: probes the port until a charger answers with its menu, for at most 20 s. The first
// probe goes to the open port, after the charger has had time to take in the closing block;
// later ones reopen it, since a restarting (or replugged) charger comes back on it anew.
std::optional<MenuReply> AwaitMenu(Session& session, const std::string& port) {
  CQuorlinDlg& dlg = session.dlg;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kAnswerWaitMs);
  bool reopen = false;
  while (!session.signals.Stopped() && !session.loop.RunUntil([] { return false; }, kProbePause) &&
         std::chrono::steady_clock::now() < deadline) {
    const uint32_t replies = dlg.m_nMenuReplies;
    if (reopen) dlg.m_bRecognised = 0;
    reopen = true;
    int answered = 0;
    session.view.ServeWhile([&] { answered = dlg.ProbeKeepAlive(port); });
    if (answered && dlg.m_nMenuReplies != replies) return dlg.LastReply();
  }
  return std::nullopt;
}

// --verify: what the charger says after programming, in the row.
void Verify(Session& session, const std::optional<MenuReply>& before,
            const std::optional<MenuReply>& after, const ImageFacts& image, SessionRecord& row) {
  if (after) row.versionAfter = after->version;
  row.reason = after || !session.signals.Stopped()
                   ? VerifyProblem(before, after, image)
                   : session.StopReason() + " while waiting for the charger to answer";
  if (!row.reason.empty()) row.result = "failed";
}

// Whether a session that ended this way is tried again: failed (not cancelled, refused or
// skipped) with tries left.
bool TriedAgain(const CliOptions& options, const SessionRecord& row, const Session& session) {
  return row.result == "failed" && row.attempt <= options.retries && !session.signals.Stopped();
}

void SayRetry(Session& session, const SessionRecord& row) {
  session.view.FinishProgress();
  std::fprintf(stderr,
               "charger-updater-cli: %s; trying again (attempt %d) once the charger answers.\n",
               PrintableText(row.reason).c_str(), row.attempt + 1);
}

// What the guards say of a charger found, said as a row. True when it was refused.
bool ReportRefused(Session& session, SessionReport& report, const CliOptions& options,
                   const std::string& port, const MenuReply& reply) {
  const std::string reason = GuardRefusal(options.guards, reply, report.Image().versionTag);
  if (reason.empty()) return false;
  report.Finish(report.MakeRecord(port, reply, "refused", reason, 0));
  if (session.link) session.link->Used();
  if (report.Json()) return true;
  session.view.FinishProgress();
  report.Say("Refused: " + PrintableText(reason) + ". Nothing was sent to the charger.");
  return true;
}

void ReportSkipped(Session& session, SessionReport& report, const std::string& port,
                   const MenuReply& reply) {
  const std::string reason = "the charger already runs version " + reply.version.value_or("");
  report.Finish(report.MakeRecord(port, reply, "skipped", reason, 0));
  if (session.link) session.link->Used();
  if (report.Json()) return;
  session.view.FinishProgress();
  report.Say("Skipped: " + PrintableText(reply.serial.value_or("a charger")) + " on " +
             PrintableText(port) + " already runs version " +
             PrintableText(reply.version.value_or("")) + ".");
}

// --json in auto: one state event each time the port's state changes. While a programmed
// charger restarts for --verify, the port is verifying, with the charger as it was before.
void ShowState(Session& session, const CliOptions& options, SessionReport& report,
               const PendingVerify* verifying, std::string& shown) {
  CQuorlinDlg& dlg = session.dlg;
  const char* state = verifying            ? "verifying"
                      : !dlg.m_bRecognised ? "searching"
                      : dlg.m_bProgramming ? "programming"
                      : dlg.m_bUnitDone    ? "done"
                                           : "connected";
  std::string port = dlg.m_strPortName.Get();
  if (port.empty() && options.ports.size() == 1) port = options.ports.front();
  const auto reply = verifying           ? verifying->session.before
                     : dlg.m_bRecognised ? dlg.LastReply()
                                         : std::nullopt;
  JsonLine line = ChargerEvent("state", port, reply);
  line.Add("state", state);
  std::string key = line.Text();
  if (key == shown) return;
  shown = key;
  report.Event(line);
}

}  // namespace

int RunPorts(const CliOptions&) {
  for (const auto& port : ListSerialPorts()) std::printf("%s\n", port.c_str());
  return kExitOk;
}

// What a run that found no charger exits with.
int NoCharger(const Session& session) {
  return session.signals.Stopped() ? session.signals.ExitStatus() : kExitNoCharger;
}

int RunInfo(const CliOptions& options) {
  if (options.all) return RunInfoAll(options);
  SessionReport report;
  report.Open("", options.json, options.worker);
  Session session(options, false, report, SerialFilter(options));
  if (!FindCharger(session, options)) return NoCharger(session);
  const auto reply = session.dlg.LastReply();
  const std::string port = session.dlg.m_strPortName.Get();
  if (options.json) {
    report.Event(ChargerEvent("charger", port, reply));
    return kExitOk;
  }
  const auto shown = [](const std::optional<std::string>& text) {
    return text ? PrintableText(*text) : std::string("N/A");
  };
  report.Say("port: " + PrintableText(port));
  report.Say("charger: " + (reply ? PrintableText(reply->identification) : std::string()));
  report.Say("serial: " + shown(reply ? reply->serial : std::nullopt));
  report.Say("version: " + shown(reply ? reply->version : std::nullopt));
  return kExitOk;
}

int RunFlash(const CliOptions& options) {
  SessionReport report;
  if (!report.Open(options.recordPath, options.json) || !report.StartPosting(options))
    return kExitUsage;
  Session session(options, false, report, SerialFilter(options));
  CQuorlinDlg& dlg = session.dlg;
  if (!LoadImageOrExplain(session, options, report)) return kExitUsage;
  if (!FindCharger(session, options)) return NoCharger(session);

  const auto before = dlg.LastReply();
  const std::string port = dlg.m_strPortName.Get();
  report.Event(ChargerEvent("found", port, before));
  if (before && ReportRefused(session, report, options, port, *before))
    return StatusOf(session, report, kExitRefused);
  if (options.skipSameVersion && before && SameVersion(*before, report.Image())) {
    ReportSkipped(session, report, port, *before);
    return StatusOf(session, report, kExitOk);
  }

  SessionRecord row;
  for (int attempt = 1;; ++attempt) {
    dlg.StartProgramming();
    session.loop.RunUntil([&] { return !session.ended.Empty(); },
                          std::chrono::milliseconds(WatchdogMs(options)) + std::chrono::seconds(5));
    if (session.signals.Stopped())
      session.Stop(session.StopReason());
    else if (session.ended.Empty() && dlg.m_bProgramming)
      session.Stop("no outcome within the watchdog time");
    const SessionEnd end =
        session.ended.Empty() ? UnstartedSession(session, port) : session.ended.Take().end;
    row = report.MakeRecord(port, before, ResultName(end.result), end.reason, end.duration.count());
    row.attempt = attempt;
    if (end.result == SessionEnd::Result::Succeeded && options.verify) {
      const auto started = std::chrono::steady_clock::now();
      Verify(session, before, AwaitMenu(session, port), report.Image(), row);
      row.durationMs += std::chrono::duration_cast<std::chrono::milliseconds>(
                            std::chrono::steady_clock::now() - started)
                            .count();
    }
    const bool again = TriedAgain(options, row, session);
    report.Finish(row, !again);
    if (!again) break;
    SayRetry(session, row);
    // The same charger, back with its menu; another one is not this session's to try again.
    const auto back = AwaitMenu(session, port);
    if (!back || back->serial != (before ? before->serial : std::nullopt)) break;
  }
  const bool succeeded = row.result == "succeeded";
  if (!succeeded && !row.reason.empty() && !options.json) {
    session.view.FinishProgress();
    std::fprintf(stderr, "charger-updater-cli: %s\n", PrintableText(row.reason).c_str());
  }
  PrintOutcome(session, options, report, succeeded);
  return StatusOf(session, report, succeeded ? kExitOk : kExitProgramFailed);
}

namespace {

// A failed session's charger, waited for to try it again (--retries).
struct PendingRetry {
  std::optional<std::string> serial;  // the charger's, so another one is not taken for it
  uint32_t repliesBefore = 0;
  std::chrono::steady_clock::time_point since;
  SessionRecord row;      // the attempt that failed: the charger's outcome if none follows
  bool answered = false;  // it is back; the supervisor starts the next attempt
};

// A charger answering on the port, already reported (skipped or refused) while it stays.
class Reported {
 public:
  bool Has(const std::string& key) const {
    std::lock_guard lock(m_mutex);
    return key == m_last;
  }
  void Set(const std::string& key) {
    std::lock_guard lock(m_mutex);
    m_last = key;
  }

 private:
  mutable std::mutex m_mutex;
  std::string m_last;
};

}  // namespace

int RunAuto(const CliOptions& options) {
  SessionReport report;
  if (!report.Open(options.recordPath, options.json, options.worker) ||
      !report.StartPosting(options))
    return kExitUsage;
  // Chargers to say something of on the loop thread: skipped or refused, with the reason.
  struct Turned {
    std::string port;
    MenuReply reply;
    std::string refusal;  // empty: skipped
  };
  std::mutex turnedMutex;
  std::deque<Turned> turned;
  Reported reported;                 // a charger left plugged in is skipped or refused once
  std::atomic<bool> pending{false};  // a session's verify or retry is under way
  Session* running = nullptr;        // set before the engine starts, which calls the filter
  auto accept = [&](const std::string& port, const MenuReply& reply) {
    Session& session = *running;
    if (!SerialWanted(reply, options.serials)) return false;
    // A programmed charger restarting for --verify is the same charger, not a new one.
    if ((pending && !session.dlg.m_bFailed) || !session.ended.Empty()) return false;
    const std::string refusal = GuardRefusal(options.guards, reply, report.Image().versionTag);
    const bool same = options.skipSameVersion && SameVersion(reply, report.Image());
    const std::string key = port + "\n" + reply.serial.value_or("");
    if ((same || !refusal.empty()) && reported.Has(key)) return false;
    // A skip or a refusal is a session too: it counts towards gang's --count.
    if (session.link && !session.link->Acquire()) return false;
    if (!same && refusal.empty()) return true;
    reported.Set(key);
    {
      std::lock_guard lock(turnedMutex);
      turned.push_back({port, reply, refusal});
    }
    session.loop.Wake();
    return false;
  };
  Session session(options, true, report, accept);
  running = &session;
  CQuorlinDlg& dlg = session.dlg;
  if (!LoadImageOrExplain(session, options, report)) return kExitUsage;
  dlg.ToggleAutoProgram();
  if (!dlg.m_bAutoProgram) return kExitUsage;
  dlg.OnInitDialog();
  if (!options.worker)
    std::fprintf(stderr,
                 "charger-updater-cli: auto-programming %s; plug in chargers one after "
                 "another, Ctrl-C to stop.\n",
                 options.image.c_str());

  // There is no end of a search here, so a port is explained once, when it first fails;
  // a missing port is the normal state between two chargers.
  std::vector<std::pair<std::string, PortProblem>> explained;
  auto explainNewPorts = [&] {
    for (const UnsearchedPort& port : dlg.UnsearchedPorts()) {
      const auto key = std::make_pair(port.port, port.problem);
      if (port.problem == PortProblem::Missing ||
          std::find(explained.begin(), explained.end(), key) != explained.end())
        continue;
      explained.push_back(key);
      session.view.FinishProgress();
      PrintUnsearched(port);
    }
  };
  int succeeded = 0;
  int failed = 0;
  int skipped = 0;
  int refused = 0;
  int attempt = 1;  // of the charger at hand
  std::optional<PendingVerify> verifying;
  std::optional<PendingRetry> retrying;
  // A charger's outcome, counted once: by its last attempt.
  auto count = [&](const SessionRecord& row) {
    const bool ok = row.result == "succeeded";
    ++(ok ? succeeded : failed);
    attempt = 1;
    if (session.link) session.link->Used();
    if (!ok && !row.reason.empty() && !options.json) {
      session.view.FinishProgress();
      std::fprintf(stderr, "charger-updater-cli: %s\n", PrintableText(row.reason).c_str());
    }
    PrintOutcome(session, options, report, ok);
  };
  auto finish = [&](SessionRecord row) {
    row.attempt = attempt;
    const bool again = TriedAgain(options, row, session);
    report.Finish(row, !again);
    if (!again) {
      count(row);
      return;
    }
    SayRetry(session, row);
    ++attempt;
    retrying =
        PendingRetry{row.serial, dlg.m_nMenuReplies.load(), std::chrono::steady_clock::now(), row};
    session.loop.SetTimer(kAnswerTimer, kAnswerWaitMs, [&session] { session.loop.Wake(); });
  };
  // The charger's last attempt is its outcome after all; a conductor waiting for it is told.
  auto giveUpRetry = [&] {
    session.loop.KillTimer(kAnswerTimer);
    if (options.worker) {
      JsonLine line;
      report.Event(line.Add("event", worker_protocol::kAttemptsOverEvent));
    }
    count(retrying->row);
    retrying.reset();
  };
  auto rowOf = [&](const EndedSession& ended) {
    return report.MakeRecord(ended.end.port, ended.before, ResultName(ended.end.result),
                             ended.end.reason, ended.end.duration.count());
  };
  std::string shownState;
  auto idle = [&] {
    return !verifying && !retrying && !dlg.m_bProgramming && session.ended.Empty();
  };
  session.loop.RunUntil(
      [&] {
        explainNewPorts();
        {
          std::unique_lock lock(turnedMutex);
          if (!dlg.m_bRecognised && !dlg.m_bSearching) reported.Set({});
          while (!turned.empty()) {
            const Turned next = turned.front();
            turned.pop_front();
            lock.unlock();
            if (next.refusal.empty()) {
              ReportSkipped(session, report, next.port, next.reply);
              ++skipped;
            } else {
              ReportRefused(session, report, options, next.port, next.reply);
              ++refused;
            }
            lock.lock();
          }
        }
        while (!session.ended.Empty()) {
          const EndedSession next = session.ended.Take();
          if (retrying) session.loop.KillTimer(kAnswerTimer);
          retrying.reset();  // the retry is this session
          if (next.end.result == SessionEnd::Result::Succeeded && options.verify) {
            verifying =
                PendingVerify{next, dlg.m_nMenuReplies.load(), std::chrono::steady_clock::now()};
            session.loop.SetTimer(kAnswerTimer, kAnswerWaitMs, [&session] { session.loop.Wake(); });
          } else {
            finish(rowOf(next));
          }
        }
        if (verifying) {
          const bool answered = dlg.m_nMenuReplies != verifying->repliesBefore;
          const auto waited = std::chrono::steady_clock::now() - verifying->since;
          if (answered || waited >= std::chrono::milliseconds(kAnswerWaitMs)) {
            session.loop.KillTimer(kAnswerTimer);
            SessionRecord row = rowOf(verifying->session);
            Verify(session, verifying->session.before, answered ? dlg.LastReply() : std::nullopt,
                   report.Image(), row);
            row.durationMs += std::chrono::duration_cast<std::chrono::milliseconds>(waited).count();
            verifying.reset();
            finish(row);
          }
        }
        if (retrying && !retrying->answered && dlg.m_nMenuReplies != retrying->repliesBefore) {
          // Back with its menu: the supervisor starts the next attempt once the failure is
          // taken off it. Another charger is not this one's to try again.
          const auto reply = dlg.LastReply();
          if (reply && reply->serial == retrying->serial) {
            retrying->answered = true;
            retrying->since = std::chrono::steady_clock::now();
            dlg.m_nMissCount = 0;
            dlg.m_bFailed = 0;
          } else {
            giveUpRetry();
          }
        }
        if (retrying && !dlg.m_bProgramming &&
            std::chrono::steady_clock::now() - retrying->since >=
                std::chrono::milliseconds(kAnswerWaitMs))
          giveUpRetry();
        pending = verifying || (retrying && !retrying->answered);
        // A leave the conductor gave for a charger that went away before its session.
        if (session.link && session.link->Holding() && idle() && !dlg.m_bRecognised &&
            !dlg.m_bSearching)
          session.link->Release();
        if (options.json)
          ShowState(session, options, report, verifying ? &*verifying : nullptr, shownState);
        const int sessions = succeeded + failed + skipped + refused;
        if (options.count > 0 && sessions >= options.count) return true;
        return session.link && session.link->Finishing() && idle();
      },
      std::chrono::hours(24 * 365));
  // A session cut short counts as failed; a charger waiting for its verify answer or its next
  // attempt too.
  if (session.signals.Stopped()) session.Stop(session.StopReason());
  while (!session.ended.Empty()) finish(rowOf(session.ended.Take()));
  if (verifying) {
    SessionRecord row = rowOf(verifying->session);
    row.result = "cancelled";
    row.reason = "stopped while waiting for the charger on " + row.port +
                 " to answer: " + session.StopReason();
    finish(row);
  }
  if (retrying) giveUpRetry();
  if (session.signals.StoppedBy() == StopCause::ConductorLost) report.WriteUnrecorded();
  session.view.FinishProgress();
  const int status = failed + refused > 0 ? kExitProgramFailed : kExitOk;
  if (options.worker) return StatusOf(session, report, status);
  if (options.json) {
    JsonLine line;
    line.Add("event", "count").Add("succeeded", succeeded).Add("failed", failed);
    report.Event(line.Add("skipped", skipped).Add("refused", refused));
  } else {
    report.Say(CountLine(succeeded, failed, skipped, refused));
  }
  return StatusOf(session, report, status);
}
