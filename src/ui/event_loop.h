#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <thread>

// A GUI thread for faces without a toolkit: tasks and repeating timers run on the thread
// that calls Run(). Sleeps until the next task or timer; never polls.
class EventLoop {
 public:
  using Clock = std::chrono::steady_clock;

  // The constructing thread is the loop thread until BindToCurrentThread() moves it.
  EventLoop() : m_loopThread(std::this_thread::get_id()) {}
  void BindToCurrentThread();

  // Runs until Quit(); the calling thread becomes the loop thread.
  void Run();
  // Runs until `done()` holds (checked after every task and timer) or `timeout` passes.
  // true when `done()` held.
  bool RunUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout);
  // Sticky: every later RunUntil returns at once.
  void Quit();
  // Wakes the loop so RunUntil re-checks its condition.
  void Wake();
  bool IsLoopThread() const;
  void Post(std::function<void()> task);
  void SetTimer(int id, int intervalMs, std::function<void()> onExpiry);
  void KillTimer(int id);

 private:
  struct Timer {
    std::chrono::milliseconds interval;
    Clock::time_point due;
    std::function<void()> onExpiry;
  };
  bool RunOne(std::unique_lock<std::mutex>& lock, Clock::time_point deadline);

  mutable std::mutex m_mutex;
  std::condition_variable m_cv;
  std::deque<std::function<void()>> m_tasks;
  std::map<int, Timer> m_timers;
  bool m_quit = false;
  bool m_woken = false;
  std::thread::id m_loopThread;
};
