#pragma once

#include <string>
#include <vector>

// config.ini's [Station] section; every other line of the file is left as it is.
//   [Station]
//   Ports=/dev/ttyUSB0,/dev/ttyUSB1   the station's ports, when --ports does not name them
//   Sound=0                           no pass and fail sounds
//   Image=/srv/fw/fw_v20.bin          the last image, or
//   Job=/srv/jobs/line4.ini           the last job
struct StationSettings {
  std::vector<std::string> ports;
  bool sound = true;
  std::string image;
  std::string job;
};

// The settings, or the defaults with `error` set when config.ini cannot be read.
StationSettings ReadStationSettings(const std::string& configPath, std::string* error);
// Each writes config.ini only when the value changes. false, with the reason, on failure.
bool RememberStationPorts(const std::string& configPath, const std::vector<std::string>& ports,
                          std::string* error);
bool RememberStationImage(const std::string& configPath, const std::string& image,
                          std::string* error);
bool RememberStationJob(const std::string& configPath, const std::string& job, std::string* error);
