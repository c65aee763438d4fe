// What the window costs a programming: the same 40960-byte image programmed into charger-sim
// through the Qt window and through the terminal view, one engine behind both.
//
//   window_bench [runs]     (offscreen when there is no display)

#include <QApplication>
#include <QEventLoop>
#include <QMetaObject>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "bench/sim_process.h"
#include "cli/terminal_view.h"
#include "serial/serial_port.h"
#include "ui/event_loop.h"
#include "ui/qt/quorlin_window.h"
#include "ui/quorlin_dlg.h"

namespace {

using bench::Charger;
using bench::Clock;
using bench::CpuSeconds;

constexpr uint32_t kImageSize = 40960;

struct Figures {
  double wallMs = 0;
  double cpuSeconds = 0;
  bool ok = false;
};

std::string WriteImage() {
  const std::string path = "/tmp/window_bench_fw.bin";
  std::vector<char> bytes(kImageSize);
  std::mt19937 random(7);
  for (char& b : bytes) b = static_cast<char>(random());
  std::ofstream(path, std::ios::binary).write(bytes.data(), bytes.size());
  return path;
}

CQuorlinDlg::Options EngineOptions(const std::string& port) {
  return CQuorlinDlg::Options{
      .configPath = "", .ports = {port}, .watchdogMs = 35000, .startSupervisor = false};
}

// Loads the image, waits for the search, then times one session. `runUntil(pred)` serves
// the face's GUI thread until `pred` holds.
template <class RunUntil>
Figures Program(CQuorlinDlg& dlg, const std::string& image, RunUntil runUntil) {
  dlg.m_strImagePath.Set(image);
  dlg.LoadImage();
  dlg.OnInitDialog();
  runUntil([&] { return dlg.m_bSearching == 0; });
  const double cpuBefore = CpuSeconds();
  const auto started = Clock::now();
  dlg.StartProgramming();
  runUntil([&] { return dlg.m_bProgramming == 0; });
  Figures figures;
  figures.wallMs = std::chrono::duration<double, std::milli>(Clock::now() - started).count();
  figures.cpuSeconds = CpuSeconds() - cpuBefore;
  figures.ok = dlg.m_nSucceeded == 1;
  dlg.Shutdown();
  return figures;
}

Figures ThroughWindow(const std::string& image) {
  Charger charger("/tmp/window_bench_received.bin", false);
  const std::string port = charger.Port();
  QuorlinWindow window;
  CQuorlinDlg dlg(window, g_serial, EngineOptions(port));
  window.SetEngine(&dlg);
  window.show();
  QEventLoop loop;
  dlg.SetStateListener(
      [&loop] { QMetaObject::invokeMethod(&loop, &QEventLoop::quit, Qt::QueuedConnection); });
  Figures figures = Program(dlg, image, [&](auto done) {
    while (!done()) loop.exec();
  });
  window.SetEngine(nullptr);
  figures.ok = figures.ok && charger.Wait(bench::milliseconds(5000)) == 0;
  return figures;
}

Figures ThroughTerminal(const std::string& image) {
  Charger charger("/tmp/window_bench_received.bin", false);
  const std::string port = charger.Port();
  EventLoop loop;
  TerminalView view(loop, stderr, TerminalView::Progress::None);
  CQuorlinDlg dlg(view, g_serial, EngineOptions(port));
  dlg.SetStateListener([&loop] { loop.Wake(); });
  Figures figures =
      Program(dlg, image, [&](auto done) { loop.RunUntil(done, std::chrono::minutes(2)); });
  figures.ok = figures.ok && charger.Wait(bench::milliseconds(5000)) == 0;
  return figures;
}

void Print(const char* face, const Figures& f) {
  std::printf("%-9s wall %7.1f ms   CPU %.3f s (%.2f %% of wall)   %s\n", face, f.wallMs,
              f.cpuSeconds, 100.0 * f.cpuSeconds * 1000.0 / f.wallMs,
              f.ok ? "image received" : "FAILED");
}

}  // namespace

int main(int argc, char** argv) {
  const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 3;
  if (!std::getenv("DISPLAY") && !std::getenv("WAYLAND_DISPLAY"))
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
  QApplication app(argc, argv);
  const std::string image = WriteImage();

  double windowTotal = 0;
  double terminalTotal = 0;
  bool allOk = true;
  for (int run = 1; run <= runs; ++run) {
    const Figures window = ThroughWindow(image);
    const Figures terminal = ThroughTerminal(image);
    Print("window", window);
    Print("terminal", terminal);
    windowTotal += window.wallMs;
    terminalTotal += terminal.wallMs;
    allOk = allOk && window.ok && terminal.ok;
  }
  std::printf("window / terminal wall time: %.3f over %d runs (target: GUI overhead small)\n",
              windowTotal / terminalTotal, runs);
  return allOk ? 0 : 1;
}
