#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "cli/commands.h"
#include "cli/session_report.h"
#include "conductor/conductor.h"
#include "station/station_face.h"
#include "station/station_model.h"
#include "station/station_settings.h"

// The production station behind its window: its ports, image and settings, the model the
// window draws, and the runs it starts and stops. The window's own thread calls it.
class Station {
 public:
  struct Options {
    // As gang takes them: the ports (empty: [Station] Ports=, else the system's list), the
    // image (empty: [Station] Image=), --count, --timeout and the production options (the
    // record: [Record] Path= when none is given; --fast: also [Transfer] Fast=1).
    CliOptions run;
    std::string configPath = "config.ini";
    bool start = false;  // --start: Start at once
    // The command-line tool the workers run; empty: charger-updater-cli beside this program.
    std::string workerProgram;
  };

  // The Windows-style filter of "Open image...".
  static constexpr char kImageFilter[] = "Bin Files(*.bin)|*.bin|all files(*.*)|*.*||";

  // nullptr, with what to tell the operator and the exit status, when the station cannot
  // open: no port to serve, an image given that is refused, a config.ini that cannot be read.
  static std::unique_ptr<Station> Open(Options options, std::string* problem, int* status);
  // Stops a run still going and waits for its end.
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
  // Cancels every transfer in flight (the chargers get CAN; the sessions count as cancelled);
  // the run ends once every port has let go.
  void Stop();
  // What to ask before the window closes, while transfers run.
  std::optional<std::string> CloseQuestion() const;

 private:
  Station(Options options, std::vector<std::string> ports, StationSettings settings);

  void RunFinished(const ConductorTotals& totals);

  Options m_options;
  std::vector<std::string> m_ports;
  StationSettings m_settings;
  StationModel m_model;
  std::string m_imagePath;
  StationFace m_face;
  std::unique_ptr<SessionReport> m_report;  // where the run's rows go
  // The run, or the last one; after the face and the report, which it uses until it is gone.
  std::unique_ptr<Conductor> m_conductor;
};
