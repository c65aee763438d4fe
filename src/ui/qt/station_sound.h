#pragma once

#include <QObject>
#include <memory>

#include "station/station_model.h"

class QSoundEffect;

// The station's pass and fail sounds, shipped inside the program, played without blocking.
// Without a sound device they stay silent. The sound system is loaded at the first sound.
class StationSound : public QObject {
 public:
  explicit StationSound(QObject* parent);
  ~StationSound() override;
  void Play(StationModel::Sound sound);

 private:
  QSoundEffect* m_pass = nullptr;
  QSoundEffect* m_fail = nullptr;
};
