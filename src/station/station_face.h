#pragma once

#include <functional>

#include "conductor/conductor_face.h"
#include "station/station_model.h"

// The conductor's face for the station's windows: each port's news goes to the model, which the
// window draws at its own pace. Called on the conductor's thread; never waits for the window.
class StationFace : public ConductorFace {
 public:
  // `finished` runs on the conductor's thread once the run is over.
  StationFace(StationModel& model, std::function<void(const ConductorTotals&)> finished)
      : m_model(model), m_finished(std::move(finished)) {}

  void PortChanged(size_t index, const PortRow& row, Change change) override;
  void SessionEnded(size_t index, const PortRow& row, const SessionRecord& record) override;
  void Notice(std::optional<size_t> index, const std::string& text) override;
  void Finished(const ConductorTotals& totals) override;

 private:
  StationModel& m_model;
  std::function<void(const ConductorTotals&)> m_finished;
};
