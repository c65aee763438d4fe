#include <windows.h>

#include <mutex>

#include "cli/stop_requests.h"

namespace {

// Windows ends the process about 5 s after a close; the clean stop must fit before.
constexpr DWORD kCloseGraceMs = 4500;

// The console calls its handler on a thread of its own, with no argument to find us by.
std::mutex g_activeMutex;
StopRequests* g_active = nullptr;
HANDLE g_stopped = nullptr;  // set once the run is over

}  // namespace

struct StopRequests::Watch {
  static BOOL WINAPI OnConsoleEvent(DWORD event) {
    std::unique_lock lock(g_activeMutex);
    StopRequests* active = g_active;
    if (active == nullptr) return FALSE;  // gone: Windows' own handling ends the process
    const bool interrupt = event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT;
    active->Take(interrupt ? Cause::Interrupt : Cause::Terminate);
    HANDLE stopped = g_stopped;
    lock.unlock();
    // Returning from a close, log-off or shutdown ends the process at once with Windows' own
    // status, so the clean stop happens while we wait here, and once it is over main returns
    // its status while we keep waiting.
    if (!interrupt && WaitForSingleObject(stopped, kCloseGraceMs) == WAIT_OBJECT_0)
      Sleep(kCloseGraceMs);
    return TRUE;
  }
};

void StopRequests::StartWatching() {
  std::lock_guard lock(g_activeMutex);
  if (g_stopped == nullptr) g_stopped = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  ResetEvent(g_stopped);
  g_active = this;
  SetConsoleCtrlHandler(&Watch::OnConsoleEvent, TRUE);
}

// A close handler still waiting is let go once the run is over; the event stays, since that
// handler may still hold it.
void StopRequests::StopWatching() {
  std::lock_guard lock(g_activeMutex);
  g_active = nullptr;
  SetConsoleCtrlHandler(&Watch::OnConsoleEvent, FALSE);
  if (g_stopped != nullptr) SetEvent(g_stopped);
}
