#include "cli/commands.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <deque>
#include <mutex>
#include <optional>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "charger/port_list.h"
#include "cli/session_report.h"
#include "cli/stop_requests.h"
#include "cli/terminal_text.h"
#include "cli/terminal_view.h"
#include "image/image_file.h"
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
    if (!m_report.Json() || pos / 10 == m_shownTenth || m_dlg == nullptr) return;
    if (pos == 0 && m_shownTenth < 0) return;  // a reset, not a transfer under way
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
  }
  ~Session() { dlg.Shutdown(); }

  // A transfer in flight is cancelled, then the engine stops.
  void Stop(const std::string& reason) {
    dlg.CancelSession(reason);
    dlg.Shutdown();
  }
  std::string StopReason() const {
    return signals.StoppedBy() == StopRequests::Cause::Interrupt
               ? "interrupted by Ctrl-C"
               : "stopped by a termination request";
  }

  EventLoop loop;
  CQuorlinDlg* dlgForView = nullptr;
  CliView view;
  CQuorlinDlg dlg;
  EndedSessions ended{loop};
  // Last, so a stop request always finds the engine built.
  StopRequests signals{[this] { loop.Quit(); }, [this] { dlg.EmergencyRelease(); }};
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
  std::fprintf(stderr, "charger-updater-cli: %s not searched: %s.\n",
               PrintableText(port.port).c_str(), Why(port).c_str());
}

// Searches until a port is adopted. false (with the reasons on stderr) when none answers.
bool FindCharger(Session& session, const CliOptions& options) {
  session.dlg.OnInitDialog();
  const bool found = session.loop.RunUntil([&] { return session.dlg.m_bSearching == 0; },
                                           Seconds(options.waitSeconds));
  if (found) return true;
  if (session.signals.Stopped()) {
    std::fprintf(stderr, "charger-updater-cli: interrupted before a charger answered.\n");
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
  if (result.problem == ImageProblem::None) {
    const auto bytes = session.dlg.ImageData();
    report.SetImage(DescribeImage(options.image, bytes ? *bytes : std::vector<uint8_t>{}));
    return true;
  }
  std::fprintf(stderr, "charger-updater-cli: %s\n", result.message.c_str());
  return false;
}

void PrintOutcome(Session& session, const CliOptions& options, bool succeeded) {
  session.view.FinishProgress();
  if (options.json) return;
  std::printf("%s\n", succeeded ? "Program succeeded." : "Program failed.");
  std::fflush(stdout);
}

constexpr int kVerifyWaitMs = 20000;
constexpr int kVerifyTimer = 0x7E01;  // beside the engine's own timer ids
constexpr auto kVerifyProbePause = std::chrono::milliseconds(250);

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

// --verify for flash: probes the port until the charger answers again, for at most 20 s.
std::string VerifyByProbing(Session& session, const std::string& port, const ImageFacts& image) {
  CQuorlinDlg& dlg = session.dlg;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kVerifyWaitMs);
  // The first probe goes to the open port, after the charger has had time to take in the
  // closing block; later ones reopen it, since a restarting charger may come back on it anew.
  bool reopen = false;
  while (!session.signals.Stopped() &&
         !session.loop.RunUntil([] { return false; }, kVerifyProbePause) &&
         std::chrono::steady_clock::now() < deadline) {
    const uint32_t before = dlg.m_nMenuReplies;
    if (reopen) dlg.m_bRecognised = 0;
    reopen = true;
    int answered = 0;
    session.view.ServeWhile([&] { answered = dlg.ProbeKeepAlive(port); });
    if (answered && dlg.m_nMenuReplies != before) return VerifyProblem(dlg.LastReply(), image);
  }
  if (session.signals.Stopped()) return "interrupted while waiting for the charger to answer";
  return VerifyProblem(std::nullopt, image);
}

