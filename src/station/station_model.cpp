#include "station/station_model.h"

#include <algorithm>
#include <cstdio>

#include "platform/printable_text.h"

namespace {

using Clock = StationModel::Clock;

// Running clocks are redrawn together once a second, whenever their sessions began: one
// frame a second for all of them, not one for each.
Clock::time_point NextSecond(Clock::time_point now) {
  return std::chrono::floor<std::chrono::seconds>(now) + std::chrono::seconds(1);
}

void Earliest(std::optional<Clock::time_point>& next, Clock::time_point at) {
  if (!next || at < *next) next = at;
}

// A charger reported in a state event is the one whose result is shown, unless it says
// otherwise.
bool SameCharger(const StationRow& row, const std::optional<MenuReply>& charger) {
  return charger && charger->identification == row.charger && charger->serial == row.serial;
}

}  // namespace

StationModel::StationModel(std::vector<std::string> ports) {
  m_rows.resize(ports.size());
  for (size_t i = 0; i < ports.size(); ++i) m_rows[i].port = std::move(ports[i]);
}

void StationModel::SetImage(const ImageFacts& image, const std::string& jobName) {
  std::unique_lock lock(m_mutex);
  m_image = image;
  m_jobName = jobName;
  m_headerDirty = true;
  Changed(lock);
}

void StationModel::SetSound(bool on) {
  std::lock_guard lock(m_mutex);
  m_soundOn = on;
}

void StationModel::SetVerify(bool on) {
  std::lock_guard lock(m_mutex);
  m_verify = on;
}

void StationModel::SetRun(Run run) {
  std::unique_lock lock(m_mutex);
  if (run == Run::Running) m_notice.clear();
  m_run = run;
  m_headerDirty = true;
  Changed(lock);
}

bool StationModel::ChangeRun(Run from, Run to) {
  std::unique_lock lock(m_mutex);
  if (m_run != from) return false;
  if (to == Run::Running) m_notice.clear();
  m_run = to;
  m_headerDirty = true;
  Changed(lock);
  return true;
}

StationModel::Run StationModel::GetRun() const {
  std::lock_guard lock(m_mutex);
  return m_run;
}

StationModel::Totals StationModel::GetTotals() const {
  std::lock_guard lock(m_mutex);
  return m_totals;
}

int StationModel::Busy() const {
  std::lock_guard lock(m_mutex);
  return static_cast<int>(std::count_if(
      m_rows.begin(), m_rows.end(), [](const Slot& row) { return SessionUnderWay(row.state); }));
}

void StationModel::PortState(size_t index, std::string_view state,
                             const std::optional<MenuReply>& charger, Clock::time_point now) {
  std::unique_lock lock(m_mutex);
  Slot& row = m_rows.at(index);
  // Searching, or no worker serving the port (starting, restarting, stopped).
  const bool answering =
      state == "connected" || state == "programming" || state == "verifying" || state == "done";
  bool changed = true;
  auto found = [&] {
    row.state = RowState::Found;
    row.charger = charger ? charger->identification : std::string();
    row.serial = charger ? charger->serial : std::nullopt;
    row.versionBefore = charger ? charger->version : std::nullopt;
    row.versionAfter.reset();
    row.reason.clear();
    row.took.reset();
    row.started.reset();
    row.chargerGone = false;
  };
  if (state == "programming" && !SessionUnderWay(row.state)) {
    found();
    row.state = RowState::Programming;
    row.percent = 0;
    row.started = now;
  } else if ((state == "done" || state == "verifying") && row.state == RowState::Programming) {
    // The transfer is over and the result is not in yet: the charger is being verified.
    row.state = RowState::Verifying;
  } else if (state == "connected" && !SessionUnderWay(row.state) &&
             (!ShowsResult(row.state) || row.chargerGone || !SameCharger(row, charger))) {
    // A result stays until another charger is plugged in: the one that failed is still there
    // when the port reports it again without having gone in between.
    found();
  } else if (!answering && ShowsResult(row.state)) {
    row.chargerGone = true;
    changed = false;
  } else if (!answering && row.state == RowState::Found) {
    row.state = RowState::Waiting;
  } else {
    changed = false;
  }
  if (!changed) return;
  row.dirty = true;
  Changed(lock);
}

void StationModel::Progress(size_t index, int percent) {
  std::unique_lock lock(m_mutex);
  Slot& row = m_rows.at(index);
  if (row.state != RowState::Programming || row.percent == percent) return;
  row.percent = std::clamp(percent, 0, 100);
  row.dirty = true;
  Changed(lock);
}

