#pragma once

#include <cstdio>
#include <map>
#include <mutex>
#include <string>

#include "ui/control_surface.h"
#include "ui/event_loop.h"

// The command-line face: keeps the controls' state, shows progress on stderr, and turns
// message boxes into lines on stderr. Its GUI thread is the EventLoop's.
class TerminalView : public ControlSurface {
 public:
  enum class Progress {
    None,
    Bar,    // redrawn in place, for a terminal
    Lines,  // "Programming: 40%" once per 10 %, for logs
  };
  TerminalView(EventLoop& loop, std::FILE* err, Progress progress);

  std::string Text(int id) const;
  bool Enabled(int id) const;
  // Ends the progress line so the next output starts on a line of its own.
  void FinishProgress();

 protected:
  CONTROL_SURFACE_OVERRIDES;

 private:
  EventLoop& m_loop;
  std::FILE* m_err;
  Progress m_progress;
  mutable std::mutex m_mutex;
  std::map<int, std::string> m_texts;
  std::map<int, bool> m_enabled;
  int m_progressHigh = 100;
  int m_drawnPos = -1;     // the bar's position; -1 when no bar is on the line
  int m_loggedTenths = 0;  // tens of percent already logged in this session
};
