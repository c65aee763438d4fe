// The native window under Wine: the dialog built from the templates, the window as the engine
// drives it, and the text conversions at the Win32 boundary.
#include <gtest/gtest.h>
#include <windows.h>
// After <windows.h>, which it needs.
#include <commctrl.h>
// <windows.h> would rename ControlSurface::MessageBox in the headers below.
#undef MessageBox

#include <atomic>
#include <chrono>
#include <fstream>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "platform/win32_text.h"
#include "record/production_settings.h"
#include "res/dialog_templates.h"
#include "res/resource_ids.h"
#include "res/version.h"
#include "serial/serial_port.h"
#include "ui/quorlin_dlg.h"
#include "ui/win32/dialog_template.h"
#include "ui/win32/quorlin_window.h"

namespace {

HWND CreateHidden(const DialogTemplate& dialog) {
  INITCOMMONCONTROLSEX classes{sizeof classes, ICC_PROGRESS_CLASS | ICC_STANDARD_CLASSES};
  InitCommonControlsEx(&classes);
  const std::vector<WORD> words =
      BuildDialogTemplate(dialog, WS_POPUP | WS_CAPTION | DS_MODALFRAME);
  return CreateDialogIndirectParamW(
      GetModuleHandleW(nullptr), reinterpret_cast<const DLGTEMPLATE*>(words.data()), nullptr,
      [](HWND, UINT, WPARAM, LPARAM) -> INT_PTR { return FALSE; }, 0);
}

std::wstring ClassOf(HWND hwnd) {
  wchar_t name[64] = {};
  GetClassNameW(hwnd, name, 64);
  return name;
}

std::wstring TextOfWindow(HWND hwnd) {
  wchar_t text[512] = {};
  GetWindowTextW(hwnd, text, 512);
  return text;
}

// The children in creation order, which is template order.
std::vector<HWND> Children(HWND parent) {
  std::vector<HWND> children;
  for (HWND child = GetWindow(parent, GW_CHILD); child != nullptr;
       child = GetWindow(child, GW_HWNDNEXT))
    children.push_back(child);
  return children;
}

// A dialog (message box, About box) that `owner` has opened; null after 10 s.
HWND WaitForOwnedDialog(HWND owner) {
  for (int i = 0; i < 1000; ++i) {
    struct Search {
      HWND owner;
      HWND found;
    } search{owner, nullptr};
    EnumWindows(
        [](HWND hwnd, LPARAM lParam) -> BOOL {
          auto* s = reinterpret_cast<Search*>(lParam);
          if (GetWindow(hwnd, GW_OWNER) != s->owner || !IsWindowVisible(hwnd)) return TRUE;
          s->found = hwnd;
          return FALSE;
        },
        reinterpret_cast<LPARAM>(&search));
    if (search.found != nullptr) return search.found;
    Sleep(10);
  }
  return nullptr;
}

// The button that Enter presses.
WORD DefaultButton(HWND dialog) {
  for (HWND child : Children(dialog))
    if (ClassOf(child) == L"Button" &&
        (GetWindowLongW(child, GWL_STYLE) & 0x0F) == BS_DEFPUSHBUTTON)
      return static_cast<WORD>(GetDlgCtrlID(child));
  return 0;
}

// Every text a dialog shows, its caption first.
std::wstring AllTexts(HWND dialog) {
  std::wstring all = TextOfWindow(dialog);
  for (HWND child : Children(dialog)) all += L"|" + TextOfWindow(child);
  return all;
}

// An engine for the window that is never started: no search, no supervisor, nothing kept.
CQuorlinDlg::Options QuietEngine() {
  CQuorlinDlg::Options options;
  options.configPath.clear();
  options.ports = {"COM199"};
  options.startSupervisor = false;
  return options;
}

// Runs the window; `test` runs on a thread of its own once the controls exist, and the window is
// closed after it unless the test closed it.
void RunWindow(QuorlinWin32Window& window, const std::function<void(HWND)>& test) {
  std::thread tester;
  window.RunModal([&] {
    HWND hwnd = window.Handle();
    tester = std::thread([hwnd, test] {
      test(hwnd);
      if (IsWindow(hwnd)) PostMessageW(hwnd, WM_CLOSE, 0, 0);
    });
  });
  tester.join();
}

// Windows itself lays the template out: every control sits where its dialog units say, has the
// class its kind needs, and is visible exactly when the template says so.
TEST(Win32Dialog, TemplatesBecomeTheDescribedControls) {
  for (const DialogTemplate* dialog : {&MainDialogTemplate(), &AboutDialogTemplate()}) {
    HWND hwnd = CreateHidden(*dialog);
    ASSERT_NE(hwnd, nullptr) << dialog->caption << " error " << GetLastError();
    wchar_t caption[128] = {};
    GetWindowTextW(hwnd, caption, 128);
    EXPECT_EQ(caption, QuorlinWin32Window::ControlText(dialog->caption, false));

    HWND child = GetWindow(hwnd, GW_CHILD);
    for (const ControlTemplate& c : dialog->controls) {
      ASSERT_NE(child, nullptr) << "control " << c.id << " missing";
      // Ids are 16 bits in a template; ones above 32767 come back unsigned.
      EXPECT_EQ(static_cast<WORD>(GetDlgCtrlID(child)), static_cast<WORD>(c.id));
      // Windows converts position and size apart, each rounded on its own.
      RECT expected{c.x, c.y, c.width, c.height};
      MapDialogRect(hwnd, &expected);
      expected.right += expected.left;
      expected.bottom += expected.top;
      RECT actual{};
      GetWindowRect(child, &actual);
      MapWindowPoints(nullptr, hwnd, reinterpret_cast<POINT*>(&actual), 2);
      // Pictures take their bitmap's own size, right-aligned in their box.
      if (c.kind != ControlKind::Picture && c.kind != ControlKind::Icon &&
          c.kind != ControlKind::ComboBox) {
        EXPECT_EQ(actual.left, expected.left) << c.id << " " << c.caption;
        EXPECT_EQ(actual.top, expected.top) << c.id << " " << c.caption;
        EXPECT_EQ(actual.right, expected.right) << c.id << " " << c.caption;
        EXPECT_EQ(actual.bottom, expected.bottom) << c.id << " " << c.caption;
      }
      const bool visible = (GetWindowLongW(child, GWL_STYLE) & WS_VISIBLE) != 0;
      EXPECT_EQ(visible, c.visible) << c.id << " " << c.caption;
      const std::wstring cls = ClassOf(child);
      switch (c.kind) {
        case ControlKind::Progress:
          EXPECT_EQ(cls, L"msctls_progress32");
          break;
        case ControlKind::Edit:
          EXPECT_EQ(_wcsicmp(cls.c_str(), L"Edit"), 0);
          break;
        case ControlKind::ComboBox:
          EXPECT_EQ(_wcsicmp(cls.c_str(), L"ComboBox"), 0);
          break;
        case ControlKind::Static:
        case ControlKind::Picture:
        case ControlKind::Icon:
          EXPECT_EQ(_wcsicmp(cls.c_str(), L"Static"), 0);
          break;
        default:
          EXPECT_EQ(_wcsicmp(cls.c_str(), L"Button"), 0);
      }
      if (c.kind == ControlKind::Picture) {
        EXPECT_NE(SendMessageW(child, STM_GETIMAGE, IMAGE_BITMAP, 0), 0) << "bitmap 140 loaded";
      }
      if (c.kind == ControlKind::Icon) {
        EXPECT_NE(SendMessageW(child, STM_GETIMAGE, IMAGE_ICON, 0), 0) << "icon 128 loaded";
      }
      child = GetWindow(child, GW_HWNDNEXT);
    }
    EXPECT_EQ(child, nullptr) << "no control beyond the template";
    DestroyWindow(hwnd);
  }
}

// Every control ID of both templates reaches its control through the window's surface, from a
// worker as the engine sends it: IDs above 32767 included, ID -1 the status line only.
TEST(Win32Window, EveryControlIdTakesTextAndEnableState) {
  QuorlinWin32Window window(false);
  RunWindow(window, [&](HWND hwnd) {
    const std::vector<HWND> children = Children(hwnd);
    const auto& controls = MainDialogTemplate().controls;
    ASSERT_EQ(children.size(), controls.size());
    std::set<int> ids;
    for (const DialogTemplate* dialog : {&MainDialogTemplate(), &AboutDialogTemplate()})
      for (const ControlTemplate& c : dialog->controls) ids.insert(c.id);
    for (int id : ids) {
      size_t first = 0;
      while (first < controls.size() && controls[first].id != id) ++first;
      ASSERT_LT(first, controls.size()) << id << " is a control of the main window";
      const std::string text = "text of " + std::to_string(id);
      window.SetText(id, text);
      window.Enable(id, false);
      for (size_t i = 0; i < controls.size(); ++i) {
        if (controls[i].id != id) continue;
        HWND child = children[i];
        if (i == first) {
          EXPECT_EQ(TextOfWindow(child), Widen(text)) << id;
          EXPECT_FALSE(IsWindowEnabled(child)) << id;
        } else {
          EXPECT_NE(TextOfWindow(child), Widen(text)) << id << ": only the first of its ID";
          EXPECT_TRUE(IsWindowEnabled(child)) << id << ": only the first of its ID";
        }
      }
      window.Enable(id, true);
      EXPECT_TRUE(IsWindowEnabled(children[first])) << id;
    }
  });
}

// Through a job: its name in the caption, its image in place with "Open..." off, and a charger
// its guards refuse shown refused with the reason.
TEST(Win32Window, ThroughAJob) {
  wchar_t temp[MAX_PATH];
  GetTempPathW(MAX_PATH, temp);
  const std::string dir = Narrow(temp);
  {
    std::ofstream(dir + "fw-job.bin", std::ios::binary) << std::string(3000, 'j');
    std::ofstream(dir + "job.ini") << "[Job]\nName=Line 4 job\nImage=fw-job.bin\nModels=QC-2410*\n";
  }
  QuorlinWin32Window window(false);
  CQuorlinDlg dlg(window, g_serial, QuietEngine());
  window.SetEngine(&dlg);
  std::optional<Job> job;
  EXPECT_EQ(ApplyJob(dlg, "", dir + "job.ini", &job), "");
  std::thread tester;
  window.RunModal([&] {
    dlg.OnInitDialog();
    tester = std::thread([&, hwnd = window.Handle()] {
      EXPECT_EQ(TextOfWindow(hwnd),
                Widen(std::string(MainDialogTemplate().caption) + " - Line 4 job"));
      EXPECT_FALSE(IsWindowEnabled(GetDlgItem(hwnd, ids::kOpen)));
      EXPECT_EQ(TextOfWindow(GetDlgItem(hwnd, ids::kImageName)), L"Name : fw-job.bin");
      const std::string reply = "QC-3000 Pro\r\nSN: 1\r\nVER: V12\r\n==== Main Menu ====\r\n";
      CQuorlinDlg::ReceiveHandler(&dlg, reinterpret_cast<const uint8_t*>(reply.data()),
                                  static_cast<uint32_t>(reply.size()));
      EXPECT_TRUE(dlg.CheckGuard());
      dlg.m_bRecognised = 1;
      dlg.UpdateStatusPanel();
      EXPECT_EQ(TextOfWindow(GetDlgItem(hwnd, ids::kHintLine)),
                L"charger 'QC-3000 Pro' is not a model this image is for (QC-2410*).");
      EXPECT_FALSE(IsWindowEnabled(GetDlgItem(hwnd, ids::kUpdate)));
      PostMessageW(hwnd, WM_CLOSE, 0, 0);
    });
  });
  tester.join();
  dlg.Shutdown();
  DeleteFileW(Widen(dir + "job.ini").c_str());
  DeleteFileW(Widen(dir + "fw-job.bin").c_str());
}

// Esc, the close box and Alt+F4 during a transfer ask first, No the default; otherwise they close.
TEST(Win32Window, CloseDuringATransferAsksFirst) {
  QuorlinWin32Window window(false);
  CQuorlinDlg dlg(window, g_serial, QuietEngine());
  window.SetEngine(&dlg);
  dlg.m_bProgramming = 1;
  std::vector<std::wstring> questions;
  std::vector<WORD> defaults;
  bool stayedOpen = false;
  RunWindow(window, [&](HWND hwnd) {
    struct Attempt {
      UINT message;
      WPARAM wParam;
      WORD answer;
    };
    for (const Attempt& attempt :
         {Attempt{WM_COMMAND, IDCANCEL, IDNO}, Attempt{WM_SYSCOMMAND, SC_CLOSE, IDNO},
          Attempt{WM_CLOSE, 0, IDYES}}) {
      PostMessageW(hwnd, attempt.message, attempt.wParam, 0);
      HWND box = WaitForOwnedDialog(hwnd);
      ASSERT_NE(box, nullptr) << "no question";
      questions.push_back(AllTexts(box));
      defaults.push_back(DefaultButton(box));
      PostMessageW(box, WM_COMMAND, attempt.answer, 0);
      for (int i = 0; i < 100 && IsWindow(box); ++i) Sleep(10);
      if (attempt.answer == IDNO) stayedOpen = IsWindowVisible(hwnd) && !window.Detached();
      if (!stayedOpen) return;
    }
  });
  ASSERT_EQ(questions.size(), 3u);
  for (size_t i = 0; i < questions.size(); ++i) {
    EXPECT_NE(questions[i].find(L"Programming is in progress. Stop it and close the window?"),
              std::wstring::npos)
        << Narrow(questions[i]);
    EXPECT_EQ(defaults[i], IDNO);
  }
  EXPECT_TRUE(stayedOpen);
  EXPECT_TRUE(window.Detached()) << "Yes closed the window";
}

// Large scaling on a small screen: the whole window stays on the monitor's work area.
TEST(Win32Window, FitsTheWorkArea) {
  QuorlinWin32Window window(false);
  RECT rect{};
  MONITORINFO monitor{};
  monitor.cbSize = sizeof monitor;
  int dpi = 0;
  RunWindow(window, [&](HWND hwnd) {
    GetWindowRect(hwnd, &rect);
    GetMonitorInfoW(MonitorFromWindow(hwnd, MONITOR_DEFAULTTOPRIMARY), &monitor);
    HDC dc = GetDC(hwnd);
    dpi = GetDeviceCaps(dc, LOGPIXELSY);
    ReleaseDC(hwnd, dc);
  });
  std::printf("window %ldx%ld at %d dpi on a work area of %ldx%ld\n", rect.right - rect.left,
              rect.bottom - rect.top, dpi, monitor.rcWork.right - monitor.rcWork.left,
              monitor.rcWork.bottom - monitor.rcWork.top);
  EXPECT_GE(rect.left, monitor.rcWork.left);
  EXPECT_GE(rect.top, monitor.rcWork.top);
  EXPECT_LE(rect.right, monitor.rcWork.right);
  EXPECT_LE(rect.bottom, monitor.rcWork.bottom);
}

// The About box shows the version under the program's name, in a font the system has.
TEST(Win32Window, AboutBoxShowsTheVersion) {
  QuorlinWin32Window window(false);
  std::wstring texts;
  RunWindow(window, [&](HWND hwnd) {
    PostMessageW(hwnd, WM_SYSCOMMAND, ids::kAboutCommand, 0);
    HWND about = WaitForOwnedDialog(hwnd);
    ASSERT_NE(about, nullptr);
    texts = AllTexts(about);
    PostMessageW(about, WM_COMMAND, IDOK, 0);
    for (int i = 0; i < 100 && IsWindow(about); ++i) Sleep(10);
  });
  EXPECT_NE(texts.find(L"About Charger Programmer"), std::wstring::npos);
  EXPECT_NE(texts.find(L"Brelka Charger Programmer"), std::wstring::npos);
  EXPECT_NE(texts.find(Widen(std::string("Version ") + kChargerUpdaterVersion)), std::wstring::npos)
      << Narrow(texts);
}

// Enter on a message box closes the box, not the window under it (whose Enter is its OK), even
// when the key is held long enough to repeat: a box from a worker, and one from a click's handler.
TEST(Win32Window, EnterOnAMessageBoxClosesOnlyTheBox) {
  for (bool fromClick : {false, true}) {
    QuorlinWin32Window window(false);
    CQuorlinDlg dlg(window, g_serial, QuietEngine());
    window.SetEngine(&dlg);
    bool boxClosed = false;
    bool windowOpen = false;
    RunWindow(window, [&](HWND hwnd) {
      std::thread worker;
      if (fromClick)
        PostMessageW(hwnd, WM_COMMAND, MAKEWPARAM(ids::kDownload, BN_CLICKED), 0);
      else
        worker = std::thread([&] { window.MessageBox("Cannot save the settings."); });
      HWND box = WaitForOwnedDialog(hwnd);
      ASSERT_NE(box, nullptr);
      SetForegroundWindow(box);
      Sleep(200);
      INPUT keys[2] = {};
      keys[0].type = keys[1].type = INPUT_KEYBOARD;
      keys[0].ki.wVk = keys[1].ki.wVk = VK_RETURN;
      keys[1].ki.dwFlags = KEYEVENTF_KEYUP;
      // Held a little long: the key repeats after the box has gone.
      SendInput(1, &keys[0], sizeof(INPUT));
      for (int i = 0; i < 100 && IsWindow(box); ++i) Sleep(10);
      Sleep(100);
      SendInput(1, &keys[0], sizeof(INPUT));
      Sleep(100);
      SendInput(1, &keys[1], sizeof(INPUT));
      if (worker.joinable()) worker.join();
      for (int i = 0; i < 100 && IsWindow(box); ++i) Sleep(10);
      boxClosed = !IsWindow(box);
      Sleep(500);
      windowOpen = IsWindow(hwnd) && !window.Detached();
    });
    EXPECT_TRUE(boxClosed) << fromClick;
    EXPECT_TRUE(windowOpen) << fromClick;
  }
}

// What a picture of `hwnd` looks like on the screen.
std::vector<DWORD> Screenshot(HWND hwnd) {
  RECT rect{};
  GetWindowRect(hwnd, &rect);
  const int width = rect.right - rect.left;
  const int height = rect.bottom - rect.top;
  HDC screen = GetDC(nullptr);
  HDC memory = CreateCompatibleDC(screen);
  BITMAPINFO info{};
  info.bmiHeader = {sizeof(BITMAPINFOHEADER), width, -height, 1, 32, BI_RGB, 0, 0, 0, 0, 0};
  void* bits = nullptr;
  HBITMAP bitmap = CreateDIBSection(screen, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
  HGDIOBJ old = SelectObject(memory, bitmap);
  BitBlt(memory, 0, 0, width, height, screen, rect.left, rect.top, SRCCOPY);
  std::vector<DWORD> pixels(static_cast<const DWORD*>(bits),
                            static_cast<const DWORD*>(bits) + width * height);
  SelectObject(memory, old);
  DeleteObject(bitmap);
  DeleteDC(memory);
  ReleaseDC(nullptr, screen);
  return pixels;
}

// The serial channel's Chinese texts in a message box are drawn with glyphs: without a font
// that has them each character is the same empty box, and the text looks like its reverse.
TEST(Win32Window, ChineseMessageShowsGlyphs) {
  const std::wstring text = L"无法按当前参数配置端口";
  const std::wstring reversed(text.rbegin(), text.rend());
  QuorlinWin32Window window(false);
  std::vector<std::vector<DWORD>> shots;
  RunWindow(window, [&](HWND hwnd) {
    for (const std::wstring& shown : {text, reversed}) {
      std::thread worker([&] { window.MessageBox(Narrow(shown)); });
      HWND box = WaitForOwnedDialog(hwnd);
      ASSERT_NE(box, nullptr);
      HWND label = nullptr;
      for (HWND child : Children(box))
        if (TextOfWindow(child) == shown) label = child;
      ASSERT_NE(label, nullptr) << Narrow(AllTexts(box));
      SetForegroundWindow(box);
      RedrawWindow(box, nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW | RDW_ALLCHILDREN);
      Sleep(300);
      shots.push_back(Screenshot(label));
      PostMessageW(box, WM_COMMAND, IDOK, 0);
      worker.join();
    }
  });
  ASSERT_EQ(shots.size(), 2u);
  EXPECT_EQ(shots[0].size(), shots[1].size());
  EXPECT_NE(shots[0], shots[1]) << "the Chinese text is drawn without glyphs";
}

TEST(Win32Text, ChargerAndMessageTexts) {
  EXPECT_EQ(QuorlinWin32Window::ControlText("无法设置超时参数!", false), L"无法设置超时参数!");
  // Not UTF-8: shown byte for byte as Latin-1 rather than dropped.
  EXPECT_EQ(QuorlinWin32Window::ControlText("V\xE9R 1\xFF", false), L"V\u00e9R 1\u00ff");
  // An edit control breaks lines only at CR LF.
  EXPECT_EQ(QuorlinWin32Window::ControlText("a\nb\r\nc\rd", true), L"a\r\nb\r\nc\r\nd");
  EXPECT_EQ(QuorlinWin32Window::ControlText("a\nb", false), L"a\nb");
}

TEST(Win32Text, OpenFileFilter) {
  using namespace std::string_literals;
  EXPECT_EQ(QuorlinWin32Window::FileFilter("Bin Files(*.bin)|*.bin|all files(*.*)|*.*||"),
            L"Bin Files(*.bin)\0*.bin\0all files(*.*)\0*.*\0\0"s);
  EXPECT_EQ(QuorlinWin32Window::FileFilter(""),
            L"Bin Files(*.bin)\0*.bin\0all files(*.*)\0*.*\0\0"s)
      << "no filter still offers the images";
}

// The file dialog opens where the last image was.
TEST(Win32Text, FolderOfTheLastImage) {
  EXPECT_EQ(QuorlinWin32Window::FolderOf("C:\\fw\\v2\\fw.bin"), L"C:\\fw\\v2");
  EXPECT_EQ(QuorlinWin32Window::FolderOf("C:\\fw.bin"), L"C:\\");
  EXPECT_EQ(QuorlinWin32Window::FolderOf("fw.bin"), L"");
  EXPECT_EQ(QuorlinWin32Window::FolderOf("\\\\server\\share\\fw.bin"), L"\\\\server\\share");
}

}  // namespace
