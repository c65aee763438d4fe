#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "conductor/conductor_face.h"
#include "conductor/worker_pool.h"
#include "platform/stop_cause.h"
#include "record/image_facts.h"
#include "record/session_record.h"

// What a conductor runs: one worker process per port.
struct ConductorPlan {
  enum class Work {
    Program,  // each worker programs every charger plugged in on its port (gang)
    Find,     // each worker searches its port once (info --all)
  };
  Work work = Work::Program;
  std::vector<std::string> ports;
  // The workers' options besides their command, port and image (--timeout, --serial, ...).
  std::vector<std::string> workerOptions;
  std::string imagePath;      // Program: the image every worker programs
  std::string workerProgram;  // the command-line tool; empty: this program
  // Program: the run ends after this many sessions in all (started ones finish); 0: when
  // stopped.
  int count = 0;
  // Where rows go: each session's, on the conductor's thread (a session whose worker ended
  // without reporting it comes as failed). It gives why the row could not be kept, or empty.
  // None: no record.
  std::function<std::string(const SessionRecord&)> keep;
  ImageFacts image;  // for rows the conductor writes itself
  RecordContext context;
  // How often the face's Tick runs at least; zero: only after events.
  std::chrono::milliseconds tick{0};
};

// Runs a plan's workers side by side on a thread of its own, tells the face what each port
// does, and keeps the count: a session is started only on the conductor's leave, so --count
// is never overshot. A worker that ends unexpectedly is reported, its session written as
// failed, and it is started again after a pause that grows with each loss. The conductor
// installs no signal handling: whoever runs it (the command line on Ctrl-C, a window's Stop
// button) calls Stop.
class Conductor {
 public:
  Conductor(ConductorPlan plan, ConductorFace& face);
  // Stops a run still going (as by the operator) and waits for its end.
  ~Conductor();
  Conductor(const Conductor&) = delete;
  Conductor& operator=(const Conductor&) = delete;

  // Starts the workers and the conductor's thread; returns at once.
  void Start();
  // Any thread, any number of times; the first cause counts. Every worker cancels its
  // transfer, writes its row and ends; the run ends when all have.
  void Stop(StopCause cause);
  // Waits for the end of the run; the totals went to the face's Finished too.
  ConductorTotals Wait();

 private:
  struct Port;
  void Run();
  void StartWorker(size_t index);
  void OnLine(size_t index, const std::string& line);
  void OnSessionState(size_t index, const std::string& state, const JsonFields& fields);
  void OnResult(size_t index, SessionRecord record, bool last);
  void OnAttemptsOver(size_t index);
  void ChargerDone(size_t index);
  void OnPermit(size_t index);
  void OnEnded(size_t index, int status);
  void Count(const SessionRecord& record);
  void Keep(size_t index, const SessionRecord& record);
  void GrantWaiting();
  bool Room() const;
  void Finish();
  void TakeStop(StopCause cause);
  bool Over() const;
  std::optional<std::chrono::steady_clock::time_point> NextDeadline() const;
  void Changed(size_t index, ConductorFace::Change change);

  ConductorPlan m_plan;
  ConductorFace& m_face;
  WorkerPool m_pool;
  std::vector<Port> m_ports;
  ConductorTotals m_totals;
  bool m_finishing = false;  // the count is reached
  bool m_stopping = false;
  std::optional<std::chrono::steady_clock::time_point> m_killAt;  // stopping workers that hang
  std::mutex m_stopMutex;
  std::optional<StopCause> m_stopRequest;
  std::thread m_thread;
  bool m_waited = false;
};
