#include "platform/stop_cause.h"

#include <array>
#include <utility>

#include "platform/exit_status.h"

namespace {

struct CauseFacts {
  StopCause cause;
  const char* name;
  int status;
  const char* reason;
};

constexpr std::array<CauseFacts, 6> kCauses = {{
    {StopCause::Interrupt, "interrupt", kExitInterrupted, "interrupted by Ctrl-C"},
    {StopCause::Terminate, "terminate", kExitTerminated, "stopped by a termination request"},
    {StopCause::HangUp, "hangup", kExitHangUp, "stopped because the terminal was closed"},
    {StopCause::OutputClosed, "output-closed", kExitOutputClosed,
     "stopped because nothing reads the output any more"},
    {StopCause::ConductorLost, "conductor-lost", kExitHangUp,
     "stopped because gang's conductor ended (its terminal closed, or it was killed)"},
    {StopCause::Operator, "operator", kExitInterrupted, "stopped by the operator"},
}};

const CauseFacts& FactsOf(StopCause cause) {
  for (const CauseFacts& facts : kCauses)
    if (facts.cause == cause) return facts;
  return kCauses[1];
}

}  // namespace

int ExitStatusOf(StopCause cause) {
  return FactsOf(cause).status;
}

std::string StopReason(StopCause cause) {
  return FactsOf(cause).reason;
}

std::string_view StopCauseName(StopCause cause) {
  return FactsOf(cause).name;
}

std::optional<StopCause> StopCauseNamed(std::string_view name) {
  for (const CauseFacts& facts : kCauses)
    if (name == facts.name) return facts.cause;
  return std::nullopt;
}