void ReportSkipped(Session& session, SessionReport& report, const std::string& port,
                   const MenuReply& reply) {
  const std::string reason = "the charger already runs version " + reply.version.value_or("");
  report.Finish(report.MakeRecord(port, reply, "skipped", reason, 0));
  if (report.Json()) return;
  session.view.FinishProgress();
  std::printf("Skipped: %s on %s already runs version %s.\n",
              PrintableText(reply.serial.value_or("a charger")).c_str(),
              PrintableText(port).c_str(), PrintableText(reply.version.value_or("")).c_str());
  std::fflush(stdout);
}

// gang's workers stop between sessions once the conductor closes their stdin.
void WatchStdinClose(EventLoop& loop, std::atomic<bool>& stop) {
  std::thread([&loop, &stop] {
    char buffer[64];
    while (::read(STDIN_FILENO, buffer, sizeof buffer) > 0 || errno == EINTR) {
    }
    stop = true;
    loop.Wake();
  }).detach();
}

// --json in auto: one state event each time the port's state changes.
void ShowState(Session& session, const CliOptions& options, SessionReport& report,
               std::string& shown) {
  CQuorlinDlg& dlg = session.dlg;
  const char* state = !dlg.m_bRecognised   ? "searching"
                      : dlg.m_bProgramming ? "programming"
                      : dlg.m_bUnitDone    ? "done"
                                           : "connected";
  std::string port = dlg.m_strPortName.Get();
  if (port.empty() && options.ports.size() == 1) port = options.ports.front();
  const auto reply = dlg.m_bRecognised ? dlg.LastReply() : std::nullopt;
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
  report.Open("", options.json);
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
  std::printf("port: %s\n", PrintableText(port).c_str());
  std::printf("charger: %s\n", reply ? PrintableText(reply->identification).c_str() : "");
  std::printf("serial: %s\n", shown(reply ? reply->serial : std::nullopt).c_str());
  std::printf("version: %s\n", shown(reply ? reply->version : std::nullopt).c_str());
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
  if (options.skipSameVersion && before && SameVersion(*before, report.Image())) {
    ReportSkipped(session, report, port, *before);
    return kExitOk;
  }

  dlg.StartProgramming();
  session.loop.RunUntil([&] { return !session.ended.Empty(); },
                        std::chrono::milliseconds(WatchdogMs(options)) + std::chrono::seconds(5));
  if (session.signals.Stopped())
    session.Stop(session.StopReason());
  else if (session.ended.Empty() && dlg.m_bProgramming)
    session.Stop("no outcome within the watchdog time");
  SessionEnd end =
      session.ended.Empty() ? UnstartedSession(session, port) : session.ended.Take().end;
  if (end.result == SessionEnd::Result::Succeeded && options.verify) {
    const auto started = std::chrono::steady_clock::now();
    end.reason = VerifyByProbing(session, port, report.Image());
    if (!end.reason.empty()) end.result = SessionEnd::Result::Failed;
    end.duration += std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - started);
  }
  const bool succeeded = end.result == SessionEnd::Result::Succeeded;
  report.Finish(
      report.MakeRecord(port, before, ResultName(end.result), end.reason, end.duration.count()));
  if (!succeeded && !end.reason.empty() && !options.json) {
    session.view.FinishProgress();
    std::fprintf(stderr, "charger-updater-cli: %s\n", PrintableText(end.reason).c_str());
  }
  PrintOutcome(session, options, succeeded);
  if (session.signals.Stopped()) return session.signals.ExitStatus();
  return succeeded ? kExitOk : kExitProgramFailed;
}

