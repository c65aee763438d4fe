#pragma once

// Several simulated chargers on real ptys, an image with a version tag, and the CLI's JSON
// lines read back: what the production-line tests share.

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "cli_process.h"
#include "engine_fixture.h"
#include "record/json_text.h"
#include "scratch_dir.h"
#include "sim/sim_charger.h"

namespace prodtest {

using enginetest::MakeImage;
using namespace clitest;
// A short watchdog keeps a silent charger's failure quick; a small image keeps transfers at
// about a second.

struct Charger {
  std::string link;
  enginetest::SimLog log;
  chargersim::SimCharger sim;
};

class ProductionTest : public ::testing::Test {
 protected:
  ~ProductionTest() override {
    for (auto& charger : chargers) {
      charger->sim.Stop();
      if (HasFailure())
        for (const std::string& line : charger->log.Lines())
          std::fprintf(stderr, "%s: %s\n", charger->link.c_str(), line.c_str());
    }
  }

  Charger& AddCharger(const std::string& serial, chargersim::Options options = {}) {
    auto charger = std::make_unique<Charger>();
    charger->link = dir + "/tty" + serial;
    options.identity.serial = serial;
    options.linkPath = charger->link;
    options.verbose = true;
    options.log = charger->log.Sink();
    std::string error;
    EXPECT_TRUE(charger->sim.Start(std::move(options), &error)) << error;
    chargers.push_back(std::move(charger));
    return *chargers.back();
  }

  // An image whose version tag is `version`.
  std::string Image(const std::string& version, size_t size = 3000) {
    image = MakeImage(size, 5);
    const std::string tag = std::string("INFO") + '\0' + version;
    std::copy(tag.begin(), tag.end(), image.begin() + 200);
    const std::string path = dir + "/fw.bin";
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(image.data()),
               static_cast<std::streamsize>(image.size()));
    return path;
  }

  std::string Ports() const {
    std::string ports;
    for (const auto& charger : chargers) ports += (ports.empty() ? "" : ",") + charger->link;
    return ports;
  }

  std::string ReadFile(const std::string& path) const {
    std::ifstream file(path, std::ios::binary);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
  }

  ScratchDir scratch{"prodtest"};
  std::string dir = scratch.Path();
  std::vector<uint8_t> image;
  std::vector<std::unique_ptr<Charger>> chargers;
};

// A menu reply with exactly these lines, for chargers whose text is odd; no VER line when
// `version` is empty.
inline std::string RawMenu(const std::string& id, const std::string& serial,
                           const std::string& version = "V12") {
  std::string reply = id + "\r\nSN: " + serial + "\r\n";
  if (!version.empty()) reply += "VER: " + version + "\r\n";
  return reply + "==== Main Menu ====\r\nSelect: ";
}

inline std::vector<JsonFields> JsonLines(const std::string& out) {
  std::vector<JsonFields> parsed;
  for (const std::string& line : Lines(out)) {
    auto fields = ParseJsonLine(line);
    EXPECT_TRUE(fields.has_value()) << "not one JSON object: " << line;
    if (fields) parsed.push_back(std::move(*fields));
  }
  return parsed;
}

inline std::vector<JsonFields> Events(const std::vector<JsonFields>& lines,
                                      const std::string& event) {
  std::vector<JsonFields> found;
  for (const auto& fields : lines)
    if (fields.count("event") && fields.at("event") == event) found.push_back(fields);
  return found;
}

// The figures of the one count event of a --json run: "succeeded/failed/skipped/refused".
inline std::string CountFigures(const std::string& out) {
  const auto counts = Events(JsonLines(out), "count");
  if (counts.size() != 1) return std::to_string(counts.size()) + " count events";
  std::string figures;
  for (const char* name : {"succeeded", "failed", "skipped", "refused"}) {
    const auto it = counts[0].find(name);
    figures += (figures.empty() ? "" : "/") + (it == counts[0].end() ? "-" : it->second);
  }
  return figures;
}

// The child of `parent` whose command line mentions `word`; -1 when none.
inline pid_t ChildWith(pid_t parent, const std::string& word) {
  for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
    const std::string name = entry.path().filename();
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    std::ifstream stat(entry.path() / "stat");
    std::string pid, comm, state;
    pid_t ppid = -1;
    stat >> pid >> comm >> state >> ppid;  // our own program names have no blanks
    if (ppid != parent) continue;
    std::ifstream cmdline(entry.path() / "cmdline");
    const std::string args((std::istreambuf_iterator<char>(cmdline)), {});
    if (args.find(word) != std::string::npos) return std::stoi(name);
  }
  return -1;
}

// Polls `condition` every 20 ms for up to `timeout`.
inline bool Eventually(const std::function<bool()>& condition,
                       std::chrono::milliseconds timeout = 10s) {
  for (const auto deadline = Clock::now() + timeout; Clock::now() < deadline;
       std::this_thread::sleep_for(20ms))
    if (condition()) return true;
  return condition();
}

}  // namespace prodtest
