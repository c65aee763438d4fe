#include "cli_commands.h"

#include <unistd.h>

#include <cstdio>

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
      : signals(loop),
        view(loop, stderr, isatty(STDERR_FILENO) != 0),
        dlg(view, g_serial,
            CQuorlinDlg::Options{.configPath = "",
                                 .ports = options.ports,
                                 .watchdogMs = options.watchdogMs,
                                 .startSupervisor = supervise}) {
    dlg.SetStateListener([this] { loop.Wake(); });
  }
  ~Session() { dlg.Shutdown(); }

  EventLoop loop;
  SignalStop signals;
  TerminalView view;
  CQuorlinDlg dlg;
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
  if (session.signals.Interrupted()) {
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

void PrintOutcome(Session& session, bool succeeded) {
  session.view.FinishProgress();
  std::printf("%s\n", succeeded ? "Program succeeded." : "Program failed.");
  std::fflush(stdout);
}

}  // namespace

int RunPorts(const CliOptions&) {
  for (const auto& port : ListSerialPorts()) std::printf("%s\n", port.c_str());
  return kExitOk;
}

int RunInfo(const CliOptions& options) {
  Session session(options, false);
  if (!FindCharger(session, options)) return kExitNoCharger;
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
  if (!FindCharger(session, options)) return kExitNoCharger;

  CQuorlinDlg& dlg = session.dlg;
  dlg.StartProgramming();
  session.loop.RunUntil([&] { return dlg.m_bProgramming == 0; },
                        std::chrono::milliseconds(options.watchdogMs) + std::chrono::seconds(5));
  const bool succeeded = dlg.m_nSucceeded > 0 && dlg.m_bProgramming == 0;
  if (session.signals.Interrupted())
    std::fprintf(stderr, "\ncharger-updater-cli: interrupted; the charger was not programmed.\n");
  PrintOutcome(session, succeeded);
  return succeeded ? kExitOk : kExitProgramFailed;
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

  int printedSucceeded = 0;
  int printedFailed = 0;
  bool anyFailed = false;
  auto sessionsEnded = [&] { return printedSucceeded + printedFailed; };
  session.loop.RunUntil(
      [&] {
        while (printedFailed < dlg.m_nFailed) {
          ++printedFailed;
          anyFailed = true;
          PrintOutcome(session, false);
        }
        while (printedSucceeded < dlg.m_nSucceeded) {
          ++printedSucceeded;
          PrintOutcome(session, true);
        }
        return options.count > 0 && sessionsEnded() >= options.count;
      },
      std::chrono::hours(24 * 365));
  session.view.FinishProgress();
  std::printf("===  %d succeeded ===  %d failed ===\n", dlg.m_nSucceeded.load(),
              dlg.m_nFailed.load());
  return anyFailed ? kExitProgramFailed : kExitOk;
}
