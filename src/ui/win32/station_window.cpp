#include "ui/win32/station_window.h"

#include <commctrl.h>
#include <commdlg.h>

#include <algorithm>
#include <chrono>

#include "platform/win32_text.h"
#include "res/resource_ids.h"
#include "station/station.h"
#include "ui/win32/quorlin_window.h"

namespace {

constexpr UINT kDraw = WM_APP + 2;  // the model has something to draw
constexpr UINT_PTR kFrameTimer = 1;
constexpr wchar_t kClassName[] = L"ChargerUpdaterStation";
constexpr wchar_t kTitle[] = L"Charger Updater - Production station";
enum : int { kOpenId = 101, kStartId, kStopId, kListId };
constexpr RowColour kTotalColours[4] = {RowColour::Green, RowColour::Red, RowColour::Amber,
                                        RowColour::Plain};
constexpr const wchar_t* kTotalCaptions[4] = {L"PASSED", L"FAILED", L"REFUSED", L"YIELD"};

COLORREF Colour(uint32_t rgb) {
  return RGB((rgb >> 16) & 0xFF, (rgb >> 8) & 0xFF, rgb & 0xFF);
}

HFONT Font(int pixels, bool bold) {
  NONCLIENTMETRICSW metrics{};
  metrics.cbSize = sizeof metrics;
  SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, sizeof metrics, &metrics, 0);
  LOGFONTW font = metrics.lfMessageFont;
  font.lfHeight = -pixels;
  font.lfWeight = bold ? FW_BOLD : FW_NORMAL;
  return CreateFontIndirectW(&font);
}

HWND Child(HWND parent, const wchar_t* cls, const wchar_t* text, DWORD style, int id, HFONT font) {
  HWND hwnd = CreateWindowExW(0, cls, text, WS_CHILD | WS_VISIBLE | style, 0, 0, 0, 0, parent,
                              reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)),
                              GetModuleHandleW(nullptr), nullptr);
  SendMessageW(hwnd, WM_SETFONT, reinterpret_cast<WPARAM>(font), TRUE);
  return hwnd;
}

void SetText(HWND control, const std::string& text) {
  SetWindowTextW(control, Widen(text).c_str());
}

}  // namespace

StationWin32Window::StationWin32Window(Station& station)
    : m_station(station), m_cells(station.Model().RowCount()), m_texts(m_cells.size()) {}

StationWin32Window::~StationWin32Window() {
  m_station.Model().SetChangedListener({});
  if (HWND hwnd = m_hwnd.exchange(nullptr)) DestroyWindow(hwnd);
  for (HFONT font : {m_titleFont, m_bigFont, m_rowFont, m_boldFont, m_textFont})
    if (font != nullptr) DeleteObject(font);
  for (HBRUSH brush : m_totalBrushes)
    if (brush != nullptr) DeleteObject(brush);
}

bool StationWin32Window::Create(bool show) {
  INITCOMMONCONTROLSEX classes{sizeof classes, ICC_LISTVIEW_CLASSES | ICC_STANDARD_CLASSES};
  InitCommonControlsEx(&classes);
  WNDCLASSEXW cls{};
  cls.cbSize = sizeof cls;
  cls.lpfnWndProc = &StationWin32Window::WindowProc;
  cls.hInstance = GetModuleHandleW(nullptr);
  cls.hIcon = LoadIconW(cls.hInstance, MAKEINTRESOURCEW(ids::kAppIcon));
  cls.hCursor = LoadCursorW(nullptr, MAKEINTRESOURCEW(32512));  // IDC_ARROW, as a wide name
  cls.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
  cls.lpszClassName = kClassName;
  RegisterClassExW(&cls);  // fails harmlessly when a window before this one registered it
  // Wide enough for a failure's reason, where the screen has room for it.
  RECT work{0, 0, 1280, 1024};
  SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0);
  const int width = std::min(1560, static_cast<int>(work.right - work.left) * 9 / 10);
  const int height = std::min(800, static_cast<int>(work.bottom - work.top) * 9 / 10);
  HWND hwnd = CreateWindowExW(0, kClassName, kTitle, WS_OVERLAPPEDWINDOW, CW_USEDEFAULT,
                              CW_USEDEFAULT, width, height, nullptr, nullptr, cls.hInstance, this);
  if (hwnd == nullptr) return false;
  if (show) ShowWindow(hwnd, SW_SHOW);
  return true;
}

