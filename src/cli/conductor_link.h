#pragma once

#include <functional>
#include <memory>

#include "cli/stop_requests.h"

// A worker's end of its conductor (gang, info --all): the conductor's lines arrive on stdin,
// read on a thread of its own. Sessions start only on the conductor's leave; a stop it passes
// on is taken as the operator's; stdin's end without a word means the conductor is gone, and
// the worker stops as cleanly as on SIGTERM.
class ConductorLink {
 public:
  struct Hooks {
    std::function<void()> ask;       // prints the worker's request for leave
    std::function<void()> release;   // prints that a leave goes unused
    std::function<void()> recorded;  // the oldest result printed is in the record
    std::function<void()> changed;   // "finish", or the link's end: wakes the worker's loop
  };
  ConductorLink(StopRequests& stops, Hooks hooks);
  ~ConductorLink();
  ConductorLink(const ConductorLink&) = delete;
  ConductorLink& operator=(const ConductorLink&) = delete;

  // Starts reading stdin.
  void Listen();
  // Leave to start (or skip) a session on the charger at hand: true when held or granted now.
  // Waits a little for the answer; one that comes later is kept for the next call.
  bool Acquire();
  bool Holding() const;
  // The session the leave was for has ended (its result is out).
  void Used();
  // The charger went away before its session: the leave goes back.
  void Release();
  // The conductor wants no new session: end once idle.
  bool Finishing() const;

 private:
  struct Shared;
  // Also the reading thread's: a read of stdin cannot be called off, so that thread may
  // outlive the link, and touches nothing else once the link is gone.
  std::shared_ptr<Shared> m_shared;
};
