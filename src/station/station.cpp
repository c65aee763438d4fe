#include "station/station.h"

#include <utility>

#include "charger/port_list.h"
#include "image/image_file.h"
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

}  // namespace

std::unique_ptr<Station> Station::Open(Options options, std::string* problem, int* status) {
  std::string error;
  StationSettings settings = ReadStationSettings(options.configPath, &error);
  if (!error.empty()) {
    *problem = error;
    *status = kExitUsage;
    return nullptr;
  }
  std::vector<std::string> ports = options.ports;
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
  std::unique_ptr<Station> station(new Station(options, std::move(ports), std::move(settings)));
  if (!options.ports.empty() && !RememberStationPorts(options.configPath, options.ports, &error)) {
    *problem = error;
    *status = kExitUsage;
    return nullptr;
  }
  // An image named on the command line must be usable; a remembered one that is gone is not
  // worth refusing to open over.
  if (!options.image.empty()) {
    error = station->OpenImage(options.image);
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
      m_model(m_ports) {
  m_model.SetSound(m_settings.sound);
}

Station::~Station() = default;

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
  m_model.SetRun(StationModel::Run::Running);
}

void Station::Stop() {
  if (m_model.GetRun() != StationModel::Run::Running) return;
  m_model.SetRun(StationModel::Run::Stopped);
}

std::optional<std::string> Station::CloseQuestion() const {
  const int busy = m_model.Busy();
  if (busy == 0) return std::nullopt;
  return std::to_string(busy) + (busy == 1 ? " charger is" : " chargers are") +
         " being programmed. Stop and close? The transfers are cancelled: the chargers leave "
         "their loaders and keep their old firmware.";
}
