#include "station/station_face.h"

void StationFace::PortChanged(size_t index, const PortRow& row, Change change) {
  if (change == Change::Progress)
    m_model.Progress(index, row.percent);
  else
    m_model.PortState(index, PhaseName(row.phase), row.charger, row.since);
}

void StationFace::SessionEnded(size_t index, const PortRow&, const SessionRecord& record) {
  m_model.SessionEnded(index, record);
}

void StationFace::Notice(std::optional<size_t> index, const std::string& text) {
  if (index)
    m_model.PortProblem(*index, text);
  else
    m_model.Notice(text);
}

void StationFace::Finished(const ConductorTotals& totals) {
  m_finished(totals);
}
