#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "ui/control_surface.h"
#include "ui/event_loop.h"

// The test face: a GUI thread of its own, every control change recorded, message boxes
// answered at once, questions and the open-file dialog answered from a script.
class RecordingSurface : public ControlSurface {
 public:
  RecordingSurface();
  ~RecordingSurface() override;

  // Runs `fn` on the GUI thread and waits, whatever happens to the surface meanwhile.
  void OnGui(const std::function<void()>& fn);
  // Waits until `condition` holds (re-checked after every change) or `timeout` passes.
  bool WaitFor(const std::function<bool()>& condition,
               std::chrono::milliseconds timeout = std::chrono::seconds(10));

  std::string Text(int id) const;
  // Enabled state; controls never touched count as enabled, as a fresh window has them.
  bool Enabled(int id) const;
  int ProgressPos() const;
  std::vector<std::string> ComboItems(int id) const;
  std::vector<std::string> MessageBoxes() const;
  // Every change as "text 1020=...", "enable 1005=1", "progress 34", ... in order.
  std::vector<std::string> Log() const;
  bool TimerArmed(int id) const;
  int TimerInterval(int id) const;
  void SetNextChosenFile(std::optional<std::string> path);
  // The answer to the next question (Yes when true); No, the default, after that.
  void SetNextAnswer(bool yes);
  std::vector<std::string> Questions() const;
  // How many texts control `id` has been given.
  int TextWrites(int id) const;
  std::thread::id GuiThreadId() const { return m_guiThreadId; }

 protected:
  CONTROL_SURFACE_OVERRIDES;

 private:
  void Record(std::string entry);

  EventLoop m_loop;
  std::thread m_gui;
  std::thread::id m_guiThreadId;
  mutable std::mutex m_mutex;
  std::condition_variable m_changed;
  std::map<int, std::string> m_texts;
  std::map<int, int> m_textWrites;
  std::map<int, bool> m_enabled;
  std::map<int, std::vector<std::string>> m_combo;
  std::map<int, int> m_timers;
  std::vector<std::string> m_boxes;
  std::vector<std::string> m_log;
  std::optional<std::string> m_nextChosenFile;
  std::vector<std::string> m_questions;
  bool m_nextAnswer = false;
  int m_progressPos = 0;
};
