#pragma once

#include <chrono>
#include <memory>
#include <string>
#include <vector>

// Worker processes run side by side, one per port, each with its own engine. Their stdout and
// stderr arrive as lines; their stdin takes the conductor's lines. Workers live apart from the
// terminal's signals (on Windows they share its console): the conductor alone decides when
// they stop. Used from one thread; Wake from any.
class WorkerPool {
 public:
  struct Event {
    enum class Kind { Out, Err, Ended };
    Kind kind = Kind::Out;
    size_t worker = 0;
    std::string line;  // Out, Err: one line, without its end
    int status = 0;    // Ended: the exit status, or 128 + the signal that ended it
  };

  // `program` is started for every worker; `workers` slots, none running yet.
  WorkerPool(std::string program, size_t workers);
  // Kills and reaps every worker still running.
  ~WorkerPool();
  WorkerPool(const WorkerPool&) = delete;
  WorkerPool& operator=(const WorkerPool&) = delete;

  // Starts worker `index` with `args` (after the program's path); a slot whose worker has ended
  // may be started again. Empty, or why it could not be started.
  std::string Start(size_t index, const std::vector<std::string>& args);
  // One line on the worker's stdin; dropped when the worker cannot take it (ended, stuck).
  void Send(size_t index, const std::string& line);
  void Kill(size_t index);
  // Until something arrives, Wake() is called, or `timeout` has passed (negative: no limit).
  // An Ended event comes after the worker's last line.
  std::vector<Event> Wait(std::chrono::milliseconds timeout);
  void Wake();

  // This program's own path, for a conductor whose workers are the same program.
  static std::string ThisProgram();

 private:
  struct Impl;
  std::unique_ptr<Impl> m_impl;
};
