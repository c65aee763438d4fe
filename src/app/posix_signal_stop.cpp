#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <thread>

#include "signal_stop.h"

namespace {
// Sent by the destructor to end the waiting thread.
constexpr int kQuitSignal = SIGUSR1;

int StatusOf(SignalStop::Cause cause) {
  switch (cause) {
    case SignalStop::Cause::Interrupt:
      return 128 + SIGINT;
    case SignalStop::Cause::Terminate:
      return 128 + SIGTERM;
    case SignalStop::Cause::None:
      break;
  }
  return 0;
}
}  // namespace

// The signals are blocked in every thread started after the constructor, and only the
// waiting thread takes them, so the stop runs as ordinary code rather than in a handler.
struct SignalStop::Impl {
  std::function<void()> onStop;
  std::function<void()> onLeaveNow;
  sigset_t set;
  std::atomic<Cause> cause{Cause::None};
  std::thread thread;

  void Wait() {
    for (;;) {
      int signal = 0;
      if (sigwait(&set, &signal) != 0) continue;
      if (signal == kQuitSignal) return;
      const Cause now = signal == SIGINT ? Cause::Interrupt : Cause::Terminate;
      Cause none = Cause::None;
      if (cause.compare_exchange_strong(none, now)) {
        if (onStop) onStop();
      } else if (now == Cause::Interrupt) {
        if (onLeaveNow) onLeaveNow();
        _exit(StatusOf(Cause::Interrupt));
      }
    }
  }
};

SignalStop::SignalStop(std::function<void()> onStop, std::function<void()> onLeaveNow)
    : m_impl(std::make_unique<Impl>()) {
  m_impl->onStop = std::move(onStop);
  m_impl->onLeaveNow = std::move(onLeaveNow);
  sigemptyset(&m_impl->set);
  sigaddset(&m_impl->set, SIGINT);
  sigaddset(&m_impl->set, SIGTERM);
  sigaddset(&m_impl->set, kQuitSignal);
  pthread_sigmask(SIG_BLOCK, &m_impl->set, nullptr);
  m_impl->thread = std::thread([impl = m_impl.get()] { impl->Wait(); });
}

SignalStop::~SignalStop() {
  pthread_kill(m_impl->thread.native_handle(), kQuitSignal);
  m_impl->thread.join();
}

SignalStop::Cause SignalStop::StoppedBy() const {
  return m_impl->cause.load();
}

int SignalStop::ExitStatus() const {
  return StatusOf(StoppedBy());
}
