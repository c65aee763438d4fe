#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

// charger-updater-cli children run side by side, one per port, each with its own engine. Their
// stdout and stderr are read line by line. They run apart from the terminal's Ctrl-C: the
// pool forwards each stop request (Ctrl-C, SIGTERM) to every worker once.
class WorkerPool {
 public:
  struct Events {
    std::function<void(size_t worker, const std::string& line)> out;
    std::function<void(size_t worker, const std::string& line)> err;
    // After the worker's output has ended; its exit status, or 128 + signal.
    std::function<void(size_t worker, int exitStatus)> ended;
    // After every batch of lines, and at least every tickMs when tickMs > 0.
    std::function<void()> tick;
  };

  // One worker per entry: its arguments, without the program's own path.
  explicit WorkerPool(std::vector<std::vector<std::string>> args);
  ~WorkerPool();
  WorkerPool(const WorkerPool&) = delete;
  WorkerPool& operator=(const WorkerPool&) = delete;

  // Starts every worker. Those that cannot be started are reported through `err` and
  // `ended` (status 1) once Run starts.
  void Start();
  // Asks every worker to stop between sessions (its stdin reaches end of file).
  void CloseInputs();
  // Runs until every worker has ended.
  void Run(const Events& events, int tickMs);
  // 130 after Ctrl-C, 143 after SIGTERM, 0 when no stop was requested.
  int StopStatus() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> m_impl;
};
