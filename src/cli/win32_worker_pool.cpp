#include <windows.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <utility>

#include "cli/line_splitter.h"
#include "cli/worker_pool.h"
#include "platform/exit_status.h"
#include "platform/win32_text.h"

namespace {

// Quoted so that the child's CommandLineToArgvW gives back exactly `arg`: backslashes are
// special only in front of a quote.
void AppendQuoted(std::wstring& line, const std::wstring& arg) {
  if (!line.empty()) line += L' ';
  if (!arg.empty() && arg.find_first_of(L" \t\n\v\"") == std::wstring::npos) {
    line += arg;
    return;
  }
  line += L'"';
  for (auto it = arg.begin();; ++it) {
    size_t slashes = 0;
    for (; it != arg.end() && *it == L'\\'; ++it) ++slashes;
    if (it == arg.end()) {
      line.append(slashes * 2, L'\\');
      break;
    }
    line.append(*it == L'"' ? slashes * 2 + 1 : slashes, L'\\');
    line += *it;
  }
  line += L'"';
}

std::wstring SelfPath() {
  std::wstring path(32768, L'\0');
  path.resize(GetModuleFileNameW(nullptr, path.data(), DWORD(path.size())));
  return path;
}

struct Item {
  size_t worker;
  bool isErr;
  bool end;  // this stream has ended
  std::string line;
};

// What the reader threads and the console handler hand to the thread in Run.
struct Shared {
  std::mutex mutex;
  std::condition_variable changed;
  std::deque<Item> items;
  int stopStatus = 0;

  void Push(std::deque<Item>& more) {
    {
      std::lock_guard lock(mutex);
      for (auto& item : more) items.push_back(std::move(item));
    }
    more.clear();
    changed.notify_one();
  }
};

// The console calls its handler on a thread of its own, with no argument to find the pool by.
std::mutex g_activeMutex;
Shared* g_active = nullptr;
HANDLE g_runEnded = nullptr;  // set when Run returns, so a console close waits for the rows
constexpr DWORD kCloseGraceMs = 4500;  // Windows ends the process about 5 s after a close

// The workers share the console and see each Ctrl-C themselves; the conductor notes the stop
// and stays alive to collect their results.
BOOL WINAPI OnConsoleEvent(DWORD event) {
  std::unique_lock lock(g_activeMutex);
  if (g_active == nullptr) return FALSE;
  const bool interrupt = event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT;
  {
    std::lock_guard stop(g_active->mutex);
    if (g_active->stopStatus == 0)
      g_active->stopStatus = interrupt ? kExitInterrupted : kExitTerminated;
  }
  g_active->changed.notify_one();
  lock.unlock();
  if (!interrupt) WaitForSingleObject(g_runEnded, kCloseGraceMs);
  return TRUE;
}

void ReadStream(Shared& shared, size_t worker, bool isErr, HANDLE pipe) {
  LineSplitter splitter;
  std::deque<Item> lines;
  char buffer[4096];
  DWORD got = 0;
  while (ReadFile(pipe, buffer, sizeof buffer, &got, nullptr) && got > 0) {
    for (auto& line : splitter.Add(std::string_view(buffer, got)))
      lines.push_back({worker, isErr, false, std::move(line)});
    if (!lines.empty()) shared.Push(lines);
  }
  CloseHandle(pipe);
  if (auto last = splitter.Finish()) lines.push_back({worker, isErr, false, std::move(*last)});
  lines.push_back({worker, isErr, true, {}});
  shared.Push(lines);
}

struct Worker {
  HANDLE process = nullptr;
  HANDLE in = nullptr;
  std::thread readers[2];
  int openStreams = 0;
  std::string startError;
  bool ended = false;
};

}  // namespace

struct WorkerPool::Impl {
  std::vector<std::vector<std::string>> args;
  std::deque<Worker> workers;
  Shared shared;

