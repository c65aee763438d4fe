// The station's native window under Wine: what it draws from the station's model, fed from
// another thread as the conductor feeds it.
#include <gtest/gtest.h>
#include <windows.h>
// After <windows.h>, which it needs.
#include <commctrl.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <thread>

#include "platform/win32_text.h"
#include "station/station.h"
#include "ui/win32/station_window.h"

namespace {

// Runs the window's messages until `done` holds or five seconds have passed.
bool PumpUntil(const std::function<bool()>& done) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    MSG message;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
      TranslateMessage(&message);
      DispatchMessageW(&message);
    }
    MsgWaitForMultipleObjects(0, nullptr, FALSE, 20, QS_ALLINPUT);
  }
  return true;
}

std::string ItemText(HWND list, int row, int column) {
  wchar_t text[256] = {};
  LVITEMW item{};
  item.iSubItem = column;
  item.pszText = text;
  item.cchTextMax = 256;
  SendMessageW(list, LVM_GETITEMTEXTW, static_cast<WPARAM>(row), reinterpret_cast<LPARAM>(&item));
  return Narrow(text);
}

std::string WindowText(HWND hwnd) {
  wchar_t text[256] = {};
  GetWindowTextW(hwnd, text, 256);
  return Narrow(text);
}

class Win32Station : public ::testing::Test {
 protected:
  void SetUp() override {
    m_dir = std::filesystem::temp_directory_path() /
            ("station-" + std::to_string(GetCurrentProcessId()));
    std::filesystem::create_directories(m_dir);
    Station::Options options;
    for (int i = 0; i < 32; ++i) options.run.ports.push_back("COM" + std::to_string(201 + i));
    options.configPath = (m_dir / "config.ini").string();
    options.run.image = (m_dir / "fw_v20.bin").string();
    std::string bytes(40960, '\x5a');
    bytes.replace(64, 8, std::string("INFO\0V20", 8));
    std::ofstream(options.run.image, std::ios::binary) << bytes;
    std::string problem;
    int status = 0;
    m_station = Station::Open(options, &problem, &status);
    ASSERT_TRUE(m_station) << problem;
  }
  void TearDown() override {
    m_station.reset();
    std::error_code ignored;
    std::filesystem::remove_all(m_dir, ignored);
  }

  std::filesystem::path m_dir;
  std::unique_ptr<Station> m_station;
};

TEST_F(Win32Station, ThirtyTwoRowsDrawnInTheirColours) {
  StationWin32Window window(*m_station);
  ASSERT_TRUE(window.Create(true));
  HWND list = window.List();
  EXPECT_EQ(ListView_GetItemCount(list), 32);
  EXPECT_EQ(ItemText(list, 0, 0), "COM201");
  EXPECT_EQ(ItemText(list, 31, 1), "waiting");
  EXPECT_EQ(WindowText(window.Total(3)), "-");
  EXPECT_TRUE(IsWindowEnabled(window.StartButton()));
  EXPECT_FALSE(IsWindowEnabled(window.StopButton()));

  StationModel& model = m_station->Model();
  std::thread conductor([&model] {
    const auto now = StationModel::Clock::now();
    for (size_t i = 0; i < 32; ++i) {
      const MenuReply charger{"QC-2410 Smart Charger", "SN" + std::to_string(1000 + i), "V12"};
      model.PortState(i, "programming", charger, now);
      model.Progress(i, 60);
      if (i % 2 == 1) continue;
      SessionRecord record;
      record.charger = charger.identification;
      record.serial = charger.serial;
      record.result = i % 4 == 0 ? "succeeded" : "failed";
      record.reason = i % 4 == 0 ? "" : "timed out";
      record.durationMs = 3000;
      model.SessionEnded(i, record);
    }
  });
  conductor.join();
  ASSERT_TRUE(PumpUntil([&] { return ItemText(list, 31, 1) == "programming 60 %"; }));
  EXPECT_EQ(ItemText(list, 0, 1), "passed");
  EXPECT_EQ(ItemText(list, 2, 1), "failed");
  EXPECT_EQ(ItemText(list, 2, 7), "timed out");
  EXPECT_EQ(ItemText(list, 4, 3), "SN1004");
  EXPECT_EQ(window.Shown(0).colour, RowColour::Green);
  EXPECT_EQ(window.Shown(2).colour, RowColour::Red);
  EXPECT_EQ(window.Shown(1).colour, RowColour::Busy);
  EXPECT_EQ(WindowText(window.Total(0)), "8");
  EXPECT_EQ(WindowText(window.Total(1)), "8");
  EXPECT_EQ(WindowText(window.Total(3)), "50.0 %");
  // 32 rows do not fit: the list scrolls.
  EXPECT_LT(ListView_GetCountPerPage(list), 32);
  DestroyWindow(window.Handle());
}

}  // namespace
