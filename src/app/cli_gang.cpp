// gang and info --all: one worker process per port, run side by side by a conductor. Each
// worker is the single-port command with its own engine, channel and globals, so a fault or
// crash on one port can neither delay nor take down another.
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "charger/port_list.h"
#include "cli_commands.h"
#include "cli_report.h"
#include "worker_process.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kRedrawMs = 200;

// Device text shown on a terminal: printable ASCII as it is, every other byte as \xNN.
std::string Printable(const std::string& text) {
  std::string shown;
  for (unsigned char c : text) {
    if (c >= 0x20 && c < 0x7F) {
      shown += static_cast<char>(c);
    } else {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\x%02x", c);
      shown += escaped;
    }
  }
  return shown;
}

std::string Field(const JsonFields& fields, const char* name, const char* absent = "") {
  auto it = fields.find(name);
  return it == fields.end() ? absent : it->second;
}

struct Row {
  std::unique_ptr<WorkerProcess> worker;
  std::string serial = "-";
  std::string version = "-";
  std::string state = "starting";
  int percent = 0;
  Clock::time_point since = Clock::now();
  bool ended = false;
  int exitCode = 0;
};

// Blocks SIGINT and SIGTERM for the conductor and reads them from a descriptor instead.
class SignalFd {
 public:
  SignalFd() {
    sigemptyset(&m_set);
    sigaddset(&m_set, SIGINT);
    sigaddset(&m_set, SIGTERM);
    sigprocmask(SIG_BLOCK, &m_set, &m_old);
    m_fd = ::signalfd(-1, &m_set, SFD_CLOEXEC);
  }
  ~SignalFd() {
    if (m_fd >= 0) ::close(m_fd);
    sigprocmask(SIG_SETMASK, &m_old, nullptr);
  }
  int Fd() const { return m_fd; }
  int Take() {
    signalfd_siginfo info{};
    if (::read(m_fd, &info, sizeof info) != sizeof info) return 0;
    return static_cast<int>(info.ssi_signo);
  }

 private:
  sigset_t m_set, m_old;
  int m_fd = -1;
};

// Runs workers until all have ended; `onLine` sees every stdout line, `onErr` every stderr line.
class Conductor {
 public:
  Conductor(const std::vector<std::string>& ports,
            const std::function<std::vector<std::string>(const std::string&)>& argsFor) {
    for (const auto& port : ports) {
      Row row;
      row.worker = std::make_unique<WorkerProcess>(port, argsFor(port));
      m_rows.push_back(std::move(row));
    }
  }
  std::vector<Row>& Rows() { return m_rows; }
  int Interrupt() const { return m_signal; }

  bool Start() {
    for (auto& row : m_rows) {
      std::string error;
      if (!row.worker->Start(&error)) {
        std::fprintf(stderr, "charger-updater-cli: cannot start the worker for %s: %s\n",
                     row.worker->Port().c_str(), error.c_str());
        row.ended = true;
        row.exitCode = kExitProgramFailed;
      }
    }
    return true;
  }

  void StopAll() {
    for (auto& row : m_rows) row.worker->CloseInput();
  }

  // `tick` runs after every batch of lines and then at least every `tickMs` while `wantTick`.
  void Run(const std::function<void(Row&, const std::string&)>& onLine,
           const std::function<void(Row&, const std::string&)>& onErr,
           const std::function<void()>& tick, const std::function<bool()>& wantTick) {
    for (;;) {
      std::vector<pollfd> fds;
      std::vector<Row*> owners;
      for (auto& row : m_rows) {
        for (int fd : {row.worker->OutFd(), row.worker->ErrFd()}) {
          if (fd < 0) continue;
          fds.push_back({fd, POLLIN, 0});
          owners.push_back(&row);
        }
      }
      if (fds.empty()) break;
      fds.push_back({m_signals.Fd(), POLLIN, 0});
      const int ready = ::poll(fds.data(), fds.size(), wantTick() ? kRedrawMs : -1);
      if (ready < 0 && errno != EINTR) break;
      if (fds.back().revents & POLLIN) {
        const int signal = m_signals.Take();
        if (signal != 0) {
          m_signal = signal;
          for (auto& row : m_rows) row.worker->Signal(signal);
        }
      }
      for (size_t i = 0; i + 1 < fds.size(); ++i) {
        if (fds[i].revents == 0) continue;
        Row& row = *owners[i];
        const bool isOut = fds[i].fd == row.worker->OutFd();
        std::vector<std::string> lines;
        row.worker->ReadReady(fds[i].fd, &lines);
        for (const auto& line : lines) (isOut ? onLine : onErr)(row, line);
        if (row.worker->OutputEnded() && !row.ended) {
          row.ended = true;
          row.exitCode = row.worker->Wait();
          onLine(row, "");  // the end of this worker
        }
      }
      tick();
    }
  }

