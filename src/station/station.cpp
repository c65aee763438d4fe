#include "station/station.h"

#include <utility>

#include "charger/port_list.h"
#include "cli/programming_plan.h"
#include "conductor/worker_pool.h"
#include "image/image_file.h"
#include "image/profile.h"
#include "platform/exit_status.h"
#include "record/image_facts.h"
#include "ui/quorlin_dlg.h"

namespace {

// The image's facts, or why it cannot be programmed.
std::optional<ImageFacts> ReadImage(const std::string& path, std::string* problem) {
  ImageRead read = ReadImageFile(path);
  if (!read.ok) {
    *problem = read.error;
    return std::nullopt;
  }
  const ImageLoadResult verdict =
      CQuorlinDlg::JudgeImage(path, static_cast<uint32_t>(read.bytes.size()));
  if (verdict.problem != ImageProblem::None) {
    *problem = verdict.message;
    return std::nullopt;
  }
  return DescribeImage(path, read.bytes);
}

// charger-updater-cli in the folder of `self` (this program), with its extension.
std::string ToolBeside(const std::string& self) {
  const size_t slash = self.find_last_of("/\\");
  const std::string folder = slash == std::string::npos ? "" : self.substr(0, slash + 1);
  const size_t dot = self.rfind('.');
  const std::string extension =
      dot != std::string::npos && (slash == std::string::npos || dot > slash) ? self.substr(dot)
                                                                              : "";
  return folder + "charger-updater-cli" + extension;
}

}  // namespace

std::unique_ptr<Station> Station::Open(Options options, std::string* problem, int* status) {
  std::string error;
  StationSettings settings = ReadStationSettings(options.configPath, &error);
  if (!error.empty()) {
    *problem = error;
    *status = kExitUsage;
    return nullptr;
  }
  const std::vector<std::string> given = options.run.ports;
  std::vector<std::string> ports = given;
  if (ports.empty()) ports = settings.ports;
  if (ports.empty()) ports = ListSerialPorts();
  if (ports.empty()) {
    *problem =
        "No serial ports found. Plug in the chargers' hub, or name the ports with --ports "
        "(or [Station] Ports= in " +
        options.configPath + ").";
    *status = kExitNoCharger;
    return nullptr;
  }
  options.run.ports = ports;
  // config.ini's production settings, as the single-charger window takes them.
  if (options.run.recordPath.empty())
    options.run.recordPath = ReadProfileString(options.configPath, "Record", "Path", "");
  if (ReadProfileString(options.configPath, "Transfer", "Fast", "0") == "1")
    options.run.fast = true;
  // A record that cannot be written is refused before anything is sent, as gang refuses it.
  if (!options.run.recordPath.empty() && !RecordFile::Open(options.run.recordPath, &error)) {
    *problem = error + ".";
    *status = kExitUsage;
    return nullptr;
  }
  if (options.workerProgram.empty()) options.workerProgram = ToolBeside(WorkerPool::ThisProgram());
  const std::string image = options.run.image;
  std::unique_ptr<Station> station(
      new Station(std::move(options), std::move(ports), std::move(settings)));
  if (!given.empty() && !RememberStationPorts(station->m_options.configPath, given, &error)) {
    *problem = error;
    *status = kExitUsage;
    return nullptr;
  }
  // An image named on the command line must be usable; a remembered one that is gone is not
  // worth refusing to open over.
  if (!image.empty()) {
    error = station->OpenImage(image);
    if (!error.empty()) {
      *problem = error;
      *status = kExitUsage;
      return nullptr;
    }
  } else if (!station->m_settings.image.empty()) {
    station->OpenImage(station->m_settings.image);
  }
  return station;
}

Station::Station(Options options, std::vector<std::string> ports, StationSettings settings)
    : m_options(std::move(options)),
      m_ports(std::move(ports)),
      m_settings(std::move(settings)),
      m_model(m_ports),
      m_face(m_model, [this](const ConductorTotals& totals) { RunFinished(totals); }) {
  m_model.SetSound(m_settings.sound);
  m_model.SetVerify(m_options.run.verify);
}

Station::~Station() {
  m_conductor.reset();
}

std::string Station::OpenImage(const std::string& path) {
  std::string problem;
  const std::optional<ImageFacts> image = ReadImage(path, &problem);
  if (!image) return problem;
  m_imagePath = path;
  m_model.SetImage(*image);
  if (!RememberStationImage(m_options.configPath, path, &problem)) return problem;
  return {};
}

void Station::Start() {
  if (m_imagePath.empty() || m_model.GetRun() != StationModel::Run::Stopped) return;
  m_conductor.reset();  // the last run's; it is over
  m_report.reset();
  CliOptions run = m_options.run;
  run.image = m_imagePath;
  std::string problem;
  m_report = std::make_unique<SessionReport>();
  int status = 0;
  std::optional<ConductorPlan> plan = ProgrammingPlan(run, *m_report, &problem, &status);
  if (!plan) {
    m_model.Notice(problem);
    return;
  }
  if (!m_report->Open(run.recordPath, false) || !m_report->StartPosting(run)) {
    m_model.Notice("the record " + run.recordPath + " cannot be written: nothing was started");
    return;
  }
  plan->workerProgram = m_options.workerProgram;
  m_model.SetRun(StationModel::Run::Running);
  m_conductor = std::make_unique<Conductor>(std::move(*plan), m_face);
  m_conductor->Start();
}

void Station::Stop() {
  if (!m_model.ChangeRun(StationModel::Run::Running, StationModel::Run::Stopping)) return;
  m_conductor->Stop(StopCause::Operator);
}

// The conductor's thread, as its last word.
void Station::RunFinished(const ConductorTotals& totals) {
  if (!totals.recordProblem.empty()) m_model.Notice(totals.recordProblem);
  m_model.SetRun(StationModel::Run::Stopped);
}

std::optional<std::string> Station::CloseQuestion() const {
  const int busy = m_model.Busy();
  if (busy == 0) return std::nullopt;
  return std::to_string(busy) + (busy == 1 ? " charger is" : " chargers are") +
         " being programmed. Stop and close? The transfers are cancelled: the chargers leave "
         "their loaders and keep their old firmware.";
}
