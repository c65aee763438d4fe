// gang and info --all: one worker process per port, run side by side by a conductor. Each
// worker is the single-port command with its own engine, channel and globals, so a fault or
// a crash on one port can neither delay nor take down another.
#include "conductor/conductor.h"

#include <algorithm>
#include <utility>

#include "conductor/worker_protocol.h"
#include "platform/exit_status.h"
#include "platform/printable_text.h"
#include "record/json_text.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr milliseconds kFirstRestartPause{1000};
constexpr milliseconds kLongestRestartPause{30000};
// A worker that ran this long before it ended is no crash loop: the next pause is short again.
constexpr milliseconds kSteadyRun{60000};
// A stopping worker cancels, writes its row and ends within about a second; one that does not
// is ended by force, its session written as failed.
constexpr milliseconds kStopGrace{10000};

std::optional<PortPhase> PhaseNamed(const std::string& name) {
  for (PortPhase phase : {PortPhase::Searching, PortPhase::Connected, PortPhase::Programming,
                          PortPhase::Verifying, PortPhase::Done})
    if (name == PhaseName(phase)) return phase;
  return std::nullopt;
}

std::optional<std::string> Field(const JsonFields& fields, const char* name) {
  const auto it = fields.find(name);
  if (it == fields.end()) return std::nullopt;
  return it->second;
}

// The charger a worker's event names; none when the event carries no "charger".
std::optional<MenuReply> ChargerIn(const JsonFields& fields) {
  const auto identification = Field(fields, "charger");
  if (!identification) return std::nullopt;
  return MenuReply{*identification, Field(fields, "serial"), Field(fields, "version")};
}

std::string Seconds(milliseconds pause) {
  return std::to_string(pause.count() / 1000) + " s";
}

}  // namespace

const char* PhaseName(PortPhase phase) {
  switch (phase) {
    case PortPhase::Starting:
      return "starting";
    case PortPhase::Searching:
      return "searching";
    case PortPhase::Connected:
      return "connected";
    case PortPhase::Programming:
      return "programming";
    case PortPhase::Verifying:
      return "verifying";
    case PortPhase::Done:
      return "done";
    case PortPhase::Restarting:
      return "restarting";
    case PortPhase::Stopped:
      break;
  }
  return "stopped";
}

int ConductorTotals::ExitStatus() const {
  if (stoppedBy) return ExitStatusOf(*stoppedBy);
  if (workersRefused) return kExitUsage;
  if (failed > 0 || refused > 0) return kExitProgramFailed;
  if (!recordProblem.empty()) return kExitRecordLost;
  return kExitOk;
}

struct Conductor::Port {
  PortRow row;
  bool running = false;
  bool told = false;       // asked to end (finish, stop): its end is no loss
  bool granted = false;    // holds the leave to start a session
  bool asking = false;     // asked for a leave that has not been answered
  bool inSession = false;  // a session began and has not been reported
  bool ranSession = false;
  bool refused = false;                     // it refused its task, and would again
  std::string broken;                       // why the conductor ended this worker itself
  std::optional<MenuReply> sessionCharger;  // the charger as its session began
  Clock::time_point startedAt;
  std::optional<Clock::time_point> restartAt;
  milliseconds pause = kFirstRestartPause;
};

Conductor::Conductor(ConductorPlan plan, ConductorFace& face)
    : m_plan(std::move(plan)),
      m_face(face),
      m_pool(m_plan.workerProgram, m_plan.ports.size()),
      m_ports(m_plan.ports.size()) {
  for (size_t i = 0; i < m_ports.size(); ++i) m_ports[i].row.port = m_plan.ports[i];
}

Conductor::~Conductor() {
  if (m_thread.joinable()) {
    Stop(StopCause::Operator);
    m_thread.join();
  }
}

void Conductor::Start() {
  m_thread = std::thread(&Conductor::Run, this);
}

void Conductor::Stop(StopCause cause) {
  {
    std::lock_guard lock(m_stopMutex);
    if (!m_stopRequest) m_stopRequest = cause;
  }
  m_pool.Wake();
}