void StationWin32Window::RunMessageLoop() {
  MSG message;
  while (m_hwnd.load() != nullptr && GetMessageW(&message, nullptr, 0, 0) > 0) {
    TranslateMessage(&message);
    DispatchMessageW(&message);
  }
}

LRESULT CALLBACK StationWin32Window::WindowProc(HWND hwnd, UINT message, WPARAM wParam,
                                                LPARAM lParam) {
  if (message == WM_NCCREATE) {
    auto* window =
        static_cast<StationWin32Window*>(reinterpret_cast<CREATESTRUCTW*>(lParam)->lpCreateParams);
    SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(window));
    window->m_hwnd = hwnd;
  }
  auto* window = reinterpret_cast<StationWin32Window*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
  if (window == nullptr) return DefWindowProcW(hwnd, message, wParam, lParam);
  return window->OnMessage(message, wParam, lParam);
}

LRESULT StationWin32Window::OnMessage(UINT message, WPARAM wParam, LPARAM lParam) {
  HWND hwnd = m_hwnd;
  switch (message) {
    case WM_CREATE:
      CreateControls();
      return 0;
    case WM_SIZE:
      Layout();
      return 0;
    case WM_GETMINMAXINFO: {
      auto* limits = reinterpret_cast<MINMAXINFO*>(lParam);
      limits->ptMinTrackSize = {800, 480};
      return 0;
    }
    case kDraw:
      Draw();
      return 0;
    case WM_TIMER:
      if (wParam != kFrameTimer) break;
      KillTimer(hwnd, kFrameTimer);
      Draw();
      return 0;
    case WM_COMMAND:
      if (HIWORD(wParam) != BN_CLICKED) break;
      if (LOWORD(wParam) == kOpenId) OnOpenImage();
      if (LOWORD(wParam) == kStartId) m_station.Start();
      if (LOWORD(wParam) == kStopId) m_station.Stop();
      return 0;
    case WM_NOTIFY:
      return OnNotify(reinterpret_cast<NMHDR*>(lParam));
    case WM_CTLCOLORSTATIC:
      return OnColourStatic(reinterpret_cast<HDC>(wParam), reinterpret_cast<HWND>(lParam));
    case WM_CLOSE:
      OnClose();
      return 0;
    case WM_DESTROY:
      m_station.Model().SetChangedListener({});
      m_hwnd = nullptr;
      return 0;
    default:
      break;
  }
  return DefWindowProcW(hwnd, message, wParam, lParam);
}

void StationWin32Window::CreateControls() {
  HWND hwnd = m_hwnd;
  m_titleFont = Font(26, true);
  m_bigFont = Font(48, true);
  m_rowFont = Font(20, false);
  m_boldFont = Font(20, true);
  m_textFont = Font(15, false);
  m_title = Child(hwnd, L"STATIC", L"", SS_LEFTNOWORDWRAP | SS_NOPREFIX, 0, m_titleFont);
  m_details = Child(hwnd, L"STATIC", L"", SS_LEFTNOWORDWRAP | SS_NOPREFIX, 0, m_textFont);
  m_run = Child(hwnd, L"STATIC", L"", SS_LEFTNOWORDWRAP | SS_NOPREFIX, 0, m_boldFont);
  m_others = Child(hwnd, L"STATIC", L"", SS_LEFTNOWORDWRAP | SS_NOPREFIX, 0, m_textFont);
  m_open =
      Child(hwnd, L"BUTTON", L"Open image...", BS_PUSHBUTTON | WS_TABSTOP, kOpenId, m_textFont);
  m_start = Child(hwnd, L"BUTTON", L"Start", BS_PUSHBUTTON | WS_TABSTOP, kStartId, m_titleFont);
  m_stop = Child(hwnd, L"BUTTON", L"Stop", BS_PUSHBUTTON | WS_TABSTOP, kStopId, m_titleFont);
  for (size_t i = 0; i < 4; ++i) {
    m_captions[i] = Child(hwnd, L"STATIC", kTotalCaptions[i], SS_CENTER, 0, m_boldFont);
    m_totals[i] = Child(hwnd, L"STATIC", L"0", SS_CENTER | SS_CENTERIMAGE, 0, m_bigFont);
    m_totalBrushes[i] = CreateSolidBrush(Colour(PaintOf(kTotalColours[i]).background));
  }
  // Owner data: the list view asks for the texts it draws, so a redraw costs only the rows
  // in sight.
  m_list =
      Child(hwnd, WC_LISTVIEWW, L"",
            LVS_REPORT | LVS_OWNERDATA | LVS_NOSORTHEADER | LVS_SINGLESEL | WS_BORDER | WS_VSCROLL,
            kListId, m_rowFont);
  ListView_SetExtendedListViewStyle(m_list, LVS_EX_GRIDLINES | LVS_EX_DOUBLEBUFFER);
  const int widths[kColumnCount] = {110, 180, 235, 110, 130, 120, 80, 400};
  for (int column = 0; column < kColumnCount; ++column) {
    const std::wstring title = Widen(kColumnTitles[column]);
    LVCOLUMNW info{};
    info.mask = LVCF_TEXT | LVCF_WIDTH;
    info.cx = widths[column];
    info.pszText = const_cast<wchar_t*>(title.c_str());
    SendMessageW(m_list, LVM_INSERTCOLUMNW, static_cast<WPARAM>(column),
                 reinterpret_cast<LPARAM>(&info));
  }
  ListView_SetItemCountEx(m_list, static_cast<int>(m_cells.size()), LVSICF_NOINVALIDATEALL);
  // The model calls from the conductor's thread; drawing happens on this one.
  m_station.Model().SetChangedListener([this] {
    if (HWND window = m_hwnd.load()) PostMessageW(window, kDraw, 0, 0);
  });
  Draw();
}

