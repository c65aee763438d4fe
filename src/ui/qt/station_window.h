#pragma once

#include <QWidget>
#include <array>
#include <optional>

#include "station/station_model.h"

class QLabel;
class QPushButton;
class QTableWidget;
class QTimer;
class Station;
class StationSound;

// The production station as a Qt window: the image or job, large totals, Start and Stop, and
// one coloured row per port. It draws what the station's model hands it and passes the
// operator's presses on; the conductor behind the station owns the ports.
class StationWindow : public QWidget {
 public:
  explicit StationWindow(Station& station, QWidget* parent = nullptr);
  ~StationWindow() override;

  QTableWidget* Table() const { return m_table; }
  QPushButton* StartButton() const { return m_start; }
  QPushButton* StopButton() const { return m_stop; }
  QLabel* Total(int which) const { return m_totals[static_cast<size_t>(which)]; }
  // Draws what is due now; the model asks for it, and a timer when a row must wait.
  void Draw();
  // Stops the run without asking and closes once every port has let go.
  void CloseWhenStopped();

 protected:
  void closeEvent(QCloseEvent* event) override;

 private:
  void DrawHeader(const StationModel::HeaderCells& header);
  void DrawRow(size_t row, const RowCells& cells);
  void OnOpenImage();

  Station& m_station;
  QLabel* m_title;
  QLabel* m_details;
  QLabel* m_run;
  QLabel* m_others;
  std::array<QLabel*, 4> m_totals{};  // passed, failed, refused, yield
  QPushButton* m_open;
  QPushButton* m_start;
  QPushButton* m_stop;
  QTableWidget* m_table;
  QTimer* m_frameTimer;
  StationSound* m_sound;
  bool m_closeWhenStopped = false;
};
