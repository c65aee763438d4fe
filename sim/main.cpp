// charger-sim: a battery charger on a pseudo-terminal, for trying the updater without one.

#include <pthread.h>
#include <signal.h>

#include <CLI/CLI.hpp>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>

#include "res/version.h"
#include "sim/sim_charger.h"

namespace {

chargersim::SimCharger* g_sim = nullptr;

void OnSignal(int) {
  if (g_sim != nullptr) g_sim->RequestStop();
}

const char kFooter[] = R"(
Examples:
  charger-sim
      prints the port to open (e.g. /dev/pts/3) and answers on it until Ctrl-C
  charger-sim --link /tmp/charger -v
      keeps /tmp/charger pointing at the port; logs every command and block
  charger-sim --link /tmp/charger --once --save got.bin
      exits after one programming session; got.bin holds the image it received
  charger-sim --link /tmp/charger --replug-after 2000
      after each session vanishes for 2 s, like a charger rebooting into new firmware
  charger-sim --link /tmp/charger --unplug-after-blocks 5 --replug-after 3000
      pulls the cable after the 5th block of the first transfer, is back 3 s later
  charger-sim --serial 20240117 --firmware-version V13 --garbage --reply-delay 300
      another charger, on a noisy, slow line
  charger-sim --link /tmp/charger --baud 115200
      bytes take as long as on a real 115200 baud line (a 1024-byte block about 89 ms)

The charger answers "0" with its menu (identification, "SN: ...", "VER: ...", "Main Menu")
and starts its YMODEM loader on "1". Like the real loader it answers the header block with
ACK and 'C' in a single write, and EOT likewise; every reply goes out as one write.
Unplugging closes the pty, so the port path disappears; a replug makes a new pty and
re-points the --link symlink in one step.

Exit status: 0 when every programming session succeeded, 1 when one failed, 2 on bad
options or when no pty could be opened.)";

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{
      "Simulated battery charger on a pseudo-terminal: menu command \"0\", YMODEM loader "
      "on \"1\", and faults on demand."};
  app.footer(kFooter);
  app.set_version_flag("--version", std::string("charger-sim ") + kChargerUpdaterVersion);

  chargersim::Options options;
  std::string replyFile;
  int replugAfterMs = -1;
  int replyDelayMs = 0;
  int byteTimeoutMs = static_cast<int>(options.receiver.byteTimeout.count());
  int idleTimeoutMs = static_cast<int>(options.receiver.idleTimeout.count());
  bool once = false;
  bool verbose = false;

  app.add_option("--link", options.linkPath, "Symlink kept pointing at the current port")
      ->type_name("PATH");
  app.add_option("--id", options.identity.id, "Identification line (menu line 1)")
      ->type_name("TEXT")
      ->capture_default_str();
  app.add_option("--serial", options.identity.serial, "Serial number, shown as \"SN: TEXT\"")
      ->type_name("TEXT")
      ->capture_default_str();
  app.add_option("--firmware-version", options.identity.version,
                 "Firmware version, 3 characters, shown as \"VER: TEXT\"")
      ->type_name("TEXT")
      ->capture_default_str();
  app.add_flag("--keep-version", options.keepVersion,
               "Keep reporting --firmware-version after a session (by default the menu then "
               "reports the received image's version tag)");
  app.add_option("--reply-file", replyFile, "Send this file's bytes as the menu reply instead")
      ->type_name("FILE")
      ->check(CLI::ExistingFile);
  app.add_option("--save", options.savePath, "Write each successfully received image here")
      ->type_name("FILE");
  auto* sessions =
      app.add_option("--sessions", options.sessions, "Exit after N programming sessions")
          ->type_name("N");
  app.add_flag("--once", once, "Exit after one programming session")->excludes(sessions);
  app.add_option("--replug-after", replugAfterMs,
                 "After each session and after an unplug fault, vanish and come back after MS")
      ->type_name("MS")
      ->check(CLI::NonNegativeNumber);

  const std::string faults = "Faults";
  app.add_flag("--silent-after-1", options.silentAfter1, "Never start the loader on \"1\"")
      ->group(faults);
  app.add_flag("--nak-first-eot", options.receiver.nakFirstEot, "Answer the first EOT with NAK")
      ->group(faults);
  app.add_flag("--fa-instead-of-final-c", options.receiver.faInsteadOfFinalC,
               "Send 0xFA instead of the 'C' after EOT")
      ->group(faults);
  app.add_flag("--stray-ack", options.receiver.strayAck, "Send one ACK too many before that 'C'")
      ->group(faults);
  app.add_option("--unplug-after-blocks", options.receiver.unplugAfterBlocks,
                 "Pull the cable once block N of the first transfer has arrived (unanswered)")
      ->type_name("N")
      ->check(CLI::PositiveNumber)
      ->group(faults);
  app.add_option("--reply-delay", replyDelayMs, "Hold every reply back this many MS")
      ->type_name("MS")
      ->check(CLI::NonNegativeNumber)
      ->group(faults);
  app.add_flag("--garbage", options.garbage, "Send a few random non-protocol bytes before replies")
      ->group(faults);
  app.add_flag("--no-answer", options.noAnswer, "Ignore \"0\"")->group(faults);

  const std::string tuning = "Tuning";
  app.add_option("--baud", options.baud,
                 "Pace every byte read and sent as a UART at RATE baud, 8N1 (10 bits a byte); "
                 "without it bytes take no time on the line")
      ->type_name("RATE")
      ->check(CLI::Range(50u, 4000000u))
      ->group(tuning);
  app.add_option("--byte-timeout", byteTimeoutMs, "A block stalled this many MS is NAKed")
      ->type_name("MS")
      ->check(CLI::PositiveNumber)
      ->capture_default_str()
      ->group(tuning);
  app.add_option("--idle-timeout", idleTimeoutMs,
                 "Silence between blocks before asking again ('C' or NAK); 10 of them end the "
                 "session")
      ->type_name("MS")
      ->check(CLI::PositiveNumber)
      ->capture_default_str()
      ->group(tuning);
  app.add_option("--seed", options.seed, "Seed for the --garbage bytes")
      ->type_name("N")
      ->group(tuning);
  app.add_flag("-v,--verbose", verbose, "Log every command, block and reply to stderr");

  CLI11_PARSE(app, argc, argv);

  if (!replyFile.empty()) {
    std::ifstream file(replyFile, std::ios::binary);
    options.rawReply.emplace(std::istreambuf_iterator<char>(file),
                             std::istreambuf_iterator<char>());
  }
  if (once) options.sessions = 1;
  if (replugAfterMs >= 0) options.replugAfter = std::chrono::milliseconds(replugAfterMs);
  options.replyDelay = std::chrono::milliseconds(replyDelayMs);
  options.receiver.byteTimeout = std::chrono::milliseconds(byteTimeoutMs);
  options.receiver.idleTimeout = std::chrono::milliseconds(idleTimeoutMs);
  options.verbose = verbose;
  options.printPath = true;
  const auto started = std::chrono::steady_clock::now();
  options.log = [started](const std::string& text) {
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    std::fprintf(stderr, "[%8.3f] %s\n", seconds, text.c_str());
  };

  chargersim::SimCharger sim;
  g_sim = &sim;
  // Held back until the simulator runs, so an early Ctrl-C still removes the link; the
  // simulator's thread inherits the mask and never takes them.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
  struct sigaction action = {};
  action.sa_handler = OnSignal;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);

  std::string error;
  if (!sim.Start(options, &error)) {
    std::fprintf(stderr, "charger-sim: %s\n", error.c_str());
    return 2;
  }
  pthread_sigmask(SIG_UNBLOCK, &stopSignals, nullptr);
  sim.Wait();
  sim.Stop();
  g_sim = nullptr;

  for (const chargersim::SessionResult& session : sim.Sessions()) {
    if (!session.ok) return 1;
  }
  return 0;
}
