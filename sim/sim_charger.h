#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "sim/menu_reply.h"
#include "sim/pty.h"
#include "sim/receiver.h"

namespace chargersim {

struct Options {
  Identity identity;
  std::optional<std::string> rawReply;  // sent as is instead of the built menu reply

  std::string linkPath;    // kept pointing at the current slave; removed while unplugged
  bool printPath = false;  // one line on stdout, flushed, each time the charger is plugged in
  // After a successful session the menu reports the version tag of the image received, as a
  // charger restarted into its new firmware does; true keeps the configured version.
  bool keepVersion = false;
  std::string savePath;   // each successfully received image is written here
  unsigned sessions = 0;  // finish after this many programming sessions; 0 = never
  // After each session (and after an unplug fault), unplug and come back after this long, as a
  // charger does when it reboots into its new firmware.
  std::optional<std::chrono::milliseconds> replugAfter;

  // Faults.
  bool silentAfter1 = false;  // the loader never starts
  bool noAnswer = false;      // "0" gets no menu reply
  bool garbage = false;       // a few random non-protocol bytes go out before each reply
  std::chrono::milliseconds replyDelay{0};
  // The line's speed in baud, 8N1 (10 bits a byte): every byte read and sent takes its time on
  // the wire, each direction on its own. 0: as fast as the pty goes.
  unsigned baud = 0;
  ReceiverConfig receiver;  // EOT, final 'C' and unplug faults, timeouts
  uint32_t seed = 1;        // for the garbage bytes

  bool verbose = false;
  // Where the simulator tells what it does; nothing is logged when unset. `detail` lines are
  // for verbose mode only.
  std::function<void(const std::string& text)> log;
};

struct Counters {
  unsigned menuReplies = 0;
  unsigned ignoredCommands = 0;  // bytes in menu mode that are no command
  unsigned plugIns = 0;          // the first plug-in counts
};

// The simulated charger, running on a thread of its own: it owns a pty, answers the menu
// command "0", and runs the YMODEM receiver after "1".
class SimCharger {
 public:
  using Clock = std::chrono::steady_clock;

  SimCharger() = default;
  ~SimCharger() { Stop(); }
  SimCharger(const SimCharger&) = delete;
  SimCharger& operator=(const SimCharger&) = delete;

  // Opens the first pty and starts the thread. false, with the reason, on bad options or when
  // no pty can be had.
  bool Start(Options options, std::string* error = nullptr);
  // Ends the thread, closes the pty and removes the link. Safe to call more than once.
  void Stop();
  // Safe from a signal handler: asks the thread to end (Stop() or Wait() does the rest).
  void RequestStop() noexcept;
  // Blocks until the simulator has finished by itself (session count reached, unplugged with
  // no replug to come) or was asked to stop.
  void Wait();

  // The "serial port" to open; empty while unplugged.
  std::string SlavePath() const;
  bool Plugged() const;
  // Both return once done; false when the simulator is not running.
  bool Unplug();
  bool Replug();

  std::vector<SessionResult> Sessions() const;
  bool WaitForSessions(size_t count, std::chrono::milliseconds timeout) const;
  bool WaitForPlugged(bool plugged, std::chrono::milliseconds timeout) const;
  // The image of the last successful session; empty when none.
  std::vector<uint8_t> ReceivedImage() const;
  Counters GetCounters() const;

 private:
  enum class Command { Unplug, Replug };
  struct Outgoing {
    Clock::time_point due;
    std::vector<uint8_t> bytes;
  };

  void Run();
  void RunCommands();
  void RunTimers(Clock::time_point now);
  Clock::time_point NextDeadline() const;
  void ReadMaster();
  // Bytes read from the pty, handed on once each has crossed the line.
  void DeliverArrived(Clock::time_point now);
  void OnBytes(const uint8_t* data, size_t count, Clock::time_point now);
  void OnMenuByte(uint8_t byte, Clock::time_point now);
  void Reply(std::vector<uint8_t> bytes);
  void FlushOutput(Clock::time_point now);
  // Logs, saves and publishes the receiver's result; true when the session count is reached.
  bool RecordSession();
  void TakeVersionOf(const std::vector<uint8_t>& image);
  void EndSession(Clock::time_point now);
  bool DoPlug(std::string* error);
  void DoUnplug(const char* why);
  void FinishRun();
  void Log(bool detail, const std::string& text) const;
  bool RunCommand(Command command);

  Options m_options;
  std::vector<uint8_t> m_menuReply;

  // Loop thread only.
  Pty m_pty;
  bool m_slaveClosed = false;  // nobody has the slave open: the master reports a hang-up
  std::unique_ptr<Receiver> m_receiver;
  std::deque<Outgoing> m_output;
  bool m_outputBlocked = false;
  Clock::duration m_byteTime{0};  // one byte's time on the wire; 0 without --baud
  struct Arriving {
    Clock::time_point due;
    uint8_t byte;
  };
  std::deque<Arriving> m_arriving;    // read from the pty, still on the wire
  Clock::time_point m_inLineFree{};   // when the last byte read has crossed the line
  Clock::time_point m_outLineFree{};  // when the last reply queued has crossed the line
  // When the byte being handled arrived: replies start from there, not from when it was read.
  Clock::time_point m_eventTime{};
  std::optional<Clock::time_point> m_unplugAt;
  std::optional<Clock::time_point> m_replugAt;
  std::optional<Clock::time_point> m_finishAt;
  bool m_unplugFaultDone = false;
  bool m_finishing = false;
  std::mt19937 m_random;

  std::atomic<int> m_wakeFd{-1};
  std::atomic<bool> m_stopRequested{false};
  std::thread m_thread;

  mutable std::mutex m_mutex;
  mutable std::condition_variable m_changed;
  bool m_running = false;
  bool m_finished = false;
  std::string m_slavePath;
  std::vector<Command> m_commands;
  uint64_t m_commandsIssued = 0;
  uint64_t m_commandsDone = 0;
  std::vector<SessionResult> m_sessions;
  Counters m_counters;
};

}  // namespace chargersim
