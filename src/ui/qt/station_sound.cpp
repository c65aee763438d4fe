#include "ui/qt/station_sound.h"

#include <QSoundEffect>
#include <QUrl>

namespace {

QSoundEffect* Effect(QObject* parent, const char* url) {
  auto* effect = new QSoundEffect(parent);
  effect->setSource(QUrl(QString::fromLatin1(url)));
  return effect;
}

}  // namespace

StationSound::StationSound(QObject* parent) : QObject(parent) {}

StationSound::~StationSound() = default;

void StationSound::Play(StationModel::Sound sound) {
  if (m_pass == nullptr) {
    m_pass = Effect(this, "qrc:/sounds/pass.wav");
    m_fail = Effect(this, "qrc:/sounds/fail.wav");
  }
  QSoundEffect* effect = sound == StationModel::Sound::Pass ? m_pass : m_fail;
  effect->play();
}