void StationWin32Window::Layout() {
  RECT client{};
  GetClientRect(m_hwnd, &client);
  const int width = static_cast<int>(client.right);
  const int margin = 10;
  MoveWindow(m_title, margin, margin, width - 520, 32, TRUE);
  MoveWindow(m_details, margin, margin + 34, width - 520, 20, TRUE);
  MoveWindow(m_run, margin, margin + 56, width - 520, 24, TRUE);
  MoveWindow(m_stop, width - margin - 150, margin, 150, 52, TRUE);
  MoveWindow(m_start, width - 2 * margin - 300, margin, 150, 52, TRUE);
  MoveWindow(m_open, width - 3 * margin - 420, margin + 12, 120, 30, TRUE);
  const int boxWidth = (width - 5 * margin) / 4;
  for (int i = 0; i < 4; ++i) {
    const int x = margin + i * (boxWidth + margin);
    MoveWindow(m_captions[static_cast<size_t>(i)], x, 92, boxWidth, 24, TRUE);
    MoveWindow(m_totals[static_cast<size_t>(i)], x, 118, boxWidth, 64, TRUE);
  }
  MoveWindow(m_others, margin, 186, width - 2 * margin, 20, TRUE);
  MoveWindow(m_list, margin, 210, width - 2 * margin,
             std::max(100, static_cast<int>(client.bottom) - 220), TRUE);
  // The reason takes what the other columns leave.
  ListView_SetColumnWidth(m_list, kColumnCount - 1, LVSCW_AUTOSIZE_USEHEADER);
}

void StationWin32Window::Draw() {
  HWND hwnd = m_hwnd;
  if (hwnd == nullptr) return;
  const auto now = StationModel::Clock::now();
  StationModel::Frame frame = m_station.Model().TakeFrame(now);
  if (frame.header) DrawHeader(*frame.header);
  for (auto& [row, cells] : frame.rows) {
    for (int column = 0; column < kColumnCount; ++column)
      m_texts[row][static_cast<size_t>(column)] = Widen(Cell(cells, column));
    m_cells[row] = std::move(cells);
    ListView_RedrawItems(m_list, static_cast<int>(row), static_cast<int>(row));
  }
  // The system's own OK and error sounds.
  if (frame.sound) MessageBeep(*frame.sound == StationModel::Sound::Pass ? MB_OK : MB_ICONHAND);
  if (frame.next) {
    const auto wait = std::chrono::ceil<std::chrono::milliseconds>(*frame.next - now).count();
    SetTimer(hwnd, kFrameTimer, static_cast<UINT>(std::max<long long>(wait, USER_TIMER_MINIMUM)),
             nullptr);
  } else {
    KillTimer(hwnd, kFrameTimer);
  }
  if (m_closeWhenStopped && m_station.Model().GetRun() == StationModel::Run::Stopped)
    DestroyWindow(hwnd);
}