ConductorTotals Conductor::Wait() {
  if (m_thread.joinable()) m_thread.join();
  return m_totals;
}

void Conductor::StartWorker(size_t index) {
  Port& port = m_ports[index];
  const bool program = m_plan.work == ConductorPlan::Work::Program;
  std::vector<std::string> args = {program ? "auto" : "info", "--ports", port.row.port, "--json",
                                   "--worker"};
  args.insert(args.end(), m_plan.workerOptions.begin(), m_plan.workerOptions.end());
  // After "--", an image whose name starts with "-" is still a file.
  if (program) args.insert(args.end(), {"--", m_plan.imagePath});
  port.restartAt.reset();
  port.broken.clear();
  port.startedAt = Clock::now();
  port.row.phase = PortPhase::Starting;
  port.row.since = port.startedAt;
  port.row.charger.reset();
  const std::string error = m_pool.Start(index, args);
  port.running = error.empty();
  Changed(index, ConductorFace::Change::State);
  if (port.running) return;
  port.broken = "could not be started (" + error + ")";
  OnEnded(index, -1);
}

void Conductor::Run() {
  for (size_t i = 0; i < m_ports.size(); ++i) StartWorker(i);
  while (!Over()) {
    milliseconds timeout{-1};
    if (const auto deadline = NextDeadline())
      timeout =
          std::max(milliseconds(0), std::chrono::ceil<milliseconds>(*deadline - Clock::now()));
    if (m_plan.tick.count() > 0 && (timeout.count() < 0 || timeout > m_plan.tick))
      timeout = m_plan.tick;
    const std::vector<WorkerPool::Event> events = m_pool.Wait(timeout);
    {
      std::optional<StopCause> cause;
      {
        std::lock_guard lock(m_stopMutex);
        cause = m_stopRequest;
      }
      if (cause && !m_stopping) TakeStop(*cause);
    }
    for (const WorkerPool::Event& event : events) {
      switch (event.kind) {
        case WorkerPool::Event::Kind::Out:
          OnLine(event.worker, event.line);
          break;
        case WorkerPool::Event::Kind::Err:
          m_face.Notice(event.worker, event.line);
          break;
        case WorkerPool::Event::Kind::Ended:
          m_ports[event.worker].running = false;
          OnEnded(event.worker, event.status);
          break;
      }
    }
    const auto now = Clock::now();
    if (m_killAt && now >= *m_killAt) {
      m_killAt.reset();
      for (size_t i = 0; i < m_ports.size(); ++i) {
        if (!m_ports[i].running) continue;
        m_ports[i].broken = "did not stop within " + Seconds(kStopGrace);
        m_pool.Kill(i);
      }
    }
    for (size_t i = 0; i < m_ports.size(); ++i)
      if (m_ports[i].restartAt && now >= *m_ports[i].restartAt) StartWorker(i);
    m_face.Tick();
  }
  m_totals.workersRefused =
      m_totals.Sessions() == 0 &&
      std::all_of(m_ports.begin(), m_ports.end(), [](const Port& port) { return port.refused; }) &&
      !m_ports.empty();
  m_face.Finished(m_totals);
}

bool Conductor::Over() const {
  return std::none_of(m_ports.begin(), m_ports.end(),
                      [](const Port& port) { return port.running || port.restartAt; });
}

std::optional<Clock::time_point> Conductor::NextDeadline() const {
  std::optional<Clock::time_point> next = m_killAt;
  for (const Port& port : m_ports)
    if (port.restartAt && (!next || *port.restartAt < *next)) next = port.restartAt;
  return next;
}

void Conductor::Changed(size_t index, ConductorFace::Change change) {
  m_face.PortChanged(index, m_ports[index].row, change);
}

