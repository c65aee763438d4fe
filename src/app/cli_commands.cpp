#include "cli_commands.h"

#include <unistd.h>

#include <cstdio>
#include <mutex>
#include <vector>

#include "charger/port_list.h"
#include "serial/serial_port.h"
#include "signal_stop.h"
#include "ui/event_loop.h"
#include "ui/quorlin_dlg.h"
#include "ui/terminal_view.h"

namespace {

// The engine with the terminal as its window.
struct Session {
  explicit Session(const CliOptions& options, bool supervise)
      : view(loop, stderr, isatty(STDERR_FILENO) != 0),
        dlg(view, g_serial,
            CQuorlinDlg::Options{.configPath = "",
                                 .ports = options.ports,
                                 .watchdogMs = options.watchdogMs,
                                 .startSupervisor = supervise}) {
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
                   port.c_str());
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
      if (!succeeded) std::fprintf(stderr, "charger-updater-cli: %s\n", end.reason.c_str());
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
  for (const auto& item : items) joined += (joined.empty() ? "" : ", ") + item;
  return joined;
}

std::chrono::milliseconds Seconds(double seconds) {
  return std::chrono::milliseconds(static_cast<long long>(seconds * 1000));
}

// Searches until a port is adopted. false (with the reason on stderr) when none answers.
bool FindCharger(Session& session, const CliOptions& options) {
  session.dlg.OnInitDialog();
  const bool found = session.loop.RunUntil([&] { return session.dlg.m_bSearching == 0; },
                                           Seconds(options.waitSeconds));
  if (found) return true;
  if (session.signals.Stopped()) {
    std::fprintf(stderr, "charger-updater-cli: interrupted before a charger answered.\n");
    return false;
  }
  const auto ports = session.dlg.PortsToSearch();
  if (ports.empty())
    std::fprintf(stderr,
                 "charger-updater-cli: no serial ports found. Plug in the charger, or name its "
                 "port with --ports.\n");
  else
    std::fprintf(stderr, "charger-updater-cli: no charger answered on %s within %g s.\n",
                 Join(ports).c_str(), options.waitSeconds);
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
  std::printf("port: %s\n", session.dlg.m_strPortName.Get().c_str());
  std::printf("charger: %s\n", reply ? reply->identification.c_str() : "");
  std::printf("serial: %s\n", reply && reply->serial ? reply->serial->c_str() : "N/A");
  std::printf("version: %s\n", reply && reply->version ? reply->version->c_str() : "N/A");
  return kExitOk;
}

int RunFlash(const CliOptions& options) {
  Session session(options, false);
  if (!LoadImageOrExplain(session, options)) return kExitUsage;
  if (!FindCharger(session, options)) return NoCharger(session);

  CQuorlinDlg& dlg = session.dlg;
  dlg.StartProgramming();
  session.loop.RunUntil([&] { return dlg.m_bProgramming == 0; },
                        std::chrono::milliseconds(options.watchdogMs) + std::chrono::seconds(5));
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
  session.loop.RunUntil(
      [&] {
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
