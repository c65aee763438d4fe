#pragma once

#include <chrono>
#include <cstddef>
#include <optional>
#include <string>

#include "charger/menu_reply.h"
#include "platform/stop_cause.h"
#include "record/session_record.h"

// Where a port stands, as its face shows it.
enum class PortPhase {
  Starting,     // its worker is starting
  Searching,    // no charger answers on it
  Connected,    // a charger answers and no session runs (none yet, or its last one failed)
  Programming,  // `percent` of the image is through
  Verifying,    // programmed; waiting for the charger to come back with the image's version
  Done,         // its charger was programmed; waiting for the next charger
  Restarting,   // its worker ended unexpectedly; another one starts soon
  Stopped,      // no worker serves it any more
};
// The phase's word in state events and plain progress lines: "searching", "programming", ...
const char* PhaseName(PortPhase phase);

// One port as a face shows it: one row of gang's table or of a station's window.
struct PortRow {
  std::string port;
  PortPhase phase = PortPhase::Starting;
  int percent = 0;
  // The charger as it last answered (identification, serial, version); none while nothing
  // answers.
  std::optional<MenuReply> charger;
  // When the phase began; while a session runs, when it began.
  std::chrono::steady_clock::time_point since = std::chrono::steady_clock::now();
  // The port's last session: its result, reason, versions before and after.
  std::optional<SessionRecord> last;
  // That session failed and another attempt on the same charger is awaited (--retries): the
  // charger's outcome is not known yet.
  bool retrying = false;
};

struct ConductorTotals {
  int succeeded = 0;
  int failed = 0;  // cancelled sessions among them
  int skipped = 0;
  int refused = 0;  // by a guard
  // Why the first row the record could not keep was lost; empty when every row was kept.
  std::string recordProblem;
  bool workersRefused = false;  // no session ran: every worker refused its task (image...)
  std::optional<StopCause> stoppedBy;
  int Sessions() const { return succeeded + failed + skipped + refused; }
  // What a command-line run exits with: the stop's status, 2 when the workers refused their
  // task, 1 when a session failed or a charger was refused, 5 when a row was lost, else 0.
  int ExitStatus() const;
};

// What a conductor reports to the face that shows it: the terminal's table or lines, JSON
// lines, a station window. Every call comes on the conductor's own thread, one at a time, and
// must return promptly: a window copies what it needs and posts it to its own thread. The
// conductor never waits for the face otherwise.
class ConductorFace {
 public:
  enum class Change { State, Progress };
  virtual ~ConductorFace() = default;

  // A port's phase, charger or percentage changed (`row` is a copy to keep).
  virtual void PortChanged(size_t index, const PortRow& row, Change change) = 0;
  // A session ended; `record` is its row, already appended to the record. With retries, each
  // attempt ends so, `row.retrying` while another attempt is awaited; without it, `record` is
  // the charger's outcome.
  virtual void SessionEnded(size_t index, const PortRow& row, const SessionRecord& record) = 0;
  // The attempt awaited on a port's charger does not come (it did not answer again in time, its
  // worker ended, the run stopped): `record`, its last attempt's row, is its outcome. No new row.
  virtual void AttemptsOver(size_t, const PortRow&, const SessionRecord&) {}
  // A line for the operator: a worker's message about its port, or the conductor's about a
  // port (a worker lost) or about the run (no index: the record cannot be written).
  virtual void Notice(std::optional<size_t> index, const std::string& text) = 0;
  // At least as often as the conductor's plan asks, for elapsed times.
  virtual void Tick() {}
  // The run is over; nothing else comes after it.
  virtual void Finished(const ConductorTotals& totals) = 0;
};