void Conductor::OnLine(size_t index, const std::string& line) {
  Port& port = m_ports[index];
  const auto fields = ParseJsonLine(line);
  if (!fields) {
    // A worker that says what cannot be read is broken: it is ended and its session, if any,
    // written as failed, rather than waited for.
    if (port.broken.empty()) {
      port.broken = "sent a line the updater cannot read: " + PrintableText(line);
      m_pool.Kill(index);
    }
    return;
  }
  const std::string event = Field(*fields, "event").value_or("");
  if (event == "state") {
    OnSessionState(index, Field(*fields, "state").value_or(""), *fields);
  } else if (event == "progress") {
    const std::string percent = Field(*fields, "percent").value_or("0");
    port.row.percent = std::clamp(std::atoi(percent.c_str()), 0, 100);
    Changed(index, ConductorFace::Change::Progress);
  } else if (event == "result" || event == worker_protocol::kAttemptEvent) {
    SessionRecord record = RecordFromJson(*fields);
    if (record.port.empty()) record.port = port.row.port;
    OnResult(index, std::move(record), event == "result");
    m_pool.Send(index, std::string(worker_protocol::kRecorded));
  } else if (event == worker_protocol::kAttemptsOverEvent) {
    OnAttemptsOver(index);
  } else if (event == "charger") {
    port.row.charger = ChargerIn(*fields);
    port.row.phase = PortPhase::Connected;
    Changed(index, ConductorFace::Change::State);
  } else if (event == worker_protocol::kPermitEvent) {
    OnPermit(index);
  } else if (event == worker_protocol::kReleaseEvent) {
    port.granted = false;
    GrantWaiting();
  }
}

void Conductor::OnSessionState(size_t index, const std::string& state, const JsonFields& fields) {
  Port& port = m_ports[index];
  const auto phase = PhaseNamed(state);
  if (!phase) return;
  const bool sessionStarts = *phase == PortPhase::Programming && !port.inSession;
  if (sessionStarts) {
    port.inSession = true;
    port.ranSession = true;
    port.row.percent = 0;
    port.sessionCharger = ChargerIn(fields);
  }
  if (*phase != port.row.phase) port.row.since = Clock::now();
  if (sessionStarts) port.row.since = Clock::now();
  port.row.phase = *phase;
  port.row.charger = ChargerIn(fields);
  Changed(index, ConductorFace::Change::State);
}

// A charger is counted once, by its last attempt; its leave holds until then.
void Conductor::OnResult(size_t index, SessionRecord record, bool last) {
  Port& port = m_ports[index];
  port.inSession = false;
  port.ranSession = true;
  port.row.percent = 0;
  port.row.retrying = !last;
  if (last) Count(record);
  Keep(index, record);
  if (last) ChargerDone(index);
}

void Conductor::OnAttemptsOver(size_t index) {
  Port& port = m_ports[index];
  if (!port.row.retrying || !port.row.last) return;
  port.row.retrying = false;
  Count(*port.row.last);
  m_face.AttemptsOver(index, port.row, *port.row.last);
  ChargerDone(index);
}

// Its charger is counted: the leave goes to a waiting port, unless the count is reached.
void Conductor::ChargerDone(size_t index) {
  m_ports[index].granted = false;
  if (m_plan.count > 0 && m_totals.Sessions() >= m_plan.count)
    Finish();
  else
    GrantWaiting();
}

void Conductor::Count(const SessionRecord& record) {
  if (record.result == "succeeded")
    ++m_totals.succeeded;
  else if (record.result == "skipped")
    ++m_totals.skipped;
  else if (record.result == "refused")
    ++m_totals.refused;
  else
    ++m_totals.failed;
}

void Conductor::Keep(size_t index, const SessionRecord& record) {
  Port& port = m_ports[index];
  const std::string problem = m_plan.keep ? m_plan.keep(record) : std::string();
  if (!problem.empty() && m_totals.recordProblem.empty()) {
    m_totals.recordProblem = problem;
    m_face.Notice(std::nullopt, problem +
                                    ". Rows from now on may be lost; the sessions' "
                                    "results stand.");
  }
  port.row.last = record;
  m_face.SessionEnded(index, port.row, record);
}

