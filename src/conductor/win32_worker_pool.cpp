#include <windows.h>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>

#include "conductor/line_splitter.h"
#include "conductor/worker_pool.h"
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

// What the reader threads hand to the thread in Wait.
struct Shared {
  std::mutex mutex;
  std::condition_variable changed;
  std::deque<WorkerPool::Event> events;
  bool woken = false;

  void Push(std::deque<WorkerPool::Event>& more) {
    {
      std::lock_guard lock(mutex);
      for (auto& event : more) events.push_back(std::move(event));
      woken = true;
    }
    more.clear();
    changed.notify_one();
  }
};

// One stream of one worker, line by line; an Ended event closes the worker's last stream,
// once its process has ended, so nothing it wrote comes after it.
void ReadStream(Shared& shared, size_t worker, bool isErr, HANDLE pipe, HANDLE process,
                std::shared_ptr<std::atomic<int>> openStreams) {
  using Kind = WorkerPool::Event::Kind;
  const Kind kind = isErr ? Kind::Err : Kind::Out;
  LineSplitter splitter;
  std::deque<WorkerPool::Event> lines;
  char buffer[4096];
  DWORD got = 0;
  while (ReadFile(pipe, buffer, sizeof buffer, &got, nullptr) && got > 0) {
    for (auto& line : splitter.Add(std::string_view(buffer, got)))
      lines.push_back({kind, worker, std::move(line), 0});
    if (!lines.empty()) shared.Push(lines);
  }
  CloseHandle(pipe);
  if (auto last = splitter.Finish()) lines.push_back({kind, worker, std::move(*last), 0});
  if (--*openStreams == 0) {
    DWORD status = 1;
    WaitForSingleObject(process, INFINITE);
    GetExitCodeProcess(process, &status);
    lines.push_back({Kind::Ended, worker, {}, static_cast<int>(status)});
  }
  shared.Push(lines);
}

struct Worker {
  HANDLE process = nullptr;
  HANDLE in = nullptr;
  std::thread readers[2];
  bool running = false;
};

}  // namespace

struct WorkerPool::Impl {
  std::wstring program;
  std::deque<Worker> workers;
  Shared shared;

  void Release(Worker& worker) {
    for (auto& reader : worker.readers)
      if (reader.joinable()) reader.join();
    if (worker.in != nullptr) CloseHandle(std::exchange(worker.in, nullptr));
    if (worker.process != nullptr) CloseHandle(std::exchange(worker.process, nullptr));
  }
};

WorkerPool::WorkerPool(std::string program, size_t workers) : m_impl(new Impl) {
  m_impl->program = program.empty() ? Widen(ThisProgram()) : Widen(program);
  m_impl->workers.resize(workers);
}

WorkerPool::~WorkerPool() {
  for (Worker& worker : m_impl->workers) {
    if (worker.in != nullptr) CloseHandle(std::exchange(worker.in, nullptr));
    if (worker.process != nullptr && worker.running) TerminateProcess(worker.process, 1);
    m_impl->Release(worker);
  }
}

std::string WorkerPool::ThisProgram() {
  std::wstring path(32768, L'\0');
  path.resize(GetModuleFileNameW(nullptr, path.data(), DWORD(path.size())));
  return Narrow(path);
}

// The workers share the console, so closing it reaches each of them; a window's workers get
// no console window of their own.
std::string WorkerPool::Start(size_t index, const std::vector<std::string>& args) {
  Worker& worker = m_impl->workers[index];
  if (worker.running) return "it is still running";
  m_impl->Release(worker);
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  HANDLE pipes[3][2] = {};  // stdin, stdout, stderr: {read end, write end}
  auto closeAll = [&] {
    for (auto& pipe : pipes)
      for (HANDLE end : pipe)
        if (end != nullptr) CloseHandle(end);
  };
  for (auto& pipe : pipes) {
    if (!CreatePipe(&pipe[0], &pipe[1], &inherit, 0)) {
      const std::string error = "cannot create a pipe: " + WindowsErrorText(GetLastError());
      closeAll();
      return error;
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
  std::wstring line;
  AppendQuoted(line, m_impl->program);
  for (const auto& arg : args) AppendQuoted(line, Widen(arg));
  const DWORD flags = GetConsoleWindow() == nullptr ? CREATE_NO_WINDOW : 0;
  PROCESS_INFORMATION process{};
  if (!CreateProcessW(m_impl->program.c_str(), line.data(), nullptr, nullptr, TRUE, flags, nullptr,
                      nullptr, &startup, &process)) {
    const std::string error = WindowsErrorText(GetLastError());
    closeAll();
    return error;
  }
  CloseHandle(process.hThread);
  for (HANDLE childs : {pipes[0][0], pipes[1][1], pipes[2][1]}) CloseHandle(childs);
  worker.process = process.hProcess;
  worker.in = pipes[0][1];
  worker.running = true;
  auto open = std::make_shared<std::atomic<int>>(2);
  worker.readers[0] = std::thread(ReadStream, std::ref(m_impl->shared), index, false, pipes[1][0],
                                  worker.process, open);
  worker.readers[1] = std::thread(ReadStream, std::ref(m_impl->shared), index, true, pipes[2][0],
                                  worker.process, open);
  return {};
}

void WorkerPool::Send(size_t index, const std::string& line) {
  Worker& worker = m_impl->workers[index];
  if (worker.in == nullptr) return;
  const std::string text = line + "\n";
  DWORD put = 0;
  if (!WriteFile(worker.in, text.data(), DWORD(text.size()), &put, nullptr))
    CloseHandle(std::exchange(worker.in, nullptr));
}

void WorkerPool::Kill(size_t index) {
  Worker& worker = m_impl->workers[index];
  if (worker.running) TerminateProcess(worker.process, 1);
}

void WorkerPool::Wake() {
  {
    std::lock_guard lock(m_impl->shared.mutex);
    m_impl->shared.woken = true;
  }
  m_impl->shared.changed.notify_one();
}

std::vector<WorkerPool::Event> WorkerPool::Wait(std::chrono::milliseconds timeout) {
  Shared& shared = m_impl->shared;
  std::deque<Event> batch;
  {
    std::unique_lock lock(shared.mutex);
    auto ready = [&] { return shared.woken; };
    if (timeout.count() < 0)
      shared.changed.wait(lock, ready);
    else
      shared.changed.wait_for(lock, timeout, ready);
    shared.woken = false;
    batch.swap(shared.events);
  }
  std::vector<Event> events;
  for (Event& event : batch) {
    if (event.kind == Event::Kind::Ended) {
      Worker& worker = m_impl->workers[event.worker];
      worker.running = false;
      m_impl->Release(worker);
    }
    events.push_back(std::move(event));
  }
  return events;
}
