#include "station/station.h"

#include <utility>

#include "charger/port_list.h"
#include "cli/job_options.h"
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
  const std::string folder = FolderOf(self);
  const size_t dot = self.rfind('.');
  const std::string extension =
      dot != std::string::npos && dot >= folder.size() ? self.substr(dot) : "";
  return folder + "charger-updater-cli" + extension;
}

// `text` to go on with: without the full stop some reasons end with.
std::string WithoutStop(std::string text) {
  if (!text.empty() && text.back() == '.') text.pop_back();
  return text;
}

}  // namespace

std::unique_ptr<Station> Station::Open(Options options, std::string* problem, int* status) {
  const auto refuse = [&](std::string text, int code) {
    *problem = std::move(text);
    *status = code;
    return std::unique_ptr<Station>();
  };
  std::string error;
  StationSettings settings = ReadStationSettings(options.configPath, &error);
  if (!error.empty()) return refuse(error, kExitUsage);
  const std::vector<std::string> given = options.run.ports;
  std::vector<std::string> ports = given;
  if (ports.empty()) ports = settings.ports;
  if (ports.empty()) ports = ListSerialPorts();
  if (ports.empty())
    return refuse(
        "No serial ports found. Plug in the chargers' hub, or name the ports with --ports "
        "(or [Station] Ports= in " +
            options.configPath + ").",
        kExitNoCharger);
  options.run.ports = ports;
  std::string lastJobProblem;
  if (!options.run.job.empty()) {
    if (std::string why = ReadJobInto(options.run); !why.empty()) {
      if (options.jobFrom != Options::JobFrom::Last)
        return refuse(WithoutStop(why) + ". Correct the job, or open the station without it.",
                      kExitUsage);
      lastJobProblem = why;
      options.run.job.clear();
    }
  }
  // config.ini's production settings, as the single-charger window takes them; a job's
  // Record= and Fast= take the place of [Record] Path= and [Transfer] Fast=.
  if (options.run.job.empty()) {
    if (options.run.recordPath.empty())
      options.run.recordPath = ReadProfileString(options.configPath, "Record", "Path", "");
    if (ReadProfileString(options.configPath, "Transfer", "Fast", "0") == "1")
      options.run.fast = true;
  }
  // Rows go to --post's server or the job's Url=, else to config.ini's [Record] Url=; the workers
  // are told too, for the rows they write themselves should the station be gone.
  if (std::string why = PostingWithoutServer(options.run); !why.empty())
    return refuse(why + ".", kExitUsage);
  PostSettings post;
  if (!options.run.postUrl.empty())
    error = PostSettingsOf(options.run, &post);
  else if (!PostSettingsFromProfile(options.configPath, nullptr, &post, &error))
    return refuse(error, kExitUsage);
  if (!error.empty()) return refuse(error + ".", kExitUsage);
  options.run.postUrl = post.url;
  options.run.spoolFolder = post.spoolFolder;
  options.run.caCert = post.caCert;
  // A record that cannot be written is refused before anything is sent, as gang refuses it.
  if (!options.run.recordPath.empty() && !RecordFile::Open(options.run.recordPath, &error))
    return refuse(error + ".", kExitUsage);
  if (options.workerProgram.empty()) options.workerProgram = ToolBeside(WorkerPool::ThisProgram());
  const std::string image = options.run.image;
  std::unique_ptr<Station> station(
      new Station(std::move(options), std::move(ports), std::move(settings)));
  station->m_post = std::move(post);
  const Options& opened = station->m_options;
  if (!given.empty() && !RememberStationPorts(opened.configPath, given, &error))
    return refuse(error, kExitUsage);
  if (!opened.run.job.empty()) {
    error = station->LoadImage(image);
    if (error.empty() && opened.jobFrom == Options::JobFrom::CommandLine)
      RememberStationJob(opened.configPath, opened.run.job, &error);
    if (!error.empty()) return refuse(error, kExitUsage);
  } else if (!image.empty()) {
    // An image named on the command line must be usable; a remembered one that is gone is
    // not worth refusing to open over.
    error = station->OpenImage(image);
    if (!error.empty()) return refuse(error, kExitUsage);
  } else if (!station->m_settings.image.empty()) {
    station->OpenImage(station->m_settings.image);
  }
  if (!lastJobProblem.empty())
    station->m_model.Notice("the station's last job was not opened: " + lastJobProblem);
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
  m_model.SetRetries(m_options.run.retries);
}

Station::~Station() {
  m_conductor.reset();
}

std::string Station::OpenImage(const std::string& path) {
  if (!m_options.run.job.empty())
    return "the job " + m_options.run.job + " fixes the image; open the station without it";
  std::string problem = LoadImage(path);
  if (!problem.empty()) return problem;
  RememberStationImage(m_options.configPath, path, &problem);
  return problem;
}

std::string Station::LoadImage(const std::string& path) {
  std::string problem;
  const std::optional<ImageFacts> image = ReadImage(path, &problem);
  if (!image) return problem;
  m_imagePath = path;
  m_model.SetImage(*image, m_options.run.context.job);
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
  if (!m_report->Open(run.recordPath, false)) {
    m_model.Notice("the record " + run.recordPath + " cannot be written: nothing was started");
    return;
  }
  if (!m_report->StartPosting(m_post, &problem)) {
    m_model.Notice("rows cannot be queued for " + m_post.url + " (" + problem +
                   "): nothing was started");
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
