// What posting record rows costs. Two figures:
//  1. `records push` of 10 000 queued rows to a record server on 127.0.0.1 (target: < 10 s),
//     and what queueing one row costs (one locked, flushed append).
//  2. gang of 8 simulated chargers with --post against the same gang without, alternated over
//     a few rounds (target: ratio <= 1.02): the sender thread must cost programming nothing.
//
//   post_bench [--rows N] [--rounds N]

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "platform/posix_child_process.h"
#include "post/spool.h"
#include "record/session_record.h"
#include "wait_for_exit.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;
constexpr size_t kImageSize = 40960;
constexpr int kGangPorts = 8;

pid_t Spawn(std::vector<std::string> args) {
  ChildLaunch launch;
  launch.argv = std::move(args);
  launch.outToNull = true;
  launch.errToNull = true;
  Child child;
  return SpawnChild(launch, &child) == 0 ? child.pid : -1;
}

void Stop(pid_t pid) {
  if (pid <= 0) return;
  kill(pid, SIGTERM);
  waitpid(pid, nullptr, 0);
}

// Runs a program to its end: wall seconds, or -1 when it failed.
double Timed(std::vector<std::string> args) {
  const auto started = Clock::now();
  pid_t pid = Spawn(std::move(args));
  if (pid <= 0) return -1;
  const int status = bench::WaitForExit(pid, 600s);
  const double seconds = std::chrono::duration<double>(Clock::now() - started).count();
  return status == 0 ? seconds : -1;
}

// record_server.py on a free port; its port once it listens.
pid_t StartServer(const std::string& dir, int* port) {
  const std::string portFile = dir + "/server.port";
  std::remove(portFile.c_str());
  const pid_t pid = Spawn({"/usr/bin/python3", RECORD_SERVER_PY, "--port-file", portFile});
  *port = 0;
  for (int i = 0; i < 200 && *port == 0; ++i) {
    std::ifstream file(portFile);
    if (!(file >> *port)) std::this_thread::sleep_for(25ms);
  }
  return pid;
}

std::string RowText(int i) {
  SessionRecord row;
  row.time = UtcNowIso8601();
  row.host = "bench";
  row.port = "/dev/ttyUSB" + std::to_string(i % 32);
  row.charger = "QC-2410 Smart Charger";
  row.serial = "SN" + std::to_string(100000 + i);
  row.versionBefore = "V12";
  row.image = "fw_v20.bin";
  row.imageSize = 40960;
  row.imageSha256 = std::string(64, 'a');
  row.imageVersion = "V20";
  row.result = "succeeded";
  row.durationMs = 3300;
  row.id = NewRowId();
  std::string text = RecordJson(row).Text();
  text.pop_back();
  return text;
}

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values.empty() ? 0 : values[values.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  int rows = 10000;
  int rounds = 3;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (std::strcmp(argv[i], "--rows") == 0) rows = std::max(1, std::atoi(argv[i + 1]));
    if (std::strcmp(argv[i], "--rounds") == 0) rounds = std::max(1, std::atoi(argv[i + 1]));
  }
  char dirTemplate[] = "/tmp/post_bench.XXXXXX";
  const std::string dir = mkdtemp(dirTemplate);
  int port = 0;
  const pid_t server = StartServer(dir, &port);
  if (port == 0) {
    std::fprintf(stderr, "post_bench: the record server did not start\n");
    return 1;
  }
  const std::string url = "http://127.0.0.1:" + std::to_string(port) + "/records";

  // 1. A spool of `rows` rows, pushed.
  const std::string spoolDir = dir + "/spool";
  std::string error;
  auto spool = spool::Spool::Open(spoolDir, &error);
  if (!spool) {
    std::fprintf(stderr, "post_bench: %s\n", error.c_str());
    return 1;
  }
  constexpr int kTimedAdds = 200;
  const auto addStart = Clock::now();
  for (int i = 0; i < kTimedAdds; ++i) spool->Add(RowText(i), &error);
  const double addMs =
      std::chrono::duration<double, std::milli>(Clock::now() - addStart).count() / kTimedAdds;
  {
    // The rest in one write: the queue is plain JSON Lines.
    std::ofstream queue(spoolDir + "/queue.jsonl", std::ios::app);
    for (int i = kTimedAdds; i < rows; ++i) queue << RowText(i) << '\n';
  }
  const double pushS = Timed({CLI_PATH, "records", "push", "--post", url, "--spool", spoolDir});
  std::printf("post_bench: record server (Python http.server) on 127.0.0.1\n");
  std::printf("queueing one row (locked append, flushed to disk): %.2f ms\n", addMs);
  std::printf("records push of %d rows: %.2f s (%.0f rows/s), %s; target < 10 s\n", rows, pushS,
              pushS > 0 ? rows / pushS : 0.0, pushS > 0 ? "queue emptied" : "FAILED");
  std::fflush(stdout);

  // 2. gang of 8, with and without --post, alternated.
  const std::string image = dir + "/fw.bin";
  {
    std::vector<char> bytes(kImageSize);
    std::mt19937 random(9);
    for (char& b : bytes) b = static_cast<char>(random());
    std::ofstream(image, std::ios::binary).write(bytes.data(), kImageSize);
  }
  std::vector<pid_t> sims;
  std::string ports;
  for (int i = 0; i < kGangPorts; ++i) {
    const std::string link = dir + "/tty" + std::to_string(i);
    sims.push_back(Spawn({CHARGER_SIM_PATH, "--link", link, "--keep-version"}));
    ports += (ports.empty() ? "" : ",") + link;
    struct stat info {};
    for (int tries = 0; tries < 100 && stat(link.c_str(), &info) != 0; ++tries)
      std::this_thread::sleep_for(20ms);
  }
  const std::vector<std::string> gang = {
      CLI_PATH, "gang", image, "--ports", ports, "--count", std::to_string(kGangPorts)};
  std::vector<double> without, with;
  for (int round = 0; round < rounds; ++round) {
    without.push_back(Timed(gang));
    std::vector<std::string> posting = gang;
    posting.insert(posting.end(), {"--post", url, "--spool", spoolDir});
    with.push_back(Timed(posting));
    std::printf("round %d: gang of %d without --post %.2f s, with --post %.2f s\n", round + 1,
                kGangPorts, without.back(), with.back());
    std::fflush(stdout);
  }
  for (pid_t sim : sims) Stop(sim);
  const double ratio = Median(with) / Median(without);
  std::printf(
      "gang of %d, %zu-byte image, median of %d: %.2f s without, %.2f s with --post: "
      "ratio %.3f; target <= 1.02\n",
      kGangPorts, kImageSize, rounds, Median(without), Median(with), ratio);
  const auto left = spool::Spool::Look(spoolDir, &error);
  std::printf("rows left in the spool: %zu\n", left ? left->queued : size_t{0});
  Stop(server);
  const std::string command = "rm -rf " + dir;
  std::system(command.c_str());
  return 0;
}
