#include "event_loop.h"

#include <utility>

void EventLoop::Run() {
  RunUntil([] { return false; }, std::chrono::hours(24 * 365 * 100));
}

bool EventLoop::RunUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  std::unique_lock lock(m_mutex);
  for (;;) {
    lock.unlock();
    const bool finished = done();
    lock.lock();
    if (finished) return true;
    if (m_quit || Clock::now() >= deadline) return false;
    RunOne(lock, deadline);
  }
}

// Waits for and runs one task or due timer (or returns at a wake-up or the deadline).
bool EventLoop::RunOne(std::unique_lock<std::mutex>& lock, Clock::time_point deadline) {
  for (;;) {
    if (m_quit) return false;
    if (m_woken) {
      m_woken = false;
      return false;
    }
    if (!m_tasks.empty()) {
      auto task = std::move(m_tasks.front());
      m_tasks.pop_front();
      lock.unlock();
      task();
      lock.lock();
      return true;
    }
    auto next = deadline;
    int dueId = 0;
    bool haveDue = false;
    for (auto& [id, timer] : m_timers) {
      if (timer.due < next) {
        next = timer.due;
        dueId = id;
        haveDue = true;
      }
    }
    if (haveDue && next <= Clock::now()) {
      auto& timer = m_timers[dueId];
      timer.due = Clock::now() + timer.interval;
      auto onExpiry = timer.onExpiry;
      lock.unlock();
      onExpiry();
      lock.lock();
      return true;
    }
    if (Clock::now() >= deadline) return false;
    m_cv.wait_until(lock, next);
  }
}

void EventLoop::BindToCurrentThread() {
  std::lock_guard lock(m_mutex);
  m_loopThread = std::this_thread::get_id();
}

void EventLoop::Quit() {
  {
    std::lock_guard lock(m_mutex);
    m_quit = true;
  }
  m_cv.notify_all();
}

void EventLoop::Wake() {
  {
    std::lock_guard lock(m_mutex);
    m_woken = true;
  }
  m_cv.notify_all();
}

bool EventLoop::IsLoopThread() const {
  std::lock_guard lock(m_mutex);
  return m_loopThread == std::this_thread::get_id();
}

void EventLoop::Post(std::function<void()> task) {
  {
    std::lock_guard lock(m_mutex);
    m_tasks.push_back(std::move(task));
  }
  m_cv.notify_all();
}

void EventLoop::SetTimer(int id, int intervalMs, std::function<void()> onExpiry) {
  {
    std::lock_guard lock(m_mutex);
    const auto interval = std::chrono::milliseconds(intervalMs);
    m_timers[id] = Timer{interval, Clock::now() + interval, std::move(onExpiry)};
  }
  m_cv.notify_all();
}

void EventLoop::KillTimer(int id) {
  std::lock_guard lock(m_mutex);
  m_timers.erase(id);
}
