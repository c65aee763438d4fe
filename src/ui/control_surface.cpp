#include "control_surface.h"

#include <thread>
#include <utility>

// A worker's change waiting to be applied on the GUI thread.
struct ControlSurface::Call {
  std::function<void()> fn;
  bool done = false;
};

void ControlSurface::RunOnGuiThread(const std::function<void()>& fn) {
  if (OnGuiThread()) {
    if (!Detached()) fn();
    return;
  }
  auto call = std::make_shared<Call>();
  call->fn = fn;
  {
    std::lock_guard lock(m_mutex);
    if (m_detached) return;
    m_calls.push_back(call);
  }
  m_cv.notify_all();
  PostToGuiThread([this] { RunQueued(); });
  std::unique_lock lock(m_mutex);
  m_cv.wait(lock, [&] { return call->done || m_detached; });
}

// GUI thread: applies every queued change in order.
void ControlSurface::RunQueued() {
  std::unique_lock lock(m_mutex);
  while (!m_calls.empty() && !m_detached) {
    auto call = std::move(m_calls.front());
    m_calls.pop_front();
    lock.unlock();
    call->fn();
    lock.lock();
    call->done = true;
    m_cv.notify_all();
  }
}

void ControlSurface::ServeWhile(const std::function<void()>& work) {
  if (!OnGuiThread()) {
    work();
    return;
  }
  bool finished = false;
  std::thread helper([&] {
    work();
    {
      std::lock_guard lock(m_mutex);
      finished = true;
    }
    m_cv.notify_all();
  });
  std::unique_lock lock(m_mutex);
  for (;;) {
    m_cv.wait(lock, [&] { return finished || (!m_calls.empty() && !m_detached); });
    if (finished) break;
    lock.unlock();
    RunQueued();
    lock.lock();
  }
  lock.unlock();
  helper.join();
}

void ControlSurface::Detach() {
  {
    std::lock_guard lock(m_mutex);
    m_detached = true;
    m_calls.clear();
  }
  m_cv.notify_all();
}

bool ControlSurface::Detached() const {
  std::lock_guard lock(m_mutex);
  return m_detached;
}

void ControlSurface::SetTimerHandler(std::function<void(int)> handler) {
  std::lock_guard lock(m_mutex);
  m_timerHandler = std::move(handler);
}

void ControlSurface::TimerFired(int id) {
  std::function<void(int)> handler;
  {
    std::lock_guard lock(m_mutex);
    if (m_detached) return;
    handler = m_timerHandler;
  }
  if (handler) handler(id);
}

void ControlSurface::SetText(int id, const std::string& text) {
  RunOnGuiThread([&] { ApplyText(id, text); });
}

void ControlSurface::Enable(int id, bool enable) {
  RunOnGuiThread([&] { ApplyEnable(id, enable); });
}

void ControlSurface::SetProgressRange(int low, int high) {
  RunOnGuiThread([&] { ApplyProgressRange(low, high); });
}

void ControlSurface::SetProgressPos(int pos) {
  RunOnGuiThread([&] { ApplyProgressPos(pos); });
}

void ControlSurface::AddComboItem(int id, const std::string& text) {
  RunOnGuiThread([&] { ApplyAddComboItem(id, text); });
}

void ControlSurface::SelectComboItem(int id, int index) {
  RunOnGuiThread([&] { ApplySelectComboItem(id, index); });
}

void ControlSurface::ScrollToEnd(int id) {
  RunOnGuiThread([&] { ApplyScrollToEnd(id); });
}

void ControlSurface::MessageBox(const std::string& text, const std::string& caption,
                                MessageIcon icon) {
  RunOnGuiThread([&] { ApplyMessageBox(text, caption, icon); });
}

bool ControlSurface::Ask(const std::string& text) {
  bool yes = false;
  RunOnGuiThread([&] { yes = ApplyAsk(text); });
  return yes;
}

std::optional<std::string> ControlSurface::ChooseFile(const std::string& filter,
                                                      const std::string& startPath) {
  std::optional<std::string> chosen;
  RunOnGuiThread([&] { chosen = ApplyChooseFile(filter, startPath); });
  return chosen;
}

void ControlSurface::ShowAbout() {
  RunOnGuiThread([&] { ApplyShowAbout(); });
}

void ControlSurface::SetTimer(int id, int intervalMs) {
  RunOnGuiThread([&] { ApplySetTimer(id, intervalMs); });
}

void ControlSurface::KillTimer(int id) {
  RunOnGuiThread([&] { ApplyKillTimer(id); });
}
