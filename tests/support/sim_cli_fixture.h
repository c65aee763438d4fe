#pragma once

// One simulated charger behind a link in a scratch folder, its log printed when a test fails:
// what the command-line tests and the posting tests run the CLI against.

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "engine_fixture.h"
#include "scratch_dir.h"
#include "sim/sim_charger.h"

namespace clitest {

class SimCliTest : public ::testing::Test {
 protected:
  explicit SimCliTest(const char* scratchName) : scratch(scratchName) {}
  ~SimCliTest() override {
    sim.Stop();
    if (HasFailure())
      for (const std::string& line : simLog.Lines())
        std::fprintf(stderr, "sim: %s\n", line.c_str());
  }

  // The simulator behind `link`, every line it logs kept.
  void StartSim(chargersim::Options options = {}) {
    options.linkPath = link;
    options.verbose = true;
    options.log = simLog.Sink();
    std::string error;
    ASSERT_TRUE(sim.Start(std::move(options), &error)) << error;
  }

  static bool Eventually(const std::function<bool()>& condition,
                         std::chrono::milliseconds timeout = std::chrono::seconds(15)) {
    for (const auto deadline = std::chrono::steady_clock::now() + timeout;
         std::chrono::steady_clock::now() < deadline;
         std::this_thread::sleep_for(std::chrono::milliseconds(10)))
      if (condition()) return true;
    return false;
  }

  bool WaitForSimLog(const std::string& part, std::chrono::milliseconds timeout) const {
    return Eventually([&] { return simLog.Contains(part); }, timeout);
  }

  std::string WriteFile(const std::string& name, const std::vector<uint8_t>& bytes) const {
    const std::string path = dir + "/" + name;
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file.write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
    return path;
  }

  ScratchDir scratch;
  std::string dir = scratch.Path();
  std::string link = dir + "/ttyCharger";
  enginetest::SimLog simLog;
  chargersim::SimCharger sim;
};

}  // namespace clitest
