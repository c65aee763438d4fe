#include <windows.h>

#include <cstdlib>
#include <mutex>

#include "signal_stop.h"

namespace {

// The console calls its handlers on a thread of its own, with no argument to find us by.
std::mutex g_activeMutex;
SignalStop* g_active = nullptr;
HANDLE g_stopped = nullptr;  // set once the clean stop is done
// Windows ends the process about 5 s after a close; the clean stop must fit before.
constexpr DWORD kCloseGraceMs = 4500;

}  // namespace

struct SignalStop::Waiter {
  static BOOL WINAPI OnConsoleEvent(DWORD event) {
    std::unique_lock lock(g_activeMutex);
    if (g_active == nullptr) return FALSE;
    SignalStop& stop = *g_active;
    if (stop.m_interrupted.exchange(true)) std::_Exit(130);
    stop.m_loop.Quit();
    HANDLE stopped = g_stopped;
    lock.unlock();
    // Returning from a close, log-off or shutdown ends the process at once.
    if (event == CTRL_CLOSE_EVENT || event == CTRL_LOGOFF_EVENT || event == CTRL_SHUTDOWN_EVENT)
      WaitForSingleObject(stopped, kCloseGraceMs);
    return TRUE;
  }
};

SignalStop::SignalStop(EventLoop& loop) : m_loop(loop) {
  std::lock_guard lock(g_activeMutex);
  g_active = this;
  if (g_stopped == nullptr) g_stopped = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  SetConsoleCtrlHandler(&Waiter::OnConsoleEvent, TRUE);
}

// The handler stays installed: once we are gone it declines, and Windows' own handling ends
// the process.
SignalStop::~SignalStop() {
  std::lock_guard lock(g_activeMutex);
  g_active = nullptr;
  SetEvent(g_stopped);
}