bool Conductor::Room() const {
  if (m_plan.count == 0) return true;
  const int finished = m_totals.Sessions();
  const auto granted =
      std::count_if(m_ports.begin(), m_ports.end(), [](const Port& port) { return port.granted; });
  return finished + granted < m_plan.count;
}

void Conductor::OnPermit(size_t index) {
  Port& port = m_ports[index];
  if (m_stopping || m_finishing) {
    m_pool.Send(index, std::string(worker_protocol::kNo));
    return;
  }
  port.asking = true;
  GrantWaiting();
}

// In port order, so a port that asked first is not starved by its neighbours.
void Conductor::GrantWaiting() {
  for (size_t i = 0; i < m_ports.size(); ++i) {
    Port& port = m_ports[i];
    if (!port.asking || !port.running || m_stopping || m_finishing || !Room()) continue;
    port.asking = false;
    port.granted = true;
    m_pool.Send(i, std::string(worker_protocol::kGo));
  }
}

void Conductor::Finish() {
  m_finishing = true;
  for (size_t i = 0; i < m_ports.size(); ++i) {
    Port& port = m_ports[i];
    if (port.asking) m_pool.Send(i, std::string(worker_protocol::kNo));
    port.asking = false;
    if (port.running) {
      port.told = true;
      m_pool.Send(i, std::string(worker_protocol::kFinish));
    }
    if (port.restartAt) {
      port.restartAt.reset();
      port.row.phase = PortPhase::Stopped;
      Changed(i, ConductorFace::Change::State);
    }
  }
}

void Conductor::TakeStop(StopCause cause) {
  m_stopping = true;
  m_totals.stoppedBy = cause;
  m_killAt = Clock::now() + kStopGrace;
  for (size_t i = 0; i < m_ports.size(); ++i) {
    Port& port = m_ports[i];
    port.asking = false;
    if (port.running) {
      port.told = true;
      m_pool.Send(i, worker_protocol::StopLine(cause));
    }
    if (port.restartAt) {
      port.restartAt.reset();
      port.row.phase = PortPhase::Stopped;
      Changed(i, ConductorFace::Change::State);
    }
  }
}

void Conductor::OnEnded(size_t index, int status) {
  Port& port = m_ports[index];
  port.granted = false;
  port.asking = false;
  const std::string why = !port.broken.empty()
                              ? port.broken
                              : "ended unexpectedly (status " + std::to_string(status) + ")";
  if (port.inSession) {
    // It cannot report its session any more; the session still counts, as failed.
    port.inSession = false;
    SessionRecord lost =
        NewSessionRecord(port.row.port, port.sessionCharger, m_plan.image, m_plan.context);
    lost.result = "failed";
    lost.reason = "the updater's worker for this port " + why;
    lost.durationMs =
        std::chrono::duration_cast<milliseconds>(Clock::now() - port.row.since).count();
    if (port.row.retrying && port.row.last) lost.attempt = port.row.last->attempt + 1;
    port.row.retrying = false;
    Count(lost);
    Keep(index, lost);
    if (m_plan.count > 0 && m_totals.Sessions() >= m_plan.count) Finish();
  } else if (port.row.retrying) {
    OnAttemptsOver(index);
  }
  const bool expected =
      port.told || m_stopping || m_finishing || m_plan.work == ConductorPlan::Work::Find;
  // A worker that refused its task would refuse it again.
  port.refused = !expected && status == kExitUsage && !port.ranSession;
  if (expected || port.refused) {
    port.row.phase = PortPhase::Stopped;
    Changed(index, ConductorFace::Change::State);
    GrantWaiting();
    return;
  }
  if (Clock::now() - port.startedAt >= kSteadyRun) port.pause = kFirstRestartPause;
  port.restartAt = Clock::now() + port.pause;
  port.row.phase = PortPhase::Restarting;
  port.row.since = Clock::now();
  Changed(index, ConductorFace::Change::State);
  m_face.Notice(index, "its worker " + why + "; a new one starts in " + Seconds(port.pause) + ".");
  port.pause = std::min(port.pause * 2, kLongestRestartPause);
  GrantWaiting();
}
