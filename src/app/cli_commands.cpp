#include "cli_commands.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <mutex>
#include <system_error>
#include <utility>
#include <vector>

#include "charger/port_list.h"
#include "serial/serial_port.h"
#include "signal_stop.h"
#include "ui/event_loop.h"
#include "ui/quorlin_dlg.h"
#include "ui/terminal_text.h"
#include "ui/terminal_view.h"

namespace {

// Whole milliseconds; the option's range keeps this far from overflow.
int WatchdogMs(const CliOptions& options) {
  return static_cast<int>(options.timeoutSeconds * 1000);
}

// The engine with the terminal as its window.
struct Session {
  explicit Session(const CliOptions& options, bool supervise)
      : view(loop, stderr,
             isatty(STDERR_FILENO) ? TerminalView::Progress::Bar : TerminalView::Progress::Lines),
        dlg(view, g_serial,
            CQuorlinDlg::Options{.configPath = "",
                                 .ports = options.ports,
                                 .watchdogMs = WatchdogMs(options),
                                 .startSupervisor = supervise,
                                 .portFailureBoxes = false}) {
    dlg.SetStateListener([this] { loop.Wake(); });
    dlg.SetSessionEndListener([this](const SessionEnd& end) {
      {
        std::lock_guard lock(endsMutex);
        ends.push_back(end);
      }
      loop.Wake();
    });
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
    return signals.StoppedBy() == SignalStop::Cause::Interrupt ? "interrupted by Ctrl-C"
                                                               : "stopped by a termination request";
  }

  // Prints each session's outcome (with its reason when it failed) once; true when any failed.
  bool PrintEnds() {
    std::vector<SessionEnd> taken;
    {
      std::lock_guard lock(endsMutex);
      taken.swap(ends);
    }
    bool anyFailed = false;
    for (const SessionEnd& end : taken) {
      const bool succeeded = end.result == SessionEnd::Result::Succeeded;
      view.FinishProgress();
      if (!succeeded)
        std::fprintf(stderr, "charger-updater-cli: %s\n", PrintableText(end.reason).c_str());
      std::printf("%s\n", succeeded ? "Program succeeded." : "Program failed.");
      std::fflush(stdout);
      anyFailed = anyFailed || !succeeded;
      ++printed;
    }
    return anyFailed;
  }

  EventLoop loop;
  TerminalView view;
  CQuorlinDlg dlg;
  std::mutex endsMutex;
  std::vector<SessionEnd> ends;
  int printed = 0;  // sessions whose outcome was printed
  // Last, so a stop request always finds the engine built.
  SignalStop signals{[this] { loop.Quit(); }, [this] { dlg.EmergencyRelease(); }};
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
  if (!searched.empty())
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
bool LoadImageOrExplain(Session& session, const CliOptions& options) {
  session.dlg.m_strImagePath.Set(options.image);
  const ImageLoadResult result = session.dlg.LoadImage();
  if (result.problem == ImageProblem::None) return true;
  std::fprintf(stderr, "charger-updater-cli: %s\n", result.message.c_str());
  return false;
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
  Session session(options, false);
  if (!FindCharger(session, options)) return NoCharger(session);
  const auto reply = session.dlg.LastReply();
  const auto shown = [](const std::optional<std::string>& text) {
    return text ? PrintableText(*text) : std::string("N/A");
  };
  std::printf("port: %s\n", PrintableText(session.dlg.m_strPortName.Get()).c_str());
  std::printf("charger: %s\n", reply ? PrintableText(reply->identification).c_str() : "");
  std::printf("serial: %s\n", shown(reply ? reply->serial : std::nullopt).c_str());
  std::printf("version: %s\n", shown(reply ? reply->version : std::nullopt).c_str());
  return kExitOk;
}

int RunFlash(const CliOptions& options) {
  Session session(options, false);
  if (!LoadImageOrExplain(session, options)) return kExitUsage;
  if (!FindCharger(session, options)) return NoCharger(session);

  CQuorlinDlg& dlg = session.dlg;
  dlg.StartProgramming();
  session.loop.RunUntil([&] { return dlg.m_bProgramming == 0; },
                        std::chrono::milliseconds(WatchdogMs(options)) + std::chrono::seconds(5));
  if (session.signals.Stopped())
    session.Stop(session.StopReason());
  else if (dlg.m_bProgramming)
    session.Stop("no outcome within the watchdog time");
  const bool failed = session.PrintEnds();
  if (session.printed == 0) std::printf("Program failed.\n");  // the session never started
  if (session.signals.Stopped()) return session.signals.ExitStatus();
  return !failed && session.printed > 0 ? kExitOk : kExitProgramFailed;
}

int RunAuto(const CliOptions& options) {
  Session session(options, true);
  if (!LoadImageOrExplain(session, options)) return kExitUsage;
  CQuorlinDlg& dlg = session.dlg;
  dlg.ToggleAutoProgram();
  if (!dlg.m_bAutoProgram) return kExitUsage;
  dlg.OnInitDialog();
  std::fprintf(stderr,
               "charger-updater-cli: auto-programming %s; plug in chargers one after "
               "another, Ctrl-C to stop.\n",
               options.image.c_str());

  bool anyFailed = false;
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
  session.loop.RunUntil(
      [&] {
        explainNewPorts();
        anyFailed = session.PrintEnds() || anyFailed;
        return options.count > 0 && session.printed >= options.count;
      },
      std::chrono::hours(24 * 365));
  // The count line counts a session cut short as failed.
  if (session.signals.Stopped()) session.Stop(session.StopReason());
  anyFailed = session.PrintEnds() || anyFailed;
  session.view.FinishProgress();
  std::printf("===  %d succeeded ===  %d failed ===\n", dlg.m_nSucceeded.load(),
              dlg.m_nFailed.load());
  if (session.signals.Stopped()) return session.signals.ExitStatus();
  return anyFailed ? kExitProgramFailed : kExitOk;
}
