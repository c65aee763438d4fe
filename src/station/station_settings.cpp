#include "station/station_settings.h"

#include "image/profile.h"

namespace {

constexpr char kSection[] = "Station";

std::vector<std::string> SplitPorts(const std::string& text) {
  std::vector<std::string> ports;
  size_t start = 0;
  while (start <= text.size()) {
    size_t end = text.find(',', start);
    if (end == std::string::npos) end = text.size();
    std::string port = text.substr(start, end - start);
    const size_t first = port.find_first_not_of(" \t");
    if (first != std::string::npos)
      ports.push_back(port.substr(first, port.find_last_not_of(" \t") - first + 1));
    start = end + 1;
  }
  return ports;
}

// The one of Image= and Job= that is set; the other is cleared when it held something.
bool RememberOneOf(const std::string& configPath, const char* key, const char* other,
                   const std::string& value, std::string* error) {
  if (!WriteProfileString(configPath, kSection, key, value, error)) return false;
  if (ReadProfileString(configPath, kSection, other, "").empty()) return true;
  return WriteProfileString(configPath, kSection, other, "", error);
}

}  // namespace

StationSettings ReadStationSettings(const std::string& configPath, std::string* error) {
  StationSettings settings;
  std::string problem;
  const std::string ports =
      ReadProfileString(configPath, kSection, "Ports", "", kWholeValue, &problem);
  if (!problem.empty()) {
    if (error) *error = problem;
    return settings;
  }
  settings.ports = SplitPorts(ports);
  settings.sound = ReadProfileString(configPath, kSection, "Sound", "1") != "0";
  settings.image = ReadProfileString(configPath, kSection, "Image", "");
  settings.job = ReadProfileString(configPath, kSection, "Job", "");
  return settings;
}

bool RememberStationPorts(const std::string& configPath, const std::vector<std::string>& ports,
                          std::string* error) {
  std::string joined;
  for (const auto& port : ports) joined += (joined.empty() ? "" : ",") + port;
  return WriteProfileString(configPath, kSection, "Ports", joined, error);
}

bool RememberStationImage(const std::string& configPath, const std::string& image,
                          std::string* error) {
  return RememberOneOf(configPath, "Image", "Job", image, error);
}

bool RememberStationJob(const std::string& configPath, const std::string& job, std::string* error) {
  return RememberOneOf(configPath, "Job", "Image", job, error);
}
