// gang's conductor against simulated chargers on real ptys: its JSON, every way a run is
// stopped (a closed terminal, a killed conductor, a reader gone), lost workers, --count, the
// table on a terminal, and ports named twice.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <set>
#include <thread>

#include "production_fixture.h"

extern char** environ;

namespace {

using namespace clitest;
using namespace prodtest;

bool Has(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

int Count(const std::string& text, const std::string& part) {
  int count = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
  return count;
}

TEST_F(ProductionTest, GangJsonGivesOneResultPerPortOneCountAndEscapesEveryControlByte) {
  std::string controls;
  for (int c = 1; c < 0x20; ++c)
    if (c != '\r' && c != '\n') controls += static_cast<char>(c);
  controls += '\x7f';
  chargersim::Options odd;
  odd.identity.id = "Odd" + controls + "Charger";
  AddCharger("J1", odd);
  AddCharger("J2");
  const std::string path = Image("V20");
  const Outcome run = RunCli({"gang", path, "--ports", Ports(), "--count", "2", "--json"});
  EXPECT_EQ(run.exitCode, 0) << run.err;
  for (const char c : run.out)
    ASSERT_TRUE(c == '\n' || (static_cast<unsigned char>(c) >= 0x20 && c != 0x7f))
        << "raw control byte " << int(c) << " in:\n"
        << run.out;
  const auto lines = JsonLines(run.out);
  EXPECT_EQ(CountFigures(run.out), "2/0/0/0") << run.out;
  const auto results = Events(lines, "result");
  ASSERT_EQ(results.size(), 2u) << run.out;
  EXPECT_NE(results[0].at("port"), results[1].at("port"));
  for (const auto& result : results) {
    if (result.at("serial") == "J1") {
      EXPECT_EQ(result.at("charger"), odd.identity.id);
    }
  }
  // Each 10 % of a transfer once, per port.
  for (const auto& charger : chargers) {
    std::set<int> tenths;
    for (const auto& event : Events(lines, "progress"))
      if (event.at("port") == charger->link) tenths.insert(std::stoi(event.at("percent")) / 10);
    EXPECT_TRUE(tenths.count(10)) << charger->link;
  }
  EXPECT_EQ(lines.back().at("event"), "count");
}

// How a run can be stopped from outside.
struct StopCase {
  const char* name;
  int signal;       // 0: stdout's reader goes away instead
  bool wholeGroup;  // signalled as a terminal does: every process of the job
  int exitCode;     // -1: killed, no status of its own
  const char* reason;
};

void PrintTo(const StopCase& stop, std::ostream* out) {
  *out << stop.name;
}

class GangStop : public ProductionTest, public ::testing::WithParamInterface<StopCase> {};

// Whatever stops the run, every transfer in flight is cancelled (the charger leaves its
// loader), its row is written with the cause in its reason, and gang exits with the cause's
// status.
TEST_P(GangStop, CancelsEveryTransferWritesItsRowAndExitsWithTheCausesStatus) {
  const StopCase& stop = GetParam();
  chargersim::Options slow;
  slow.replyDelay = 100ms;
  Charger& first = AddCharger("STOP1", slow);
  Charger& second = AddCharger("STOP2", slow);
  const std::string path = Image("V20", 20000);
  const std::string record = dir + "/rec.csv";
  Cli cli({"gang", path, "--ports", Ports(), "--record", record, "--json"}, {}, true);
  for (Charger* charger : {&first, &second})
    ASSERT_TRUE(Eventually([&] { return charger->log.Contains("STX block 2"); })) << stop.name;
  if (stop.signal == 0)
    cli.CloseOut();
  else if (stop.wholeGroup)
    cli.SignalGroup(stop.signal);
  else
    cli.Signal(stop.signal);
  const Outcome run = cli.Finish(20s);
  EXPECT_EQ(run.exitCode, stop.exitCode) << run.err;
  for (Charger* charger : {&first, &second})
    EXPECT_TRUE(Eventually([&] { return charger->log.Contains("cancelled by the sender"); }, 5s))
        << charger->link;
  // Rows come from the conductor, or from each worker once its conductor is gone.
  ASSERT_TRUE(Eventually([&] { return Lines(ReadFile(record)).size() == 3; }, 5s))
      << ReadFile(record);
  const std::vector<std::string> rows = Lines(ReadFile(record));
  for (size_t i = 1; i < rows.size(); ++i) {
    EXPECT_TRUE(Has(rows[i], ",cancelled,")) << rows[i];
    EXPECT_TRUE(Has(rows[i], stop.reason)) << rows[i];
  }
  // Out of their loaders at once.
  const Outcome info = RunCli({"info", "--all", "--ports", Ports(), "--wait", "3"});
  EXPECT_EQ(Count(info.out, "port: "), 2) << info.out << info.err;
}

INSTANTIATE_TEST_SUITE_P(
    EveryWay, GangStop,
    ::testing::Values(StopCase{"CtrlC", SIGINT, false, 130, "interrupted by Ctrl-C"},
                      StopCase{"CtrlCOnTheTerminal", SIGINT, true, 130, "interrupted by Ctrl-C"},
                      StopCase{"Sigterm", SIGTERM, false, 143, "stopped by a termination request"},
                      StopCase{"SigtermToTheJob", SIGTERM, true, 143,
                               "stopped by a termination request"},
                      StopCase{"TerminalClosed", SIGHUP, true, 129, "terminal was closed"},
                      StopCase{"ConductorKilled", SIGKILL, false, -1, "conductor ended"},
                      StopCase{"ReaderGone", 0, false, 141, "nothing reads the output"}),
    [](const auto& info) { return std::string(info.param.name); });

// A worker that dies is told about, by port and status, and replaced; a session it had
// started is written as failed, even one waiting for --verify, and the port goes on serving.
TEST_F(ProductionTest, GangReplacesALostWorkerAndWritesTheSessionItHadStarted) {
  chargersim::Options restarting;
  restarting.replugAfter = 4000ms;  // the charger reboots slowly into its new firmware
  Charger& verified = AddCharger("VERIFY", restarting);
  const std::string later = dir + "/ttyLATER";  // nothing there yet
  const std::string path = Image("V20");
  const std::string record = dir + "/rec.csv";
  Cli cli({"gang", path, "--ports", verified.link + "," + later, "--count", "2", "--verify",
           "--record", record, "--json"});
  ASSERT_TRUE(cli.ReadUntil(
      [](const std::string& out, const std::string&) { return Has(out, "\"verifying\""); }, 15s));
  const pid_t verifying = ChildWith(cli.Pid(), verified.link);
  const pid_t idle = ChildWith(cli.Pid(), later);
  ASSERT_GT(verifying, 0);
  ASSERT_GT(idle, 0);
  ::kill(verifying, SIGKILL);
  ::kill(idle, SIGKILL);
  verified.sim.Stop();  // gone for good: the port's next worker finds no charger there
  ASSERT_TRUE(cli.ReadUntil(
      [&](const std::string&, const std::string& err) {
        return Has(err, later + ": its worker ended unexpectedly (status 137); a new one starts");
      },
      10s));
  // The replacement serves the port: a charger plugged in there now is programmed.
  std::this_thread::sleep_for(1500ms);
  Charger& newcomer = AddCharger("LATER");
  ASSERT_EQ(newcomer.link, later);
  const Outcome run = cli.Finish(40s);
  EXPECT_EQ(run.exitCode, 1) << run.err;
  const auto results = Events(JsonLines(run.out), "result");
  ASSERT_EQ(results.size(), 2u) << run.out;
  for (const auto& result : results) {
    if (result.at("serial") == "VERIFY") {
      EXPECT_EQ(result.at("result"), "failed");
      EXPECT_TRUE(Has(result.at("reason"), "worker for this port ended unexpectedly (status 137)"))
          << result.at("reason");
    } else {
      EXPECT_EQ(result.at("result"), "succeeded") << result.at("reason");
    }
  }
  EXPECT_TRUE(Has(run.err, verified.link + ": its worker ended unexpectedly (status 137)"))
      << run.err;
  EXPECT_EQ(Lines(ReadFile(record)).size(), 3u) << ReadFile(record);
}

TEST_F(ProductionTest, CountIsSessionsInAllAndASkipIsOneOfThem) {
  for (const char* serial : {"C1", "C2", "C3", "C4"}) AddCharger(serial);
  const std::string path = Image("V20");
  const Outcome gang = RunCli({"gang", path, "--ports", Ports(), "--count", "3"});
  EXPECT_EQ(gang.exitCode, 0) << gang.err;
  EXPECT_EQ(Lines(gang.out).back(), "===  3 succeeded ===  0 failed ===");
  auto programmed = [&] {
    size_t sessions = 0;
    for (auto& charger : chargers) sessions += charger->sim.Sessions().size();
    return sessions;
  };
  EXPECT_TRUE(Eventually([&] { return programmed() == 3; }, 5s));
  std::this_thread::sleep_for(500ms);
  EXPECT_EQ(programmed(), 3u);

  // Now all four run the image's version (the simulator takes on what it received) but one.
  const Outcome skips =
      RunCli({"gang", path, "--ports", Ports(), "--count", "4", "--skip-same-version", "--json"});
  EXPECT_EQ(skips.exitCode, 0) << skips.err;
  EXPECT_EQ(CountFigures(skips.out), "1/0/3/0") << skips.out;
  EXPECT_TRUE(Eventually([&] { return programmed() == 4; }, 5s));

  const Outcome text =
      RunCli({"gang", path, "--ports", Ports(), "--count", "2", "--skip-same-version"});
  EXPECT_EQ(Lines(text.out).back(), "===  0 succeeded ===  0 failed ===  2 skipped ===");

  // auto on a charger already up to date: the skip is its one session.
  const Outcome single =
      Cli({"auto", path, "--ports", chargers[0]->link, "--count", "1", "--skip-same-version"})
          .Finish(15s);
  EXPECT_EQ(single.exitCode, 0) << single.err;
  EXPECT_EQ(Lines(single.out).back(), "===  0 succeeded ===  0 failed ===  1 skipped ===");
}

// The terminal as a user sees it after a run: results scrolled up above the table, the
// table never scrolled, cut to the terminal's height.
class Screen {
 public:
  Screen(int rows, int columns) : m_rows(rows), m_columns(columns), m_lines(rows) {}

  void Feed(const std::string& bytes) {
    for (size_t i = 0; i < bytes.size(); ++i) {
      const char c = bytes[i];
      if (c == '\033' && i + 1 < bytes.size() && bytes[i + 1] == '[') {
        size_t end = i + 2;
        while (end < bytes.size() &&
               (std::isdigit(static_cast<unsigned char>(bytes[end])) || bytes[end] == ';'))
          ++end;
        if (end >= bytes.size()) return;
        const int n = end > i + 2 ? std::stoi(bytes.substr(i + 2, end - i - 2)) : 0;
        Control(bytes[end], n);
        i = end;
      } else if (c == '\r') {
        m_column = 0;
      } else if (c == '\n') {
        if (++m_row == m_rows) {
          m_history.push_back(m_lines.front());
          m_lines.erase(m_lines.begin());
          m_lines.emplace_back();
          --m_row;
        }
      } else {
        std::string& line = m_lines[m_row];
        if (line.size() <= static_cast<size_t>(m_column)) line.resize(m_column + 1, ' ');
        if (m_column < m_columns) line[m_column++] = c;
      }
    }
  }
  std::vector<std::string> Everything() const {
    std::vector<std::string> all = m_history;
    all.insert(all.end(), m_lines.begin(), m_lines.end());
    return all;
  }
  const std::vector<std::string>& History() const { return m_history; }
  const std::vector<std::string>& Visible() const { return m_lines; }

 private:
  void Control(char command, int n) {
    switch (command) {
      case 'F':
        m_row = std::max(0, m_row - std::max(n, 1));
        m_column = 0;
        break;
      case 'J':
        m_lines[m_row].resize(std::min<size_t>(m_lines[m_row].size(), m_column));
        for (int r = m_row + 1; r < m_rows; ++r) m_lines[r].clear();
        break;
      case 'K':
        m_lines[m_row].clear();
        break;
    }
  }

  int m_rows;
  int m_columns;
  int m_row = 0;
  int m_column = 0;
  std::vector<std::string> m_lines;
  std::vector<std::string> m_history;
};

TEST_F(ProductionTest, GangOnATerminalKeepsResultsAboveATableThatFits) {
  for (const char* serial : {"T1", "T2", "T3"}) AddCharger(serial);
  std::string ports = Ports();
  for (int i = 0; i < 6; ++i) ports += "," + dir + "/ttyNONE" + std::to_string(i);
  const std::string path = Image("V20");
  constexpr int kRows = 8;
  int master = -1;
  int slave = -1;
  winsize size{};
  size.ws_row = kRows;
  size.ws_col = 200;
  ASSERT_EQ(::openpty(&master, &slave, nullptr, nullptr, &size), 0);
  const std::vector<std::string> args = {CLI_PATH, "gang", path, "--ports", ports, "--count", "3"};
  std::vector<char*> argv;
  for (const auto& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, slave, STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, slave, STDERR_FILENO);
  posix_spawn_file_actions_addclosefrom_np(&actions, 3);
  pid_t pid = -1;
  ASSERT_EQ(::posix_spawn(&pid, CLI_PATH, &actions, nullptr, argv.data(), environ), 0);
  posix_spawn_file_actions_destroy(&actions);
  ::close(slave);
  std::string output;
  const auto deadline = Clock::now() + 40s;
  for (;;) {
    pollfd fd{master, POLLIN, 0};
    if (Clock::now() > deadline || ::poll(&fd, 1, 500) < 0) break;
    char buffer[4096];
    const ssize_t n = ::read(master, buffer, sizeof buffer);
    if (n <= 0) break;  // every writer is gone
    output.append(buffer, static_cast<size_t>(n));
  }
  ::close(master);
  int status = 0;
  ::kill(pid, SIGKILL);
  ::waitpid(pid, &status, 0);

  Screen screen(kRows, 200);
  screen.Feed(output);
  const auto all = screen.Everything();
  for (const char* serial : {"T1", "T2", "T3"}) {
    // "... T1 succeeded" with nothing after it but blanks.
    const std::string ending = std::string(" ").append(serial).append(" succeeded");
    const auto endsThere = [&](const std::string& line) {
      const size_t at = line.find(ending);
      return at != std::string::npos &&
             line.find_first_not_of(' ', at + ending.size()) == std::string::npos;
    };
    EXPECT_EQ(std::count_if(all.begin(), all.end(), endsThere), 1) << serial << " in:\n"
                                                                   << ::testing::PrintToString(all);
  }
  // Only results ever scrolled away: the table stayed at the bottom, whole.
  for (const std::string& line : screen.History())
    EXPECT_FALSE(Has(line, "ELAPSED") || Has(line, "ttyNONE")) << line;
  const auto& visible = screen.Visible();
  EXPECT_EQ(std::count_if(visible.begin(), visible.end(),
                          [](const std::string& line) { return Has(line, "ELAPSED"); }),
            1)
      << ::testing::PrintToString(visible);
  EXPECT_TRUE(std::any_of(visible.begin(), visible.end(), [](const std::string& line) {
    return Has(line, " more");
  })) << ::testing::PrintToString(visible);
  EXPECT_TRUE(std::any_of(visible.begin(), visible.end(), [](const std::string& line) {
    return Has(line, "===  3 succeeded ===  0 failed ===");
  })) << ::testing::PrintToString(visible);
}

TEST_F(ProductionTest, APortNamedTwiceIsUsedOnce) {
  Charger& charger = AddCharger("TWICE");
  const std::string alias = dir + "/alias";
  std::filesystem::create_symlink(charger.sim.SlavePath(), alias);
  const std::string ports = charger.link + "," + charger.link + "," + alias;
  const Outcome info = RunCli({"info", "--all", "--ports", ports, "--wait", "3"});
  EXPECT_EQ(info.exitCode, 0) << info.err;
  EXPECT_EQ(Count(info.out, "serial: TWICE"), 1) << info.out;
  EXPECT_EQ(Count(info.err, "is the same port as " + charger.link + "; it is used once."), 2)
      << info.err;

  const std::string path = Image("V20");
  const Outcome gang = RunCli({"gang", path, "--ports", ports, "--count", "1"});
  EXPECT_EQ(gang.exitCode, 0) << gang.err;
  EXPECT_FALSE(Has(gang.err, "held by another program")) << gang.err;
  EXPECT_EQ(Lines(gang.out).back(), "===  1 succeeded ===  0 failed ===");
}

}  // namespace
