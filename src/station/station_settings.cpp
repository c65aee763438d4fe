#include "station/station_settings.h"

#include "charger/port_list.h"
#include "image/profile.h"

namespace {

constexpr char kSection[] = "Station";

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
  settings.ports = SplitNameList(ports);
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
