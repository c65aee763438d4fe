#include "sim/sim_charger.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <fstream>

namespace chargersim {
namespace {

using std::chrono::milliseconds;

// While nobody has the slave open the master reports a hang-up on every poll, so the loop
// looks again this often instead of spinning.
constexpr milliseconds kClosedPortRecheck{50};
// Lets the loader's last ACK leave before the charger reboots or the simulator ends.
constexpr milliseconds kRebootDelay{100};

// ppoll's time-out until `deadline`; nullptr waits for ever. To the nanosecond, since a paced
// line's bytes are tens of microseconds apart.
const timespec* WaitUntil(SimCharger::Clock::time_point deadline, SimCharger::Clock::time_point now,
                          timespec* wait) {
  if (deadline == SimCharger::Clock::time_point::max()) return nullptr;
  const auto left = std::chrono::duration_cast<std::chrono::nanoseconds>(
                        std::max(deadline - now, SimCharger::Clock::duration::zero()))
                        .count();
  wait->tv_sec = static_cast<time_t>(std::min<long long>(left / 1000000000, INT_MAX));
  wait->tv_nsec = static_cast<long>(left % 1000000000);
  return wait;
}

// 8N1: a start bit, eight data bits and a stop bit for every byte.
constexpr long long kBitsPerByte = 10;

// Garbage must never be mistaken for a protocol byte, a line break or the end of the text.
uint8_t NoiseByte(std::mt19937& random) {
  for (;;) {
    const auto b = static_cast<uint8_t>(random());
    if ((b >= 0x21 && b <= 0x7E && b != kCrcRequest) || (b >= 0x80 && b != kEndOfBatchAlt)) {
      return b;
    }
  }
}

std::string ByteName(uint8_t byte) {
  char text[16];
  if (byte >= 0x20 && byte < 0x7F) {
    std::snprintf(text, sizeof text, "'%c'", byte);
  } else {
    std::snprintf(text, sizeof text, "0x%02X", byte);
  }
  return text;
}

}  // namespace

bool SimCharger::Start(Options options, std::string* error) {
  if (m_thread.joinable()) {
    if (error) *error = "already running";
    return false;
  }
  if (!options.rawReply) {
    const std::vector<std::string> problems = IdentityProblems(options.identity);
    if (!problems.empty()) {
      if (error) *error = problems.front();
      return false;
    }
  }
  if (!options.linkPath.empty() && !LinkUsable(options.linkPath, error)) return false;

  m_options = std::move(options);
  const std::string reply =
      m_options.rawReply ? *m_options.rawReply : BuildMenuReply(m_options.identity);
  m_menuReply.assign(reply.begin(), reply.end());
  for (const std::string& problem : MenuReplyProblems(reply)) {
    Log(false, "warning: menu reply: " + problem);
  }

  m_random.seed(m_options.seed);
  m_receiver.reset();
  m_output.clear();
  m_outputBlocked = false;
  m_byteTime = m_options.baud == 0
                   ? Clock::duration::zero()
                   : std::chrono::duration_cast<Clock::duration>(
                         std::chrono::nanoseconds(1000000000LL * kBitsPerByte) / m_options.baud);
  m_arriving.clear();
  m_inLineFree = m_outLineFree = m_eventTime = Clock::time_point{};
  m_unplugAt.reset();
  m_replugAt.reset();
  m_finishAt.reset();
  m_unplugFaultDone = false;
  m_finishing = false;
  m_stopRequested = false;
  {
    std::lock_guard lock(m_mutex);
    m_sessions.clear();
    m_counters = {};
    m_commands.clear();
    m_commandsIssued = m_commandsDone = 0;
    m_finished = false;
  }

  const int wakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (wakeFd < 0) {
    if (error) *error = std::string("eventfd: ") + std::strerror(errno);
    return false;
  }
  m_wakeFd = wakeFd;
  if (!DoPlug(error)) {
    m_wakeFd = -1;
    ::close(wakeFd);
    return false;
  }
  {
    std::lock_guard lock(m_mutex);
    m_running = true;
  }
  m_thread = std::thread(&SimCharger::Run, this);
  return true;
}

void SimCharger::Stop() {
  if (!m_thread.joinable()) return;
  RequestStop();
  m_thread.join();
  const int wakeFd = m_wakeFd.exchange(-1);
  if (wakeFd >= 0) ::close(wakeFd);
}

void SimCharger::RequestStop() noexcept {
  m_stopRequested = true;
  const int wakeFd = m_wakeFd.load();
  const uint64_t one = 1;
  if (wakeFd >= 0) [[maybe_unused]]
    ssize_t ignored = ::write(wakeFd, &one, sizeof one);
}

void SimCharger::Wait() {
  std::unique_lock lock(m_mutex);
  m_changed.wait(lock, [this] { return !m_running || m_finished; });
}

std::string SimCharger::SlavePath() const {
  std::lock_guard lock(m_mutex);
  return m_slavePath;
}

bool SimCharger::Plugged() const {
  return !SlavePath().empty();
}

bool SimCharger::Unplug() {
  return RunCommand(Command::Unplug);
}
bool SimCharger::Replug() {
  return RunCommand(Command::Replug);
}

bool SimCharger::RunCommand(Command command) {
  std::unique_lock lock(m_mutex);
  if (!m_running) return false;
  m_commands.push_back(command);
  const uint64_t ticket = ++m_commandsIssued;
  const uint64_t one = 1;
  [[maybe_unused]] ssize_t ignored = ::write(m_wakeFd.load(), &one, sizeof one);
  m_changed.wait(lock, [&] { return m_commandsDone >= ticket || !m_running; });
  return m_commandsDone >= ticket;
}

std::vector<SessionResult> SimCharger::Sessions() const {
  std::lock_guard lock(m_mutex);
  return m_sessions;
}

bool SimCharger::WaitForSessions(size_t count, milliseconds timeout) const {
  std::unique_lock lock(m_mutex);
  return m_changed.wait_for(lock, timeout, [&] { return m_sessions.size() >= count; });
}

bool SimCharger::WaitForPlugged(bool plugged, milliseconds timeout) const {
  std::unique_lock lock(m_mutex);
  return m_changed.wait_for(lock, timeout, [&] { return m_slavePath.empty() != plugged; });
}

std::vector<uint8_t> SimCharger::ReceivedImage() const {
  std::lock_guard lock(m_mutex);
  for (auto it = m_sessions.rbegin(); it != m_sessions.rend(); ++it) {
    if (it->ok) return it->image;
  }
  return {};
}

Counters SimCharger::GetCounters() const {
  std::lock_guard lock(m_mutex);
  return m_counters;
}

void SimCharger::Log(bool detail, const std::string& text) const {
  if (!m_options.log || (detail && !m_options.verbose)) return;
  m_options.log(text);
}

void SimCharger::Run() {
  while (!m_stopRequested && !m_finishing) {
    const Clock::time_point now = Clock::now();
    RunTimers(now);
    if (m_finishing) break;

    pollfd fds[2] = {{m_wakeFd.load(), POLLIN, 0}, {-1, 0, 0}};
    nfds_t count = 1;
    const bool watchMaster = m_pty.IsOpen() && !m_slaveClosed;
    if (watchMaster) {
      fds[1] = {m_pty.Master(), static_cast<short>(POLLIN | (m_outputBlocked ? POLLOUT : 0)), 0};
      count = 2;
    }
    Clock::time_point deadline = NextDeadline();
    if (m_pty.IsOpen() && m_slaveClosed) deadline = std::min(deadline, now + kClosedPortRecheck);

    timespec wait;
    if (::ppoll(fds, count, WaitUntil(deadline, now, &wait), nullptr) < 0) {
      if (errno == EINTR) continue;
      Log(false, std::string("poll: ") + std::strerror(errno));
      break;
    }
    if (fds[0].revents != 0) {
      uint64_t drained;
      [[maybe_unused]] ssize_t ignored = ::read(m_wakeFd.load(), &drained, sizeof drained);
      RunCommands();
      continue;  // the pty may have changed under fds[1]
    }
    if (watchMaster) {
      if (fds[1].revents & POLLOUT) m_outputBlocked = false;
      if (fds[1].revents & (POLLIN | POLLHUP | POLLERR)) ReadMaster();
    } else if (m_pty.IsOpen() && m_slaveClosed) {
      pollfd probe = {m_pty.Master(), POLLIN, 0};
      if (::poll(&probe, 1, 0) >= 0 && (probe.revents & POLLHUP) == 0) {
        m_slaveClosed = false;
        Log(true, "the port was opened");
      }
    }
  }
  FinishRun();
}

void SimCharger::RunCommands() {
  std::vector<Command> commands;
  {
    std::lock_guard lock(m_mutex);
    commands.swap(m_commands);
  }
  for (Command command : commands) {
    m_unplugAt.reset();
    m_replugAt.reset();
    if (m_pty.IsOpen()) DoUnplug("unplugged");
    if (command == Command::Replug) {
      std::string error;
      if (!DoPlug(&error)) Log(false, "replug failed: " + error);
    }
  }
  std::lock_guard lock(m_mutex);
  m_commandsDone += commands.size();
  m_changed.notify_all();
}

void SimCharger::RunTimers(Clock::time_point now) {
  // Bytes already across the line come first: they are not the silence a time-out looks for.
  DeliverArrived(now);
  m_eventTime = now;
  if (m_receiver) {
    m_receiver->Tick(now);
    if (m_receiver->Finished()) EndSession(now);
  }
  if (m_unplugAt && *m_unplugAt <= now) {
    m_unplugAt.reset();
    DoUnplug("rebooting");
    if (m_options.replugAfter) m_replugAt = now + *m_options.replugAfter;
  }
  if (m_replugAt && *m_replugAt <= now) {
    m_replugAt.reset();
    std::string error;
    if (!DoPlug(&error)) {
      Log(false, "replug failed: " + error + "; trying again");
      m_replugAt = now + milliseconds(1000);
    }
  }
  if (m_finishAt && *m_finishAt <= now) m_finishing = true;
  FlushOutput(now);
}

SimCharger::Clock::time_point SimCharger::NextDeadline() const {
  Clock::time_point deadline = Clock::time_point::max();
  if (m_receiver) deadline = m_receiver->Deadline();
  if (!m_output.empty() && !m_outputBlocked) deadline = std::min(deadline, m_output.front().due);
  // Woken once the last byte read is across; those before it go with it, at their own times.
  if (!m_arriving.empty()) deadline = std::min(deadline, m_arriving.back().due);
  for (const auto& timer : {m_unplugAt, m_replugAt, m_finishAt}) {
    if (timer) deadline = std::min(deadline, *timer);
  }
  return deadline;
}

void SimCharger::ReadMaster() {
  uint8_t buffer[4096];
  while (m_pty.IsOpen()) {
    const ssize_t n = ::read(m_pty.Master(), buffer, sizeof buffer);
    if (n > 0) {
      const Clock::time_point now = Clock::now();
      if (m_byteTime == Clock::duration::zero()) {
        OnBytes(buffer, static_cast<size_t>(n), now);
        continue;
      }
      // The pty takes a write at once; a UART takes each byte in turn.
      for (ssize_t i = 0; i < n; ++i) {
        m_inLineFree = std::max(m_inLineFree, now) + m_byteTime;
        m_arriving.push_back({m_inLineFree, buffer[i]});
      }
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
    // EIO: the last holder of the slave has closed it.
    if (!m_slaveClosed) Log(true, "the port was closed");
    m_slaveClosed = true;
    return;
  }
}

void SimCharger::DeliverArrived(Clock::time_point now) {
  while (!m_arriving.empty() && m_arriving.front().due <= now) {
    const Arriving next = m_arriving.front();
    m_arriving.pop_front();
    OnBytes(&next.byte, 1, next.due);
  }
}

void SimCharger::OnBytes(const uint8_t* data, size_t count, Clock::time_point now) {
  m_eventTime = now;
  for (size_t i = 0; i < count && m_pty.IsOpen(); ++i) {
    if (!m_receiver) {
      OnMenuByte(data[i], now);
      continue;
    }
    m_receiver->Feed(data[i], now);
    if (m_receiver->Finished()) EndSession(now);
  }
}

void SimCharger::OnMenuByte(uint8_t byte, Clock::time_point now) {
  switch (byte) {
    case '0':
      if (m_options.noAnswer) {
        Log(true, "'0' -> no answer (fault)");
        return;
      }
      Log(true, "'0' -> menu reply, " + std::to_string(m_menuReply.size()) + " bytes");
      {
        std::lock_guard lock(m_mutex);
        ++m_counters.menuReplies;
      }
      Reply(m_menuReply);
      return;
    case '1': {
      if (m_options.silentAfter1) {
        Log(true, "'1' -> nothing (fault: silent after 1)");
        return;
      }
      ReceiverConfig config = m_options.receiver;
      if (m_unplugFaultDone) config.unplugAfterBlocks = 0;
      // A slow charger's own replies must not count as the sender's silence.
      config.idleTimeout += m_options.replyDelay;
      Receiver::Io io;
      io.send = [this](std::vector<uint8_t> bytes) { Reply(std::move(bytes)); };
      io.log = [this](bool detail, const std::string& text) { Log(detail, text); };
      m_receiver = std::make_unique<Receiver>(config, std::move(io));
      Log(true, "'1' -> loader");
      m_receiver->Begin(now);
      return;
    }
    case '3':
      Log(true, "'3' -> run application (no answer)");
      return;
    default: {
      std::lock_guard lock(m_mutex);
      ++m_counters.ignoredCommands;
    }
      Log(true, "ignored " + ByteName(byte));
      return;
  }
}

void SimCharger::Reply(std::vector<uint8_t> bytes) {
  const Clock::time_point ready = m_eventTime + m_options.replyDelay;
  // On a paced line a reply goes out whole, in one write, once its last byte is across.
  auto queue = [&](std::vector<uint8_t> out) {
    Clock::time_point due = ready;
    if (m_byteTime != Clock::duration::zero()) {
      m_outLineFree =
          std::max(m_outLineFree, ready) + m_byteTime * static_cast<Clock::rep>(out.size());
      due = m_outLineFree;
    }
    m_output.push_back({due, std::move(out)});
  };
  if (m_options.garbage) {
    std::vector<uint8_t> noise(1 + m_random() % 8);
    for (uint8_t& b : noise) b = NoiseByte(m_random);
    queue(std::move(noise));
  }
  queue(std::move(bytes));
  FlushOutput(Clock::now());
}

void SimCharger::FlushOutput(Clock::time_point now) {
  while (!m_output.empty() && !m_outputBlocked && m_output.front().due <= now) {
    Outgoing& out = m_output.front();
    if (!m_pty.IsOpen() || m_slaveClosed) {
      Log(true, "nobody listening; " + std::to_string(out.bytes.size()) + " bytes dropped");
      m_output.pop_front();
      continue;
    }
    // One write per reply: the updater must find the whole reply in one read.
    const ssize_t n = ::write(m_pty.Master(), out.bytes.data(), out.bytes.size());
    if (n == static_cast<ssize_t>(out.bytes.size())) {
      m_output.pop_front();
    } else if (n >= 0) {
      out.bytes.erase(out.bytes.begin(), out.bytes.begin() + n);
      m_outputBlocked = true;
    } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
      m_outputBlocked = true;
    } else if (errno != EINTR) {
      Log(true, std::string("write: ") + std::strerror(errno));
      m_output.pop_front();
    }
  }
}

bool SimCharger::RecordSession() {
  SessionResult result = m_receiver->Result();
  m_receiver.reset();
  Log(false, result.Summary());
  if (result.ok && !m_options.keepVersion && !m_options.rawReply) TakeVersionOf(result.image);
  if (result.ok && !m_options.savePath.empty()) {
    std::ofstream file(m_options.savePath, std::ios::binary | std::ios::trunc);
    file.write(reinterpret_cast<const char*>(result.image.data()),
               static_cast<std::streamsize>(result.image.size()));
    if (!file) Log(false, "cannot write " + m_options.savePath);
  }
  std::lock_guard lock(m_mutex);
  m_sessions.push_back(std::move(result));
  m_changed.notify_all();
  return m_options.sessions != 0 && m_sessions.size() >= m_options.sessions;
}

// The firmware's version tag: "INFO", one unused byte, three version bytes; the first tag
// counts. An image without a usable tag leaves the version as it was.
void SimCharger::TakeVersionOf(const std::vector<uint8_t>& image) {
  static const std::string kTag = "INFO";
  const auto at = std::search(image.begin(), image.end(), kTag.begin(), kTag.end());
  if (image.end() - at < 8) return;
  Identity identity = m_options.identity;
  identity.version.assign(at + 5, at + 8);
  if (!IdentityProblems(identity).empty() || identity.version == m_options.identity.version) return;
  m_options.identity = identity;
  const std::string reply = BuildMenuReply(identity);
  m_menuReply.assign(reply.begin(), reply.end());
  Log(false, "now reports version " + identity.version);
}

void SimCharger::EndSession(Clock::time_point now) {
  const bool pullCable = m_receiver->WantsUnplug();
  if (RecordSession()) {
    m_finishAt = now + m_options.replyDelay + kRebootDelay;
    return;
  }
  if (pullCable) {
    m_unplugFaultDone = true;
    DoUnplug("cable pulled (fault)");
    if (m_options.replugAfter) {
      m_replugAt = now + *m_options.replugAfter;
    } else {
      std::lock_guard lock(m_mutex);
      m_finished = true;  // nothing more will happen by itself
      m_changed.notify_all();
    }
    return;
  }
  if (m_options.replugAfter) m_unplugAt = now + m_options.replyDelay + kRebootDelay;
}

bool SimCharger::DoPlug(std::string* error) {
  if (!m_pty.Open(error)) return false;
  m_slaveClosed = false;
  m_outputBlocked = false;
  const std::string path = m_pty.SlavePath();
  if (!m_options.linkPath.empty()) {
    std::string linkError;
    if (!PointLink(m_options.linkPath, path, &linkError)) {
      m_pty.Close();
      if (error) *error = linkError;
      return false;
    }
  }
  {
    std::lock_guard lock(m_mutex);
    m_slavePath = path;
    ++m_counters.plugIns;
    m_changed.notify_all();
  }
  if (m_options.printPath) {
    std::printf("%s\n", path.c_str());
    std::fflush(stdout);
  }
  Log(false,
      "plugged in: " + path + (m_options.linkPath.empty() ? "" : " (" + m_options.linkPath + ")"));
  return true;
}

void SimCharger::DoUnplug(const char* why) {
  if (m_receiver) {
    m_receiver->Abort(std::string(why) + " during the transfer");
    if (RecordSession()) m_finishing = true;
  }
  // Reported gone before it goes, so whoever sees the hang-up also sees Plugged() false.
  {
    std::lock_guard lock(m_mutex);
    m_slavePath.clear();
    m_changed.notify_all();
  }
  m_output.clear();
  m_outputBlocked = false;
  m_arriving.clear();
  m_pty.Close();
  if (!m_options.linkPath.empty()) RemoveLink(m_options.linkPath);
  Log(false, std::string(why) + "; the port is gone");
}

void SimCharger::FinishRun() {
  if (m_receiver) {
    m_receiver->Abort("the simulator stopped");
    RecordSession();
  }
  FlushOutput(Clock::time_point::max());
  m_output.clear();
  if (m_pty.IsOpen()) {
    m_pty.Close();
    if (!m_options.linkPath.empty()) RemoveLink(m_options.linkPath);
  }
  std::lock_guard lock(m_mutex);
  m_slavePath.clear();
  m_running = false;
  m_finished = true;
  m_changed.notify_all();
}

}  // namespace chargersim
