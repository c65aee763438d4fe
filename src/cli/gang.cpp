// gang and info --all: the conductor's runs from the command line.
#include <unistd.h>

#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "charger/port_list.h"
#include "cli/commands.h"
#include "cli/gang_view.h"
#include "cli/programming_plan.h"
#include "cli/session_report.h"
#include "cli/stop_requests.h"
#include "conductor/conductor.h"
#include "conductor/worker_options.h"
#include "image/image_file.h"
#include "job/pinned_image.h"
#include "platform/printable_text.h"
#include "record/json_text.h"

namespace {

constexpr std::chrono::milliseconds kRedraw{200};

std::vector<std::string> PortsOrSystem(const CliOptions& options) {
  return options.ports.empty() ? ListSerialPorts() : options.ports;
}

std::string Number(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%g", value);
  return text;
}

// The conductor on this thread's behalf: Ctrl-C, SIGTERM and a closed terminal stop it; a
// second Ctrl-C leaves at once, and the workers, seeing their conductor gone, still cancel
// their transfers and write their rows.
ConductorTotals Conduct(ConductorPlan plan, ConductorFace& face, std::unique_ptr<Conductor>& slot) {
  slot = std::make_unique<Conductor>(std::move(plan), face);
  Conductor& conductor = *slot;
  StopRequests stops(
      [&] {
        if (const auto cause = stops.StoppedBy()) conductor.Stop(*cause);
      },
      {});
  // After the watch, so the conductor's thread leaves the signals to it.
  conductor.Start();
  return conductor.Wait();
}

// info --all: what each port's worker found.
class FoundChargers : public ConductorFace {
 public:
  explicit FoundChargers(size_t ports) : m_found(ports), m_notes(ports) {}
  void PortChanged(size_t index, const PortRow& row, Change) override {
    if (row.phase == PortPhase::Connected && row.charger) m_found[index] = row.charger;
  }
  void SessionEnded(size_t, const PortRow&, const SessionRecord&) override {}
  void Notice(std::optional<size_t> index, const std::string& text) override {
    if (index) m_notes[*index].push_back(text);
  }
  void Finished(const ConductorTotals&) override {}

  std::vector<std::optional<MenuReply>> m_found;  // in the order of the ports
  std::vector<std::vector<std::string>> m_notes;  // why a port found none, in its words
};

}  // namespace

std::optional<ConductorPlan> ProgrammingPlan(const CliOptions& options, SessionReport& report,
                                             std::string* error, int* status) {
  ConductorPlan plan;
  plan.ports = PortsOrSystem(options);
  if (plan.ports.empty()) {
    *error = "no serial ports found. Plug in the chargers' hub, or name the ports with --ports.";
    *status = kExitNoCharger;
    return std::nullopt;
  }
  plan.imagePath = options.image;
  plan.count = options.count;
  plan.keep = [&report](const SessionRecord& record) { return report.Keep(record); };
  // For the rows of workers that could not write their own; the workers judge the image, but
  // a pin is checked once, before any worker starts.
  if (const ImageRead read = ReadImageFile(options.image); read.ok)
    plan.image = DescribeImage(options.image, read.bytes);
  if (!options.sha256.empty()) {
    const std::string problem =
        PinnedImageProblem(options.image, plan.image.sha256, options.sha256);
    if (!problem.empty()) {
      *error = problem + "; nothing was sent.";
      *status = kExitUsage;
      return std::nullopt;
    }
  }
  plan.context = options.context;
  WorkerSettings settings;
  settings.timeoutSeconds = options.timeoutSeconds;
  settings.serials = options.serials;
  settings.guards = options.guards;
  settings.sha256 = options.sha256;
  settings.skipSameVersion = options.skipSameVersion;
  settings.verify = options.verify;
  settings.fast = options.fast;
  settings.retries = options.retries;
  // Rows a worker must write (and post) itself, should its conductor be gone.
  settings.record = options.recordPath;
  settings.postUrl = options.postUrl;
  settings.spoolFolder = options.spoolFolder;
  settings.caCert = options.caCert;
  settings.context = options.context;
  plan.workerOptions = WorkerOptions(settings);
  return plan;
}

int RunGang(const CliOptions& options) {
  // The record only: the workers' lines are the JSON output.
  SessionReport report;
  std::string error;
  int status = kExitOk;
  std::optional<ConductorPlan> planned = ProgrammingPlan(options, report, &error, &status);
  if (!planned) {
    std::fprintf(stderr, "charger-updater-cli: %s\n", error.c_str());
    return status;
  }
  if (!report.Open(options.recordPath, false) || !report.StartPosting(options)) return kExitUsage;
  ConductorPlan plan = std::move(*planned);
  const std::vector<std::string> ports = plan.ports;
  const GangView::Mode mode = options.json                 ? GangView::Mode::Json
                              : isatty(STDERR_FILENO) != 0 ? GangView::Mode::Table
                                                           : GangView::Mode::Lines;
  if (mode == GangView::Mode::Table) plan.tick = kRedraw;
  std::unique_ptr<Conductor> conductor;
  GangView view(mode, ports, [&conductor] { conductor->Stop(StopCause::OutputClosed); });
  return Conduct(std::move(plan), view, conductor).ExitStatus();
}

int RunInfoAll(const CliOptions& options) {
  const std::vector<std::string> ports = PortsOrSystem(options);
  ConductorPlan plan;
  plan.work = ConductorPlan::Work::Find;
  plan.ports = ports;
  plan.workerOptions = {"--wait", Number(options.waitSeconds)};
  if (!options.serials.empty())
    plan.workerOptions.insert(plan.workerOptions.end(), {"--serial", QuotedNames(options.serials)});
  FoundChargers found(ports.size());
  std::unique_ptr<Conductor> conductor;
  const ConductorTotals totals = Conduct(std::move(plan), found, conductor);

  bool any = false;
  for (size_t i = 0; i < ports.size(); ++i) {
    const auto& charger = found.m_found[i];
    if (!charger) continue;
    any = true;
    if (options.json) {
      std::printf("%s", ChargerEvent("charger", ports[i], charger).Text().c_str());
      continue;
    }
    const auto shown = [](const std::optional<std::string>& text) {
      return text ? PrintableText(*text) : std::string("N/A");
    };
    std::printf("port: %s\ncharger: %s\nserial: %s\nversion: %s\n\n",
                PrintableText(ports[i]).c_str(), PrintableText(charger->identification).c_str(),
                shown(charger->serial).c_str(), shown(charger->version).c_str());
  }
  std::fflush(stdout);
  if (totals.stoppedBy) return totals.ExitStatus();
  if (any) return kExitOk;
  std::fprintf(stderr, "charger-updater-cli: no charger answered on any port within %g s.\n",
               options.waitSeconds);
  // Each port's own reason, as a plain search gives it.
  for (const auto& notes : found.m_notes)
    for (const std::string& note : notes) std::fprintf(stderr, "%s\n", PrintableText(note).c_str());
  return kExitNoCharger;
}
