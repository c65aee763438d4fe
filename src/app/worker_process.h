#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

// One charger-updater-cli child working on one port, its stdout and stderr read line by line.
// It runs in a process group of its own, so a Ctrl-C on the terminal reaches only the
// conductor, which forwards it once.
class WorkerProcess {
 public:
  WorkerProcess(std::string port, std::vector<std::string> args);
  ~WorkerProcess();
  WorkerProcess(const WorkerProcess&) = delete;
  WorkerProcess& operator=(const WorkerProcess&) = delete;

  // false, with the OS's reason, when the child could not be started.
  bool Start(std::string* error);
  // Asks the worker to stop between sessions (its stdin reaches end of file).
  void CloseInput();
  void Signal(int signal);
  // Reads what is ready on `fd` (one of OutFd/ErrFd); complete lines are appended to `lines`.
  // false once that stream has ended.
  bool ReadReady(int fd, std::vector<std::string>* lines);
  bool OutputEnded() const { return m_outFd < 0 && m_errFd < 0; }
  // Reaps the child once its output has ended. The exit status, or 128 + signal.
  int Wait();

  int OutFd() const { return m_outFd; }
  int ErrFd() const { return m_errFd; }
  const std::string& Port() const { return m_port; }

 private:
  std::string m_port;
  std::vector<std::string> m_args;
  pid_t m_pid = -1;
  int m_inFd = -1;
  int m_outFd = -1;
  int m_errFd = -1;
  std::string m_outPartial;
  std::string m_errPartial;
};

// This program's own path, to start workers of the same build.
std::string SelfPath();
