#include <windows.h>

#include <atomic>
#include <cstdlib>
#include <mutex>

#include "signal_stop.h"

namespace {

// Windows ends the process about 5 s after a close; the clean stop must fit before.
constexpr DWORD kCloseGraceMs = 4500;
// The statuses the POSIX build gives, so scripts read both alike.
constexpr int kInterruptStatus = 130;
constexpr int kTerminateStatus = 143;

int StatusOf(SignalStop::Cause cause) {
  switch (cause) {
    case SignalStop::Cause::Interrupt:
      return kInterruptStatus;
    case SignalStop::Cause::Terminate:
      return kTerminateStatus;
    case SignalStop::Cause::None:
      break;
  }
  return 0;
}

}  // namespace

// The console calls its handler on a thread of its own, with no argument to find us by.
struct SignalStop::Impl {
  std::function<void()> onStop;
  std::function<void()> onLeaveNow;
  std::atomic<Cause> cause{Cause::None};
  HANDLE stopped = nullptr;  // set once the run is over

  static std::mutex activeMutex;
  static Impl* active;

  static BOOL WINAPI OnConsoleEvent(DWORD event) {
    std::unique_lock lock(activeMutex);
    Impl* impl = active;
    if (impl == nullptr) return FALSE;  // gone: Windows' own handling ends the process
    const bool interrupt = event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT;
    const Cause now = interrupt ? Cause::Interrupt : Cause::Terminate;
    Cause none = Cause::None;
    if (impl->cause.compare_exchange_strong(none, now)) {
      if (impl->onStop) impl->onStop();
    } else if (interrupt) {
      if (impl->onLeaveNow) impl->onLeaveNow();
      std::_Exit(kInterruptStatus);
    }
    HANDLE stopped = impl->stopped;
    lock.unlock();
    // Returning from a close, log-off or shutdown ends the process at once with Windows' own
    // status, so the clean stop happens while we wait here, and once it is over main returns
    // its status while we keep waiting.
    if (!interrupt && WaitForSingleObject(stopped, kCloseGraceMs) == WAIT_OBJECT_0)
      Sleep(kCloseGraceMs);
    return TRUE;
  }
};

std::mutex SignalStop::Impl::activeMutex;
SignalStop::Impl* SignalStop::Impl::active = nullptr;

SignalStop::SignalStop(std::function<void()> onStop, std::function<void()> onLeaveNow)
    : m_impl(std::make_unique<Impl>()) {
  m_impl->onStop = std::move(onStop);
  m_impl->onLeaveNow = std::move(onLeaveNow);
  m_impl->stopped = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  std::lock_guard lock(Impl::activeMutex);
  Impl::active = m_impl.get();
  SetConsoleCtrlHandler(&Impl::OnConsoleEvent, TRUE);
}

// A close handler still waiting is let go once the run is over; the event stays, since that
// handler may still hold it.
SignalStop::~SignalStop() {
  std::lock_guard lock(Impl::activeMutex);
  Impl::active = nullptr;
  SetConsoleCtrlHandler(&Impl::OnConsoleEvent, FALSE);
  if (m_impl->stopped != nullptr) SetEvent(m_impl->stopped);
}

SignalStop::Cause SignalStop::StoppedBy() const {
  return m_impl->cause.load();
}

int SignalStop::ExitStatus() const {
  return StatusOf(StoppedBy());
}
