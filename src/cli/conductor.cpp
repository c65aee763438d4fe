// gang and info --all: one worker process per port, run side by side by a conductor. Each
// worker is the single-port command with its own engine, channel and globals, so a fault or
// a crash on one port can neither delay nor take down another.
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "charger/port_list.h"
#include "cli/commands.h"
#include "cli/session_report.h"
#include "cli/terminal_text.h"
#include "cli/worker_pool.h"
#include "image/image_file.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kRedrawMs = 200;

std::string Field(const JsonFields& fields, const char* name, const char* absent = "") {
  auto it = fields.find(name);
  return it == fields.end() ? absent : it->second;
}

std::vector<std::string> PortsOrSystem(const CliOptions& options) {
  return options.ports.empty() ? ListSerialPorts() : options.ports;
}

std::string JoinSerials(const std::vector<std::string>& serials) {
  std::string joined;
  for (const auto& s : serials) joined += (joined.empty() ? "" : ",") + s;
  return joined;
}

// One port as the table shows it.
struct Row {
  std::string port;
  std::string charger;
  std::string serial = "-";
  std::string version = "-";
  std::string state = "starting";
  int percent = 0;
  Clock::time_point since = Clock::now();
};

// The live table on a terminal: redrawn in place, one row per port.
class Table {
 public:
  explicit Table(const std::vector<Row>& rows) : m_rows(rows) {}
  void Draw() {
    std::string text;
    if (m_drawn > 0) text += "\033[" + std::to_string(m_drawn) + "F";
    char line[320];
    std::snprintf(line, sizeof line, "\033[2K%-24s %-14s %-8s %-12s %4s %8s\n", "PORT", "SERIAL",
                  "VERSION", "STATE", "%", "ELAPSED");
    text += line;
    for (const auto& row : m_rows) {
      const double elapsed = std::chrono::duration<double>(Clock::now() - row.since).count();
      std::snprintf(line, sizeof line, "\033[2K%-24s %-14s %-8s %-12s %3d%% %7.1fs\n",
                    PrintableText(row.port).c_str(), PrintableText(row.serial).c_str(),
                    PrintableText(row.version).c_str(), row.state.c_str(), row.percent, elapsed);
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
  const std::vector<Row>& m_rows;
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
  SessionReport report;  // the record only: the workers' lines are the JSON output
  if (!report.Open(options.recordPath, false) || !report.StartPosting(options)) return kExitUsage;
  // For the rows of workers that could not write their own; the workers judge the image.
  if (const ImageRead read = ReadImageFile(options.image); read.ok)
    report.SetImage(DescribeImage(options.image, read.bytes));

  char timeout[32];
  std::snprintf(timeout, sizeof timeout, "%g", options.timeoutSeconds);
  std::vector<Row> rows;
  std::vector<std::vector<std::string>> args;
  for (const auto& port : ports) {
    rows.emplace_back().port = port;
    std::vector<std::string> worker{"auto",   options.image, "--ports",   port,
                                    "--json", "--worker",    "--timeout", timeout};
    if (!options.serials.empty())
      worker.insert(worker.end(), {"--serial", JoinSerials(options.serials)});
    if (options.skipSameVersion) worker.push_back("--skip-same-version");
    if (options.verify) worker.push_back("--verify");
    if (options.fast) worker.push_back("--fast");
    args.push_back(std::move(worker));
  }
  WorkerPool pool(args);

  const bool live = isatty(STDERR_FILENO) != 0;
  const bool plain = !live && !options.json;
  Table table(rows);
  auto say = [&](const std::string& text) {
    if (live)
      table.Above(text);
    else
      std::fprintf(stderr, "%s\n", text.c_str());
  };

  int succeeded = 0, failed = 0, skipped = 0;
  bool refused = false;
  auto finish = [&](Row& row, const SessionRecord& record) {
    ++(record.result == "succeeded" ? succeeded : record.result == "skipped" ? skipped : failed);
    report.Finish(record);
    if (!options.json) {
      std::string line = record.port + " " + record.serial.value_or("N/A") + " " + record.result;
      if (!record.reason.empty()) line += ": " + record.reason;
      std::printf("%s\n", PrintableText(line).c_str());
      std::fflush(stdout);
    }
    row.state = record.result;
    row.percent = 0;
    if (options.count > 0 && succeeded + failed + skipped >= options.count) pool.CloseInputs();
  };

  WorkerPool::Events events;
  events.out = [&](size_t i, const std::string& line) {
    Row& row = rows[i];
    const auto fields = ParseJsonLine(line);
    if (!fields) return;
    const std::string event = Field(*fields, "event");
    if (options.json && event != "count") {
      std::printf("%s\n", line.c_str());
      std::fflush(stdout);
    }
    if (event == "result") {
      SessionRecord record = RecordFromJson(*fields);
      if (record.port.empty()) record.port = row.port;
      finish(row, record);
    } else if (event == "state") {
      const std::string state = Field(*fields, "state");
      if (state == "programming" && row.state != state) row.since = Clock::now();
      if (state != row.state && plain) say(PrintableText(row.port + ": " + state));
      row.state = state;
      row.serial = Field(*fields, "serial", "-");
      row.version = Field(*fields, "version", "-");
      row.charger = Field(*fields, "charger");
    } else if (event == "progress") {
      row.percent = std::atoi(Field(*fields, "percent", "0").c_str());
      if (plain) say(PrintableText(row.port) + ": " + std::to_string(row.percent) + "%");
    }
  };
  events.err = [&](size_t i, const std::string& line) {
    say(PrintableText(rows[i].port + ": " + line));
  };
  events.ended = [&](size_t i, int status) {
    Row& row = rows[i];
    if (status == kExitUsage) refused = true;
    // A worker that died in a session could not report it; the session still counts.
    if (row.state == "programming") {
      const auto took =
          std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - row.since);
      SessionRecord lost = report.MakeRecord(row.port, std::nullopt, "failed",
                                             "the updater's worker for this port ended "
                                             "unexpectedly (status " +
                                                 std::to_string(status) + ")",
                                             took.count());
      lost.charger = row.charger;
      if (row.serial != "-") lost.serial = row.serial;
      if (row.version != "-") lost.versionBefore = row.version;
      finish(row, lost);
    }
    row.state = "stopped";
  };
  events.tick = [&] {
    if (live) table.Draw();
  };

  pool.Start();
  if (live) table.Draw();
  pool.Run(events, live ? kRedrawMs : 0);

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
  if (pool.StopStatus() != 0) return pool.StopStatus();
  return failed > 0 ? kExitProgramFailed : kExitOk;
}

int RunInfoAll(const CliOptions& options) {
  const std::vector<std::string> ports = PortsOrSystem(options);
  char wait[32];
  std::snprintf(wait, sizeof wait, "%g", options.waitSeconds);
  std::vector<std::vector<std::string>> args;
  for (const auto& port : ports) {
    std::vector<std::string> worker{"info", "--ports", port, "--json", "--wait", wait};
    if (!options.serials.empty())
      worker.insert(worker.end(), {"--serial", JoinSerials(options.serials)});
    args.push_back(std::move(worker));
  }
  WorkerPool pool(args);
  std::vector<std::optional<JsonFields>> answers(ports.size());  // in the order of the ports
  WorkerPool::Events events;
  events.out = [&](size_t i, const std::string& line) {
    const auto fields = ParseJsonLine(line);
    if (fields && Field(*fields, "event") == "charger") answers[i] = *fields;
  };
  events.err = [](size_t, const std::string&) {};  // a port without a charger is no news here
  events.ended = [](size_t, int) {};
  events.tick = [] {};
  pool.Start();
  pool.Run(events, 0);

  std::vector<JsonFields> found;
  for (auto& answer : answers)
    if (answer) found.push_back(std::move(*answer));
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
                  PrintableText(Field(fields, "port")).c_str(),
                  PrintableText(Field(fields, "charger")).c_str(),
                  PrintableText(Field(fields, "serial", "N/A")).c_str(),
                  PrintableText(Field(fields, "version", "N/A")).c_str());
    }
  }
  std::fflush(stdout);
  if (pool.StopStatus() != 0) return pool.StopStatus();
  if (found.empty()) {
    std::fprintf(stderr, "charger-updater-cli: no charger answered on any port within %g s.\n",
                 options.waitSeconds);
    return kExitNoCharger;
  }
  return kExitOk;
}
