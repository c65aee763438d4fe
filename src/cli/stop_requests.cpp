#include "cli/stop_requests.h"

#include <cstdlib>
#include <utility>

#include "platform/exit_status.h"

StopRequests::StopRequests(std::function<void()> onStop, std::function<void()> onLeaveNow)
    : m_onStop(std::move(onStop)), m_onLeaveNow(std::move(onLeaveNow)) {
  StartWatching();
}

StopRequests::~StopRequests() {
  StopWatching();
}

bool StopRequests::TakeFirst(StopCause cause) {
  int none = kNone;
  if (!m_cause.compare_exchange_strong(none, static_cast<int>(cause))) return false;
  if (m_onStop) m_onStop();
  return true;
}

void StopRequests::Request(StopCause cause) {
  TakeFirst(cause);
}

void StopRequests::Take(StopCause cause) {
  const bool interrupt = cause == StopCause::Interrupt;
  // Only a Ctrl-C after a Ctrl-C is the operator insisting; one after the run's own stop (or a
  // conductor's) is the first the operator gave.
  const bool insisting = interrupt && m_interrupted.exchange(true);
  if (TakeFirst(cause) || !insisting) return;
  if (m_onLeaveNow) m_onLeaveNow();
  std::_Exit(kExitInterrupted);
}

std::optional<StopCause> StopRequests::StoppedBy() const {
  const int cause = m_cause.load();
  if (cause == kNone) return std::nullopt;
  return static_cast<StopCause>(cause);
}

int StopRequests::ExitStatus() const {
  const auto cause = StoppedBy();
  return cause ? ExitStatusOf(*cause) : kExitOk;
}