 private:
  std::vector<Row> m_rows;
  SignalFd m_signals;
  int m_signal = 0;
};

std::vector<std::string> PortsOrSystem(const CliOptions& options) {
  return options.ports.empty() ? ListSerialPorts() : options.ports;
}

std::string JoinSerials(const std::vector<std::string>& serials) {
  std::string joined;
  for (const auto& s : serials) joined += (joined.empty() ? "" : ",") + s;
  return joined;
}

// The live table on a terminal: redrawn in place, one row per port.
class Table {
 public:
  explicit Table(std::vector<Row>& rows) : m_rows(rows) {}
  void Draw() {
    std::string text;
    if (m_drawn > 0) text += "\033[" + std::to_string(m_drawn) + "F";
    char line[256];
    std::snprintf(line, sizeof line, "\033[2K%-20s %-14s %-8s %-12s %5s %8s\n", "PORT", "SERIAL",
                  "VERSION", "STATE", "%", "ELAPSED");
    text += line;
    for (const auto& row : m_rows) {
      const double elapsed = std::chrono::duration<double>(Clock::now() - row.since).count();
      std::snprintf(line, sizeof line, "\033[2K%-20s %-14s %-8s %-12s %4d%% %7.1fs\n",
                    Printable(row.worker->Port()).c_str(), Printable(row.serial).c_str(),
                    Printable(row.version).c_str(), row.state.c_str(), row.percent, elapsed);
      text += line;
    }
    m_drawn = static_cast<int>(m_rows.size()) + 1;
    std::fwrite(text.data(), 1, text.size(), stderr);
    std::fflush(stderr);
  }
  // Prints a line above the table.
  void Above(const std::string& text) {
    if (m_drawn > 0) std::fprintf(stderr, "\033[%dF\033[J", m_drawn);
    m_drawn = 0;
    std::fprintf(stderr, "%s\n", text.c_str());
    Draw();
  }

 private:
  std::vector<Row>& m_rows;
  int m_drawn = 0;
};

}  // namespace

