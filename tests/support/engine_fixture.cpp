#include "engine_fixture.h"

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>

#include "serial/serial_port.h"

namespace enginetest {

SilentPort::SilentPort() {
  m_master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (m_master < 0 || ::grantpt(m_master) != 0 || ::unlockpt(m_master) != 0) {
    ADD_FAILURE() << "no pty for a silent port";
    return;
  }
  char name[128];
  if (::ptsname_r(m_master, name, sizeof name) != 0) {
    ADD_FAILURE() << "no slave name for a silent port";
    return;
  }
  m_path = name;
}

SilentPort::~SilentPort() {
  if (m_master >= 0) ::close(m_master);
}

std::function<void(const std::string&)> SimLog::Sink() {
  return [this](const std::string& text) {
    std::lock_guard lock(m_mutex);
    m_lines.push_back(text);
  };
}

std::vector<std::string> SimLog::Lines() const {
  std::lock_guard lock(m_mutex);
  return m_lines;
}

bool SimLog::Contains(const std::string& part) const {
  std::lock_guard lock(m_mutex);
  for (const auto& line : m_lines)
    if (line.find(part) != std::string::npos) return true;
  return false;
}

int SimLog::Count(const std::string& part) const {
  std::lock_guard lock(m_mutex);
  int count = 0;
  for (const auto& line : m_lines)
    if (line.find(part) != std::string::npos) ++count;
  return count;
}

std::string StandardMenuReply(const chargersim::Identity& identity) {
  return chargersim::BuildMenuReply(identity);
}

std::vector<uint8_t> MakeImage(size_t size, uint32_t seed) {
  std::vector<uint8_t> image(size);
  std::mt19937 random(seed);
  for (uint8_t& b : image) b = static_cast<uint8_t>(random());
  for (size_t i = 100; i + 1 < image.size(); i += 997) image[i] = image[i + 1] = 0xFF;
  return image;
}

EngineFixture::EngineFixture() {
  std::string pattern = (std::filesystem::temp_directory_path() / "dlgtest.XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) ADD_FAILURE() << "no scratch directory";
  dir = pattern;
}

EngineFixture::~EngineFixture() {
  StopEngine();
  sim.Stop();
  std::error_code ignored;
  std::filesystem::remove_all(dir, ignored);
}

CQuorlinDlg::Options EngineFixture::EngineOptions(std::vector<std::string> ports) const {
  return CQuorlinDlg::Options{.configPath = dir + "/config.ini",
                              .ports = std::move(ports),
                              .watchdogMs = 1500,
                              .startSupervisor = false};
}

CQuorlinDlg& EngineFixture::StartEngine(CQuorlinDlg::Options options) {
  StopEngine();
  dlg = std::make_unique<CQuorlinDlg>(surface, g_serial, std::move(options));
  surface.OnGui([this] { dlg->OnInitDialog(); });
  return *dlg;
}

CQuorlinDlg& EngineFixture::StartEngineWithoutCharger() {
  return StartEngine(EngineOptions({dir + "/no-such-port"}));
}

void EngineFixture::StopEngine() {
  if (!dlg) return;
  surface.OnGui([this] { dlg->Shutdown(); });
  dlg.reset();
}

bool EngineFixture::StartSim(chargersim::Options options) {
  options.verbose = true;
  options.log = simLog.Sink();
  std::string error;
  if (!sim.Start(std::move(options), &error)) {
    ADD_FAILURE() << "simulator: " << error;
    return false;
  }
  return true;
}

bool EngineFixture::StartEngineOnSim(chargersim::Options simOptions,
                                     std::function<void(CQuorlinDlg::Options&)> tweak) {
  if (!StartSim(std::move(simOptions))) return false;
  CQuorlinDlg::Options options = EngineOptions({sim.SlavePath()});
  if (tweak) tweak(options);
  StartEngine(std::move(options));
  return WaitAdopted();
}

bool EngineFixture::WaitAdopted(std::chrono::milliseconds timeout) {
  return WaitFor(
      [this] { return dlg && dlg->m_bSearching == 0 && !dlg->m_strPortName.Get().empty(); },
      timeout);
}

std::string EngineFixture::WriteFile(const std::string& name,
                                     const std::vector<uint8_t>& bytes) const {
  const std::string path = dir + "/" + name;
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  file.write(reinterpret_cast<const char*>(bytes.data()),
             static_cast<std::streamsize>(bytes.size()));
  if (!file) ADD_FAILURE() << "cannot write " << path;
  return path;
}

std::string EngineFixture::ReadFile(const std::string& path) const {
  std::ifstream file(path, std::ios::binary);
  std::stringstream text;
  text << file.rdbuf();
  return text.str();
}

void EngineFixture::OpenFile(std::optional<std::string> path) {
  surface.SetNextChosenFile(std::move(path));
  surface.OnGui([this] { dlg->OnFileOpen(); });
}

void EngineFixture::Receive(const std::string& chunk) {
  CQuorlinDlg::ReceiveHandler(dlg.get(), reinterpret_cast<const uint8_t*>(chunk.data()),
                              static_cast<uint32_t>(chunk.size()));
}

}  // namespace enginetest
