#include "cli/conductor_link.h"

#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

#include "conductor/line_splitter.h"
#include "conductor/worker_protocol.h"

namespace {
// The conductor answers at once; this bounds the wait if it is stopping or gone.
constexpr auto kAnswerWait = std::chrono::seconds(2);
}  // namespace

struct ConductorLink::Shared {
  std::mutex mutex;
  std::condition_variable answered;
  StopRequests* stops = nullptr;  // null once the link is gone
  Hooks hooks;
  bool asking = false;
  bool holding = false;
  bool finishing = false;
  bool ended = false;  // stdin has ended

  // One line from the conductor, under the mutex.
  void Take(std::string_view line) {
    namespace wp = worker_protocol;
    if (line == wp::kGo || line == wp::kNo) {
      holding = asking && line == wp::kGo;
      asking = false;
      answered.notify_all();
    } else if (line == wp::kRecorded) {
      hooks.recorded();
    } else if (line == wp::kFinish) {
      finishing = true;
      hooks.changed();
    } else if (line.substr(0, wp::kStopPrefix.size()) == wp::kStopPrefix) {
      asking = false;
      answered.notify_all();
      if (const auto cause = StopCauseNamed(line.substr(wp::kStopPrefix.size())))
        stops->Request(*cause);
    }
  }

  void End() {
    ended = true;
    asking = false;
    answered.notify_all();
    if (!finishing) stops->Request(StopCause::ConductorLost);
    hooks.changed();
  }
};

ConductorLink::ConductorLink(StopRequests& stops, Hooks hooks)
    : m_shared(std::make_shared<Shared>()) {
  m_shared->stops = &stops;
  m_shared->hooks = std::move(hooks);
}

ConductorLink::~ConductorLink() {
  std::lock_guard lock(m_shared->mutex);
  m_shared->stops = nullptr;
}

void ConductorLink::Listen() {
  std::thread([shared = m_shared] {
    LineSplitter splitter;
    char buffer[256];
    for (;;) {
      const ssize_t n = ::read(STDIN_FILENO, buffer, sizeof buffer);
      if (n < 0 && errno == EINTR) continue;
      std::lock_guard lock(shared->mutex);
      if (shared->stops == nullptr) return;
      if (n <= 0) {
        shared->End();
        return;
      }
      for (const std::string& line : splitter.Add(std::string_view(buffer, size_t(n))))
        shared->Take(line);
    }
  }).detach();
}

bool ConductorLink::Acquire() {
  std::unique_lock lock(m_shared->mutex);
  Shared& shared = *m_shared;
  if (shared.holding) return true;
  if (shared.ended || shared.finishing) return false;
  if (!shared.asking) {
    shared.asking = true;
    shared.hooks.ask();
  }
  shared.answered.wait_for(lock, kAnswerWait, [&] { return !shared.asking; });
  return shared.holding;
}

bool ConductorLink::Holding() const {
  std::lock_guard lock(m_shared->mutex);
  return m_shared->holding;
}

void ConductorLink::Used() {
  std::lock_guard lock(m_shared->mutex);
  m_shared->holding = false;
}

void ConductorLink::Release() {
  std::lock_guard lock(m_shared->mutex);
  if (!m_shared->holding) return;
  m_shared->holding = false;
  m_shared->hooks.release();
}

bool ConductorLink::Finishing() const {
  std::lock_guard lock(m_shared->mutex);
  return m_shared->finishing;
}
