#pragma once

// One dialog engine on a recording surface, with a scratch directory, the simulated charger
// and ports that never answer: what the engine's tests share.

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "recording_surface.h"
#include "sim/sim_charger.h"
#include "ui/quorlin_dlg.h"

namespace enginetest {

using namespace std::chrono_literals;

// A serial port that opens and takes writes but never answers: a pty whose master is held
// and never read.
class SilentPort {
 public:
  SilentPort();
  ~SilentPort();
  SilentPort(const SilentPort&) = delete;
  SilentPort& operator=(const SilentPort&) = delete;
  const std::string& Path() const { return m_path; }

 private:
  int m_master = -1;
  std::string m_path;
};

// What the simulator reports doing, verbose lines included ("'1' -> loader", ...).
class SimLog {
 public:
  std::function<void(const std::string&)> Sink();
  std::vector<std::string> Lines() const;
  bool Contains(const std::string& part) const;
  int Count(const std::string& part) const;  // lines holding `part`

 private:
  mutable std::mutex m_mutex;
  std::vector<std::string> m_lines;
};

// The charger's menu reply as the simulator sends it, for feeding ReceiveHandler directly.
std::string StandardMenuReply(const chargersim::Identity& identity = {});
// Pseudo-random bytes; runs of FF FF included, where the charger's CRC is most fragile.
std::vector<uint8_t> MakeImage(size_t size, uint32_t seed = 1);

class EngineFixture : public ::testing::Test {
 protected:
  EngineFixture();
  ~EngineFixture() override;

  // Engine options for tests: config.ini in the scratch directory, the given ports only, a
  // 1500 ms watchdog, no supervisor.
  CQuorlinDlg::Options EngineOptions(std::vector<std::string> ports = {}) const;
  // Constructs the engine and runs OnInitDialog on the GUI thread. One engine per test: its
  // shutdown detaches the surface for good.
  CQuorlinDlg& StartEngine(CQuorlinDlg::Options options);
  // An engine whose only port does not exist: the search runs but never probes.
  CQuorlinDlg& StartEngineWithoutCharger();
  // Shutdown on the GUI thread, then destroys the engine. Safe when none runs.
  void StopEngine();

  // Starts the simulator with its log kept in `simLog`.
  bool StartSim(chargersim::Options options = {});
  // Simulator + engine searching only its port; true once the port has been adopted.
  bool StartEngineOnSim(chargersim::Options simOptions = {},
                        std::function<void(CQuorlinDlg::Options&)> tweak = {});
  // The search has adopted a port and cleared m_bSearching.
  bool WaitAdopted(std::chrono::milliseconds timeout = 5s);

  // Writes `bytes` to `name` in the scratch directory; returns the path.
  std::string WriteFile(const std::string& name, const std::vector<uint8_t>& bytes) const;
  std::string ReadFile(const std::string& path) const;
  // "Open..." answered with `path` (nullopt: cancelled).
  void OpenFile(std::optional<std::string> path);
  // Feeds one received chunk to the reply parser, as the serial reader would.
  void Receive(const std::string& chunk);

  void Gui(const std::function<void()>& fn) { surface.OnGui(fn); }
  bool WaitFor(const std::function<bool()>& condition,
               std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    return surface.WaitFor(condition, timeout);
  }
  CQuorlinDlg& Dlg() { return *dlg; }

  std::string dir;  // scratch directory, removed afterwards
  RecordingSurface surface;
  SimLog simLog;
  chargersim::SimCharger sim;
  std::unique_ptr<CQuorlinDlg> dlg;
};

}  // namespace enginetest
