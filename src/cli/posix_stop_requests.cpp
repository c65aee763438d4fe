#include <pthread.h>

#include <csignal>
#include <thread>

#include "cli/stop_requests.h"

namespace {
// Sent by StopWatching to end the waiting thread.
constexpr int kQuitSignal = SIGUSR1;
}  // namespace

// The signals are blocked in every thread started after the constructor, and only the
// waiting thread takes them, so the stop runs as ordinary code rather than in a handler.
struct StopRequests::Watch {
  sigset_t set;
  std::thread thread;
};

void StopRequests::StartWatching() {
  m_watch = new Watch;
  sigemptyset(&m_watch->set);
  for (int signal : {SIGINT, SIGTERM, kQuitSignal}) sigaddset(&m_watch->set, signal);
  pthread_sigmask(SIG_BLOCK, &m_watch->set, nullptr);
  m_watch->thread = std::thread([this] {
    for (;;) {
      int signal = 0;
      if (sigwait(&m_watch->set, &signal) != 0) continue;
      if (signal == kQuitSignal) return;
      Take(signal == SIGINT ? Cause::Interrupt : Cause::Terminate);
    }
  });
}

void StopRequests::StopWatching() {
  pthread_kill(m_watch->thread.native_handle(), kQuitSignal);
  m_watch->thread.join();
  delete m_watch;
}
