#pragma once

#include <string>
#include <string_view>

#include "platform/stop_cause.h"

// What a conductor and its workers say to each other beside the JSON events a worker prints.
// The conductor writes one of these lines on a worker's stdin; end of file without "finish" or
// "stop" means the conductor is gone.
namespace worker_protocol {

inline constexpr std::string_view kGo = "go";              // start the session you asked for
inline constexpr std::string_view kNo = "no";              // do not
inline constexpr std::string_view kRecorded = "recorded";  // your oldest result is in the record
inline constexpr std::string_view kFinish = "finish";      // no new session: end once idle
inline constexpr std::string_view kStopPrefix = "stop ";   // + a StopCause's name: stop now

// The worker's own events (an "event" field like the rest): it asks before it starts or
// skips a session, and gives back a leave it did not use (its charger went away first).
inline constexpr std::string_view kPermitEvent = "permit";
inline constexpr std::string_view kReleaseEvent = "release";
// A session's row that another attempt on the same charger follows (--retries): recorded like a
// result, but the charger's count waits for its last attempt.
inline constexpr std::string_view kAttemptEvent = "attempt";
// No attempt follows after all (the charger did not answer again in time, or the run stopped):
// the last attempt's row is the charger's outcome. Carries no row of its own.
inline constexpr std::string_view kAttemptsOverEvent = "attempts-over";

inline std::string StopLine(StopCause cause) {
  return std::string(kStopPrefix) + std::string(StopCauseName(cause));
}

}  // namespace worker_protocol
