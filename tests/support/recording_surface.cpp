#include "recording_surface.h"

#include <future>
#include <utility>

RecordingSurface::RecordingSurface() {
  std::promise<void> started;
  m_gui = std::thread([this, &started] {
    m_loop.BindToCurrentThread();
    m_guiThreadId = std::this_thread::get_id();
    started.set_value();
    m_loop.Run();
  });
  started.get_future().wait();
}

RecordingSurface::~RecordingSurface() {
  m_loop.Quit();
  m_gui.join();
}

void RecordingSurface::OnGui(const std::function<void()>& fn) {
  std::promise<void> done;
  m_loop.Post([&] {
    fn();
    done.set_value();
  });
  done.get_future().wait();
}

bool RecordingSurface::WaitFor(const std::function<bool()>& condition,
                               std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  std::unique_lock lock(m_mutex);
  for (;;) {
    lock.unlock();
    if (condition()) return true;
    lock.lock();
    // Engine flags change without a control change now and then; re-check at least every
    // 20 ms so such a change is not missed.
    if (m_changed.wait_until(lock, std::min(deadline, std::chrono::steady_clock::now() +
                                                          std::chrono::milliseconds(20))) ==
            std::cv_status::timeout &&
        std::chrono::steady_clock::now() >= deadline) {
      lock.unlock();
      return condition();
    }
  }
}

std::string RecordingSurface::Text(int id) const {
  std::lock_guard lock(m_mutex);
  auto it = m_texts.find(id);
  return it == m_texts.end() ? std::string() : it->second;
}

bool RecordingSurface::Enabled(int id) const {
  std::lock_guard lock(m_mutex);
  auto it = m_enabled.find(id);
  return it == m_enabled.end() || it->second;
}

int RecordingSurface::ProgressPos() const {
  std::lock_guard lock(m_mutex);
  return m_progressPos;
}

std::vector<std::string> RecordingSurface::ComboItems(int id) const {
  std::lock_guard lock(m_mutex);
  auto it = m_combo.find(id);
  return it == m_combo.end() ? std::vector<std::string>() : it->second;
}

std::vector<std::string> RecordingSurface::MessageBoxes() const {
  std::lock_guard lock(m_mutex);
  return m_boxes;
}

std::vector<std::string> RecordingSurface::Log() const {
  std::lock_guard lock(m_mutex);
  return m_log;
}

bool RecordingSurface::TimerArmed(int id) const {
  std::lock_guard lock(m_mutex);
  return m_timers.count(id) != 0;
}

int RecordingSurface::TimerInterval(int id) const {
  std::lock_guard lock(m_mutex);
  auto it = m_timers.find(id);
  return it == m_timers.end() ? 0 : it->second;
}

int RecordingSurface::TextWrites(int id) const {
  std::lock_guard lock(m_mutex);
  auto it = m_textWrites.find(id);
  return it == m_textWrites.end() ? 0 : it->second;
}

void RecordingSurface::SetNextAnswer(bool yes) {
  std::lock_guard lock(m_mutex);
  m_nextAnswer = yes;
}

std::vector<std::string> RecordingSurface::Questions() const {
  std::lock_guard lock(m_mutex);
  return m_questions;
}

void RecordingSurface::SetNextChosenFile(std::optional<std::string> path) {
  std::lock_guard lock(m_mutex);
  m_nextChosenFile = std::move(path);
}

void RecordingSurface::Record(std::string entry) {
  m_log.push_back(std::move(entry));
  m_changed.notify_all();
}

void RecordingSurface::ApplyText(int id, const std::string& text) {
  std::lock_guard lock(m_mutex);
  m_texts[id] = text;
  ++m_textWrites[id];
  Record("text " + std::to_string(id) + "=" + text);
}

void RecordingSurface::ApplyEnable(int id, bool enable) {
  std::lock_guard lock(m_mutex);
  m_enabled[id] = enable;
  Record("enable " + std::to_string(id) + "=" + (enable ? "1" : "0"));
}

void RecordingSurface::ApplyProgressRange(int low, int high) {
  std::lock_guard lock(m_mutex);
  Record("range " + std::to_string(low) + ".." + std::to_string(high));
}

void RecordingSurface::ApplyProgressPos(int pos) {
  std::lock_guard lock(m_mutex);
  m_progressPos = pos;
  Record("progress " + std::to_string(pos));
}

void RecordingSurface::ApplyAddComboItem(int id, const std::string& text) {
  std::lock_guard lock(m_mutex);
  m_combo[id].push_back(text);
  Record("combo " + std::to_string(id) + "+=" + text);
}

void RecordingSurface::ApplySelectComboItem(int id, int index) {
  std::lock_guard lock(m_mutex);
  Record("select " + std::to_string(id) + "=" + std::to_string(index));
}

void RecordingSurface::ApplyScrollToEnd(int id) {
  std::lock_guard lock(m_mutex);
  Record("scroll " + std::to_string(id));
}

void RecordingSurface::ApplyMessageBox(const std::string& text, const std::string&, MessageIcon) {
  std::lock_guard lock(m_mutex);
  m_boxes.push_back(text);
  Record("box " + text);
}

bool RecordingSurface::ApplyAsk(const std::string& text) {
  std::lock_guard lock(m_mutex);
  m_questions.push_back(text);
  Record("ask " + text);
  return std::exchange(m_nextAnswer, false);
}

std::optional<std::string> RecordingSurface::ApplyChooseFile(const std::string&,
                                                             const std::string& startPath) {
  std::lock_guard lock(m_mutex);
  Record(startPath.empty() ? "choose" : "choose from " + startPath);
  return std::exchange(m_nextChosenFile, std::nullopt);
}

void RecordingSurface::ApplyShowAbout() {
  std::lock_guard lock(m_mutex);
  Record("about");
}

void RecordingSurface::ApplySetTimer(int id, int intervalMs) {
  {
    std::lock_guard lock(m_mutex);
    m_timers[id] = intervalMs;
    Record("timer " + std::to_string(id) + "=" + std::to_string(intervalMs));
  }
  m_loop.SetTimer(id, intervalMs, [this, id] { TimerFired(id); });
}

void RecordingSurface::ApplyKillTimer(int id) {
  m_loop.KillTimer(id);
  std::lock_guard lock(m_mutex);
  m_timers.erase(id);
  Record("kill " + std::to_string(id));
}

bool RecordingSurface::OnGuiThread() const {
  return m_loop.IsLoopThread();
}

void RecordingSurface::PostToGuiThread(std::function<void()> task) {
  m_loop.Post(std::move(task));
}