void StationModel::SessionEnded(size_t index, const SessionRecord& record) {
  std::unique_lock lock(m_mutex);
  Slot& row = m_rows.at(index);
  std::optional<Sound> sound;
  if (record.result == "succeeded") {
    row.state = RowState::Passed;
    ++m_totals.passed;
    sound = Sound::Pass;
  } else if (record.result == "skipped") {
    row.state = RowState::Skipped;
    ++m_totals.skipped;
    sound = Sound::Pass;
  } else if (record.result == "refused") {
    row.state = RowState::Refused;
    ++m_totals.refused;
    sound = Sound::Fail;
  } else if (record.result == "cancelled") {
    row.state = RowState::Cancelled;  // the operator stopped it: no sound to tell
    ++m_totals.cancelled;
  } else {
    row.state = RowState::Failed;
    ++m_totals.failed;
    sound = Sound::Fail;
  }
  row.charger = record.charger;
  row.serial = record.serial;
  row.versionBefore = record.versionBefore;
  row.versionAfter.reset();
  if (row.state == RowState::Passed && m_verify) row.versionAfter = record.imageVersion;
  row.reason = record.reason;
  row.took = std::chrono::milliseconds(record.durationMs);
  row.started.reset();
  row.chargerGone = false;
  row.percent = 0;
  row.dirty = true;
  // Several results between two frames sound once: a failure over a pass.
  if (m_soundOn && sound && m_sound != Sound::Fail) m_sound = sound;
  m_headerDirty = true;
  Changed(lock);
}

void StationModel::PortProblem(size_t index, const std::string& text) {
  std::unique_lock lock(m_mutex);
  Slot& row = m_rows.at(index);
  if (row.state != RowState::Waiting || row.reason == text) return;
  row.reason = text;
  row.dirty = true;
  Changed(lock);
}

void StationModel::Notice(const std::string& text) {
  std::unique_lock lock(m_mutex);
  m_notice = text;
  m_headerDirty = true;
  Changed(lock);
}

void StationModel::SetChangedListener(std::function<void()> listener) {
  std::lock_guard lock(m_mutex);
  m_listener = std::move(listener);
}

void StationModel::Changed(std::unique_lock<std::mutex>& lock) {
  if (m_wakePending.exchange(true)) return;
  const std::function<void()> listener = m_listener;
  lock.unlock();
  if (listener) listener();
}

StationModel::Frame StationModel::TakeFrame(Clock::time_point now) {
  std::lock_guard lock(m_mutex);
  m_wakePending = false;
  Frame frame;
  if (m_headerDirty) frame.header = Header();
  m_headerDirty = false;
  for (size_t i = 0; i < m_rows.size(); ++i) {
    Slot& row = m_rows[i];
    const bool ticking = SessionUnderWay(row.state) && row.started;
    RowCells cells = CellsOf(row, now);
    if (ticking && cells.elapsed != row.drawnElapsed) row.dirty = true;
    if (row.dirty && now - row.drawnAt < kDrawPeriod) {
      Earliest(frame.next, row.drawnAt + kDrawPeriod);
      continue;
    }
    if (row.dirty) {
      row.dirty = false;
      row.drawnAt = now;
      row.drawnElapsed = cells.elapsed;
      frame.rows.emplace_back(i, std::move(cells));
    }
    if (ticking) Earliest(frame.next, NextSecond(now));
  }
  frame.sound = m_sound;
  m_sound.reset();
  return frame;
}

StationModel::HeaderCells StationModel::Header() const {
  HeaderCells header;
  if (m_image) {
    header.title = m_jobName.empty() ? m_image->name : "Job: " + m_jobName;
    header.details = std::to_string(m_image->size) + " bytes";
    if (m_image->versionTag) header.details += " \u00b7 version " + *m_image->versionTag;
    header.details += " \u00b7 SHA-256 " + m_image->sha256.substr(0, 12);
    if (!m_jobName.empty()) header.details = m_image->name + " \u00b7 " + header.details;
    header.title = PrintableText(header.title);
    header.details = PrintableText(header.details);
  } else {
    header.title = "No firmware image";
    header.details = "Choose one with \"Open image...\", then press Start.";
  }
  header.passed = std::to_string(m_totals.passed);
  header.failed = std::to_string(m_totals.failed);
  header.refused = std::to_string(m_totals.refused);
  const int judged = m_totals.passed + m_totals.failed + m_totals.refused;
  char yield[32] = "-";
  if (judged > 0) std::snprintf(yield, sizeof yield, "%.1f %%", 100.0 * m_totals.passed / judged);
  header.yield = yield;
  if (m_totals.skipped > 0) header.others = std::to_string(m_totals.skipped) + " skipped";
  if (m_totals.cancelled > 0)
    header.others +=
        (header.others.empty() ? "" : ", ") + std::to_string(m_totals.cancelled) + " cancelled";
  switch (m_run) {
    case Run::Stopped:
      header.run = m_image ? "Stopped: press Start" : "Stopped";
      break;
    case Run::Running:
      header.run = "Running";
      break;
    case Run::Stopping:
      header.run = "Stopping: cancelling the transfers";
      break;
  }
  if (!m_notice.empty()) header.run += " \u00b7 " + PrintableText(m_notice);
  header.canStart = m_run == Run::Stopped && m_image.has_value();
  header.canStop = m_run == Run::Running;
  header.canOpen = m_run == Run::Stopped && m_jobName.empty();
  return header;
}
