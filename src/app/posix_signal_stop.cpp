#include <pthread.h>
#include <unistd.h>

#include <csignal>
#include <thread>

#include "signal_stop.h"

// Signals are blocked in every thread started after this, and one thread waits for them.
struct SignalStop::Waiter {
  sigset_t set;
  std::thread thread;
};

SignalStop::SignalStop(EventLoop& loop) : m_loop(loop), m_waiter(std::make_unique<Waiter>()) {
  sigset_t& set = m_waiter->set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGUSR1);
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
  m_waiter->thread = std::thread([this] {
    for (;;) {
      int signal = 0;
      sigwait(&m_waiter->set, &signal);
      if (signal == SIGUSR1) return;
      if (m_interrupted.exchange(true)) _exit(130);
      m_loop.Quit();
    }
  });
}

SignalStop::~SignalStop() {
  pthread_kill(m_waiter->thread.native_handle(), SIGUSR1);
  m_waiter->thread.join();
}