void StationWin32Window::DrawHeader(const StationModel::HeaderCells& header) {
  SetText(m_title, header.title);
  SetText(m_details, header.details);
  SetText(m_run, header.run);
  SetText(m_others, header.others);
  SetText(m_totals[0], header.passed);
  SetText(m_totals[1], header.failed);
  SetText(m_totals[2], header.refused);
  SetText(m_totals[3], header.yield);
  EnableWindow(m_start, header.canStart ? TRUE : FALSE);
  EnableWindow(m_stop, header.canStop ? TRUE : FALSE);
  EnableWindow(m_open, header.canOpen ? TRUE : FALSE);
}

LRESULT StationWin32Window::OnNotify(NMHDR* header) {
  if (header->hwndFrom != m_list) return 0;
  if (header->code == LVN_GETDISPINFOW) {
    LVITEMW& item = reinterpret_cast<NMLVDISPINFOW*>(header)->item;
    const auto row = static_cast<size_t>(item.iItem);
    if ((item.mask & LVIF_TEXT) != 0 && row < m_texts.size() && item.iSubItem >= 0 &&
        item.iSubItem < kColumnCount)
      lstrcpynW(item.pszText, m_texts[row][static_cast<size_t>(item.iSubItem)].c_str(),
                item.cchTextMax);
    return 0;
  }
  if (header->code != NM_CUSTOMDRAW) return 0;
  auto* draw = reinterpret_cast<NMLVCUSTOMDRAW*>(header);
  switch (draw->nmcd.dwDrawStage) {
    case CDDS_PREPAINT:
      return CDRF_NOTIFYITEMDRAW;
    case CDDS_ITEMPREPAINT: {
      const auto row = static_cast<size_t>(draw->nmcd.dwItemSpec);
      if (row >= m_cells.size()) return CDRF_DODEFAULT;
      const RowPaint paint = PaintOf(m_cells[row].colour);
      draw->clrTextBk = Colour(paint.background);
      draw->clrText = Colour(paint.text);
      // A result's row in bold, so it reads from across the bench.
      const RowColour colour = m_cells[row].colour;
      const bool result =
          colour == RowColour::Green || colour == RowColour::Red || colour == RowColour::Amber;
      SelectObject(draw->nmcd.hdc, result ? m_boldFont : m_rowFont);
      return CDRF_NEWFONT;
    }
    default:
      return CDRF_DODEFAULT;
  }
}

LRESULT StationWin32Window::OnColourStatic(HDC dc, HWND control) {
  for (size_t i = 0; i < 4; ++i) {
    if (control != m_totals[i]) continue;
    const RowPaint paint = PaintOf(kTotalColours[i]);
    SetBkColor(dc, Colour(paint.background));
    SetTextColor(dc, Colour(paint.text));
    return reinterpret_cast<LRESULT>(m_totalBrushes[i]);
  }
  return DefWindowProcW(m_hwnd, WM_CTLCOLORSTATIC, reinterpret_cast<WPARAM>(dc),
                        reinterpret_cast<LPARAM>(control));
}

void StationWin32Window::OnOpenImage() {
  wchar_t path[MAX_PATH] = {};
  const std::wstring filter = QuorlinWin32Window::FileFilter(Station::kImageFilter);
  OPENFILENAMEW dialog{};
  dialog.lStructSize = sizeof dialog;
  dialog.hwndOwner = m_hwnd;
  dialog.lpstrFilter = filter.c_str();
  dialog.lpstrFile = path;
  dialog.nMaxFile = MAX_PATH;
  dialog.Flags = OFN_FILEMUSTEXIST | OFN_PATHMUSTEXIST | OFN_NOCHANGEDIR;
  if (!GetOpenFileNameW(&dialog)) return;
  const std::string problem = m_station.OpenImage(Narrow(path));
  if (!problem.empty())
    MessageBoxW(m_hwnd, Widen(problem).c_str(), kTitle, MB_OK | MB_ICONEXCLAMATION);
}

void StationWin32Window::OnClose() {
  if (m_station.Model().GetRun() == StationModel::Run::Stopped) {
    DestroyWindow(m_hwnd);
    return;
  }
  if (m_closeWhenStopped) return;
  if (const auto question = m_station.CloseQuestion()) {
    if (MessageBoxW(m_hwnd, Widen(*question).c_str(), kTitle,
                    MB_YESNO | MB_ICONQUESTION | MB_DEFBUTTON2) != IDYES)
      return;
  }
  CloseWhenStopped();
}

void StationWin32Window::CloseWhenStopped() {
  m_closeWhenStopped = true;
  m_station.Stop();
  Draw();
}
