#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "station/station_model.h"
#include "station/station_settings.h"

// The production station behind its window: its ports, image and settings, the model the
// window draws, and the runs it starts and stops. The window's own thread calls it.
class Station {
 public:
  struct Options {
    std::vector<std::string> ports;  // empty: [Station] Ports=, else the system's list
    std::string image;               // empty: [Station] Image=
    std::string configPath = "config.ini";
    int count = 0;  // the run ends after this many sessions in all; 0: when stopped
    double timeoutSeconds = 35;
    bool start = false;  // --start: Start at once
  };

  // The Windows-style filter of "Open image...".
  static constexpr char kImageFilter[] = "Bin Files(*.bin)|*.bin|all files(*.*)|*.*||";

  // nullptr, with what to tell the operator and the exit status, when the station cannot
  // open: no port to serve, an image given that is refused, a config.ini that cannot be read.
  static std::unique_ptr<Station> Open(Options options, std::string* problem, int* status);
  ~Station();
  Station(const Station&) = delete;
  Station& operator=(const Station&) = delete;

  StationModel& Model() { return m_model; }
  const std::vector<std::string>& Ports() const { return m_ports; }
  bool SoundOn() const { return m_settings.sound; }
  bool StartsAtOnce() const { return m_options.start; }

  // Loads and checks an image for the next Start; empty when accepted, else why not.
  std::string OpenImage(const std::string& path);
  void Start();
  // Cancels every transfer in flight; the run ends once every port has let go.
  void Stop();
  // What to ask before the window closes, while transfers run.
  std::optional<std::string> CloseQuestion() const;

 private:
  Station(Options options, std::vector<std::string> ports, StationSettings settings);

  Options m_options;
  std::vector<std::string> m_ports;
  StationSettings m_settings;
  StationModel m_model;
  std::string m_imagePath;
};
