#pragma once

#include <windows.h>

#include <array>
#include <atomic>
#include <string>
#include <vector>

#include "station/station_model.h"

class Station;

// The production station as a native window: the image or job, large totals, Start and Stop,
// and a list view with one coloured row per port. It draws what the station's model hands it
// and passes the operator's presses on; the conductor behind the station owns the ports.
class StationWin32Window {
 public:
  explicit StationWin32Window(Station& station);
  ~StationWin32Window();
  StationWin32Window(const StationWin32Window&) = delete;
  StationWin32Window& operator=(const StationWin32Window&) = delete;

  // Creates the window (shown when `show`); false when Windows refused it.
  bool Create(bool show);
  // Runs messages until the window is gone.
  void RunMessageLoop();
  // Draws what is due now; the model asks for it, and a timer when a row must wait.
  void Draw();
  // Stops the run without asking and closes once every port has let go.
  void CloseWhenStopped();

  HWND Handle() const { return m_hwnd; }
  HWND List() const { return m_list; }
  HWND StartButton() const { return m_start; }
  HWND StopButton() const { return m_stop; }
  // The figure of passed (0), failed (1), refused (2) or the yield (3).
  HWND Total(int which) const { return m_totals[static_cast<size_t>(which)]; }
  // What row `row` shows now, as its custom drawing paints it.
  const RowCells& Shown(size_t row) const { return m_cells[row]; }

 private:
  static LRESULT CALLBACK WindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
  LRESULT OnMessage(UINT message, WPARAM wParam, LPARAM lParam);
  void CreateControls();
  void Layout();
  LRESULT OnNotify(NMHDR* header);
  LRESULT OnColourStatic(HDC dc, HWND control);
  void OnClose();
  void OnOpenImage();
  void DrawHeader(const StationModel::HeaderCells& header);

  Station& m_station;
  std::atomic<HWND> m_hwnd{nullptr};  // read by the conductor's thread when it posts
  HWND m_title = nullptr;
  HWND m_details = nullptr;
  HWND m_run = nullptr;
  HWND m_others = nullptr;
  std::array<HWND, 4> m_captions{};
  std::array<HWND, 4> m_totals{};  // passed, failed, refused, yield
  HWND m_open = nullptr;
  HWND m_start = nullptr;
  HWND m_stop = nullptr;
  HWND m_list = nullptr;
  HFONT m_titleFont = nullptr;
  HFONT m_bigFont = nullptr;
  HFONT m_rowFont = nullptr;
  HFONT m_boldFont = nullptr;
  HFONT m_textFont = nullptr;
  std::array<HBRUSH, 4> m_totalBrushes{};
  std::vector<RowCells> m_cells;
  std::vector<std::array<std::wstring, kColumnCount>> m_texts;  // what the list view reads
  bool m_closeWhenStopped = false;
};