  bool Spawn(size_t index, std::string* error) {
    Worker& worker = workers[index];
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    HANDLE pipes[3][2] = {};  // stdin, stdout, stderr: {read end, write end}
    auto closeAll = [&] {
      for (auto& pipe : pipes)
        for (HANDLE end : pipe)
          if (end != nullptr) CloseHandle(end);
    };
    for (auto& pipe : pipes) {
      if (!CreatePipe(&pipe[0], &pipe[1], &inherit, 0)) {
        *error = "cannot create a pipe: " + WindowsErrorText(GetLastError());
        closeAll();
        return false;
      }
    }
    // Only the child's ends are inherited.
    for (HANDLE mine : {pipes[0][1], pipes[1][0], pipes[2][0]})
      SetHandleInformation(mine, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = pipes[0][0];
    startup.hStdOutput = pipes[1][1];
    startup.hStdError = pipes[2][1];
    const std::wstring self = SelfPath();
    std::wstring line;
    AppendQuoted(line, self);
    for (const auto& arg : args[index]) AppendQuoted(line, Widen(arg));
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(self.c_str(), line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                        &startup, &process)) {
      *error = WindowsErrorText(GetLastError());
      closeAll();
      return false;
    }
    CloseHandle(process.hThread);
    for (HANDLE childs : {pipes[0][0], pipes[1][1], pipes[2][1]}) CloseHandle(childs);
    worker.process = process.hProcess;
    worker.in = pipes[0][1];
    worker.openStreams = 2;
    worker.readers[0] = std::thread(ReadStream, std::ref(shared), index, false, pipes[1][0]);
    worker.readers[1] = std::thread(ReadStream, std::ref(shared), index, true, pipes[2][0]);
    return true;
  }
};

WorkerPool::WorkerPool(std::vector<std::vector<std::string>> args) : m_impl(new Impl) {
  m_impl->args = std::move(args);
  m_impl->workers.resize(m_impl->args.size());
  std::lock_guard lock(g_activeMutex);
  if (g_runEnded == nullptr) {
    g_runEnded = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    SetConsoleCtrlHandler(&OnConsoleEvent, TRUE);
  }
  ResetEvent(g_runEnded);
  g_active = &m_impl->shared;
}

// The console handler stays installed: once no pool is active it declines, and Windows'
// own handling ends the process.
WorkerPool::~WorkerPool() {
  {
    std::lock_guard lock(g_activeMutex);
    if (g_active == &m_impl->shared) g_active = nullptr;
  }
  for (Worker& worker : m_impl->workers) {
    if (worker.in != nullptr) CloseHandle(worker.in);
    if (worker.process != nullptr) {
      TerminateProcess(worker.process, 1);
      WaitForSingleObject(worker.process, INFINITE);
      CloseHandle(worker.process);
    }
    for (auto& reader : worker.readers)
      if (reader.joinable()) reader.join();
  }
}

void WorkerPool::Start() {
  for (size_t i = 0; i < m_impl->workers.size(); ++i) {
    Worker& worker = m_impl->workers[i];
    if (!m_impl->Spawn(i, &worker.startError) && worker.startError.empty())
      worker.startError = "unknown error";
  }
}

void WorkerPool::CloseInputs() {
  for (Worker& worker : m_impl->workers)
    if (worker.in != nullptr) CloseHandle(std::exchange(worker.in, nullptr));
}

int WorkerPool::StopStatus() const {
  std::lock_guard lock(m_impl->shared.mutex);
  return m_impl->shared.stopStatus;
}

void WorkerPool::Run(const Events& events, int tickMs) {
  Shared& shared = m_impl->shared;
  size_t running = 0;
  for (size_t i = 0; i < m_impl->workers.size(); ++i) {
    Worker& worker = m_impl->workers[i];
    if (worker.startError.empty()) {
      ++running;
      continue;
    }
    events.err(i, "cannot start a worker: " + worker.startError);
    worker.ended = true;
    events.ended(i, 1);
  }
  bool stopSeen = false;
  while (running > 0) {
    std::deque<Item> batch;
    bool stopped = false;
    {
      std::unique_lock lock(shared.mutex);
      auto ready = [&] { return !shared.items.empty() || (shared.stopStatus != 0 && !stopSeen); };
      if (tickMs > 0)
        shared.changed.wait_for(lock, std::chrono::milliseconds(tickMs), ready);
      else
        shared.changed.wait(lock, ready);
      batch.swap(shared.items);
      stopped = shared.stopStatus != 0;
    }
    if (stopped && !stopSeen) {
      stopSeen = true;
      CloseInputs();  // no new session starts, even on a worker that missed the console event
    }
    for (Item& item : batch) {
      if (!item.end) {
        (item.isErr ? events.err : events.out)(item.worker, item.line);
        continue;
      }
      Worker& worker = m_impl->workers[item.worker];
      if (--worker.openStreams > 0) continue;
      for (auto& reader : worker.readers) reader.join();
      DWORD status = 1;
      WaitForSingleObject(worker.process, INFINITE);
      GetExitCodeProcess(worker.process, &status);
      CloseHandle(std::exchange(worker.process, nullptr));
      worker.ended = true;
      --running;
      events.ended(item.worker, int(status));
    }
    events.tick();
  }
  SetEvent(g_runEnded);
}
