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

void StopRequests::Take(Cause cause) {
  Cause none = Cause::None;
  if (m_cause.compare_exchange_strong(none, cause)) {
    if (m_onStop) m_onStop();
    return;
  }
  if (cause != Cause::Interrupt) return;
  if (m_onLeaveNow) m_onLeaveNow();
  std::_Exit(kExitInterrupted);
}

int StopRequests::ExitStatus() const {
  switch (StoppedBy()) {
    case Cause::Interrupt:
      return kExitInterrupted;
    case Cause::Terminate:
      return kExitTerminated;
    case Cause::None:
      break;
  }
  return kExitOk;
}