int RunAuto(const CliOptions& options) {
  SessionReport report;
  if (!report.Open(options.recordPath, options.json) || !report.StartPosting(options))
    return kExitUsage;
  std::mutex skipMutex;
  std::string lastSkipped;  // port and serial: a charger left plugged in is skipped once
  std::deque<std::pair<std::string, MenuReply>> skips;
  EventLoop* loop = nullptr;
  auto accept = [&](const std::string& port, const MenuReply& reply) {
    if (!SerialWanted(reply, options.serials)) return false;
    if (!options.skipSameVersion || !SameVersion(reply, report.Image())) return true;
    std::lock_guard lock(skipMutex);
    const std::string key = port + "\n" + reply.serial.value_or("");
    if (key != lastSkipped) {
      lastSkipped = key;
      skips.emplace_back(port, reply);
      loop->Wake();
    }
    return false;
  };
  Session session(options, true, report, accept);
  loop = &session.loop;
  CQuorlinDlg& dlg = session.dlg;
  if (!LoadImageOrExplain(session, options, report)) return kExitUsage;
  dlg.ToggleAutoProgram();
  if (!dlg.m_bAutoProgram) return kExitUsage;
  std::atomic<bool> stopWhenIdle{false};
  if (options.worker) WatchStdinClose(session.loop, stopWhenIdle);
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
  auto finish = [&](const std::string& port, const std::optional<MenuReply>& before,
                    const SessionEnd& end) {
    const bool ok = end.result == SessionEnd::Result::Succeeded;
    ++(ok ? succeeded : failed);
    report.Finish(
        report.MakeRecord(port, before, ResultName(end.result), end.reason, end.duration.count()));
    if (!ok && !end.reason.empty() && !options.json) {
      session.view.FinishProgress();
      std::fprintf(stderr, "charger-updater-cli: %s\n", PrintableText(end.reason).c_str());
    }
    PrintOutcome(session, options, ok);
  };
  std::optional<PendingVerify> verifying;
  std::string shownState;
  session.loop.RunUntil(
      [&] {
        explainNewPorts();
        {
          std::unique_lock lock(skipMutex);
          if (!dlg.m_bRecognised && !dlg.m_bSearching) lastSkipped.clear();
          while (!skips.empty()) {
            auto [port, reply] = skips.front();
            skips.pop_front();
            lock.unlock();
            ReportSkipped(session, report, port, reply);
            lock.lock();
          }
        }
        while (!session.ended.Empty()) {
          EndedSession next = session.ended.Take();
          if (next.end.result == SessionEnd::Result::Succeeded && options.verify) {
            verifying =
                PendingVerify{next, dlg.m_nMenuReplies.load(), std::chrono::steady_clock::now()};
            session.loop.SetTimer(kVerifyTimer, kVerifyWaitMs, [&session] { session.loop.Wake(); });
          } else {
            finish(next.end.port, next.before, next.end);
          }
        }
        if (verifying) {
          const bool answered = dlg.m_nMenuReplies != verifying->repliesBefore;
          const auto waited = std::chrono::steady_clock::now() - verifying->since;
          if (answered || waited >= std::chrono::milliseconds(kVerifyWaitMs)) {
            session.loop.KillTimer(kVerifyTimer);
            SessionEnd end = verifying->session.end;
            end.reason = VerifyProblem(answered ? dlg.LastReply() : std::nullopt, report.Image());
            if (!end.reason.empty()) end.result = SessionEnd::Result::Failed;
            end.duration += std::chrono::duration_cast<std::chrono::milliseconds>(waited);
            finish(end.port, verifying->session.before, end);
            verifying.reset();
          }
        }
        if (options.json) ShowState(session, options, report, shownState);
        if (options.count > 0 && succeeded + failed >= options.count) return true;
        return stopWhenIdle && !verifying && !dlg.m_bProgramming;
      },
      std::chrono::hours(24 * 365));
  // A session cut short counts as failed; a charger waiting for its verify answer too.
  if (session.signals.Stopped()) session.Stop(session.StopReason());
  while (!session.ended.Empty()) {
    const EndedSession next = session.ended.Take();
    finish(next.end.port, next.before, next.end);
  }
  if (verifying) {
    SessionEnd end = verifying->session.end;
    end.result = SessionEnd::Result::Cancelled;
    end.reason = "stopped while waiting for the charger on " + end.port + " to answer";
    finish(end.port, verifying->session.before, end);
  }
  session.view.FinishProgress();
  if (options.json) {
    JsonLine line;
    line.Add("event", "count").Add("succeeded", succeeded).Add("failed", failed);
    report.Event(line);
  } else {
    std::printf("===  %d succeeded ===  %d failed ===\n", succeeded, failed);
  }
  if (session.signals.Stopped()) return session.signals.ExitStatus();
  return failed > 0 ? kExitProgramFailed : kExitOk;
}