int RunGang(const CliOptions& options) {
  const std::vector<std::string> ports = PortsOrSystem(options);
  if (ports.empty()) {
    std::fprintf(stderr,
                 "charger-updater-cli: no serial ports found. Plug in the chargers' hub, or "
                 "name the ports with --ports.\n");
    return kExitNoCharger;
  }
  SessionReport report;
  if (!report.Open(options.recordPath, false)) return kExitUsage;

  Conductor conductor(ports, [&](const std::string& port) {
    std::vector<std::string> args{"auto", options.image, "--ports", port, "--json", "--worker"};
    if (!options.serials.empty())
      args.insert(args.end(), {"--serial", JoinSerials(options.serials)});
    if (options.skipSameVersion) args.push_back("--skip-same-version");
    if (options.verify) args.push_back("--verify");
    if (options.fast) args.push_back("--fast");
    return args;
  });
  const bool live = isatty(STDERR_FILENO) != 0;
  Table table(conductor.Rows());
  auto say = [&](const std::string& text) {
    if (live)
      table.Above(text);
    else
      std::fprintf(stderr, "%s\n", text.c_str());
  };

  int succeeded = 0, failed = 0, skipped = 0;
  bool refused = false;
  auto result = [&](Row& row, const SessionRecord& record) {
    if (record.result == "succeeded")
      ++succeeded;
    else if (record.result == "skipped")
      ++skipped;
    else
      ++failed;
    report.Finish(record);  // the record only: this report prints no JSON
    if (!options.json) {
      std::string line = record.port + " " + record.serial.value_or("N/A") + " " + record.result;
      if (!record.reason.empty()) line += ": " + record.reason;
      std::printf("%s\n", Printable(line).c_str());
      std::fflush(stdout);
    }
    row.percent = 0;
    if (options.count > 0 && succeeded + failed + skipped >= options.count) conductor.StopAll();
  };
  auto onLine = [&](Row& row, const std::string& line) {
    if (line.empty()) {  // the worker has ended
      if (row.exitCode == kExitUsage) refused = true;
      if (row.state == "programming" && row.exitCode != 0 && row.exitCode != kExitProgramFailed) {
        SessionRecord crashed = report.MakeRecord(row.worker->Port(), std::nullopt, "failed",
                                                  "the worker for this port ended unexpectedly", 0);
        crashed.serial = row.serial;
        result(row, crashed);
      }
      row.state = row.exitCode == 0 || row.exitCode == kExitProgramFailed ? "stopped" : "ended";
      if (!live && !options.json) say(row.worker->Port() + ": " + row.state);
      return;
    }
    const auto fields = ParseJsonLine(line);
    if (!fields) return;
    const std::string event = Field(*fields, "event");
    if (options.json && event != "count") {
      std::printf("%s\n", line.c_str());
      std::fflush(stdout);
    }
    if (event == "result") {
      SessionRecord record = RecordFromJson(*fields);
      if (record.port.empty()) record.port = row.worker->Port();
      row.state = record.result;
      result(row, record);  // with --json the worker's line above is the output
    } else if (event == "state") {
      const std::string state = Field(*fields, "state");
      if (state != row.state && state == "programming") {
        row.since = Clock::now();
        row.percent = 0;
      }
      row.state = state;
      row.serial = Field(*fields, "serial", "-");
      row.version = Field(*fields, "version", "-");
      if (state == "searching") row.serial = row.version = "-";
      if (!live && !options.json)
        say(Printable(row.worker->Port() + ": " + state + " " + row.serial));
    } else if (event == "progress") {
      row.percent = std::atoi(Field(*fields, "percent", "0").c_str());
      if (!live && !options.json)
        say(Printable(row.worker->Port()) + ": " + std::to_string(row.percent) + "%");
    }
  };
  auto onErr = [&](Row& row, const std::string& line) {
    say(Printable(row.worker->Port() + ": " + line));
  };
  conductor.Start();
  if (live) table.Draw();
  conductor.Run(
      onLine, onErr,
      [&] {
        if (live) table.Draw();
      },
      [&] { return live; });

  if (refused && succeeded + failed + skipped == 0) return kExitUsage;
  if (options.json) {
    JsonLine line;
    line.Add("event", "count")
        .Add("succeeded", succeeded)
        .Add("failed", failed)
        .Add("skipped", skipped);
    std::printf("%s", line.Text().c_str());
  } else {
    std::printf("===  %d succeeded ===  %d failed ===\n", succeeded, failed);
  }
  std::fflush(stdout);
  if (conductor.Interrupt() == SIGINT) return kExitInterrupted;
  if (conductor.Interrupt() == SIGTERM) return kExitTerminated;
  return failed > 0 ? kExitProgramFailed : kExitOk;
}

int RunInfoAll(const CliOptions& options) {
  const std::vector<std::string> ports = PortsOrSystem(options);
  char wait[32];
  std::snprintf(wait, sizeof wait, "%g", options.waitSeconds);
  Conductor conductor(ports, [&](const std::string& port) {
    std::vector<std::string> args{"info", "--ports", port, "--json", "--wait", wait};
    if (!options.serials.empty())
      args.insert(args.end(), {"--serial", JoinSerials(options.serials)});
    return args;
  });
  std::vector<JsonFields> found;
  conductor.Start();
  conductor.Run(
      [&](Row&, const std::string& line) {
        const auto fields = ParseJsonLine(line);
        if (fields && Field(*fields, "event") == "charger") found.push_back(*fields);
      },
      [](Row&, const std::string&) {}, [] {}, [] { return false; });
  for (const auto& fields : found) {
    if (options.json) {
      JsonLine line;
      line.Add("event", "charger");
      for (const char* name : {"port", "charger", "serial", "version"})
        if (fields.count(name))
          line.Add(name, fields.at(name));
        else
          line.AddNull(name);
      std::printf("%s", line.Text().c_str());
    } else {
      std::printf("port: %s\ncharger: %s\nserial: %s\nversion: %s\n\n",
                  Printable(Field(fields, "port")).c_str(),
                  Printable(Field(fields, "charger")).c_str(),
                  Printable(Field(fields, "serial", "N/A")).c_str(),
                  Printable(Field(fields, "version", "N/A")).c_str());
    }
  }
  std::fflush(stdout);
  if (conductor.Interrupt() == SIGINT) return kExitInterrupted;
  if (conductor.Interrupt() == SIGTERM) return kExitTerminated;
  if (found.empty()) {
    std::fprintf(stderr, "charger-updater-cli: no charger answered on any port within %g s.\n",
                 options.waitSeconds);
    return kExitNoCharger;
  }
  return kExitOk;
}
