// The native window's pieces under Wine: the dialog built from the templates, and the text
// conversions at the Win32 boundary.
#include <gtest/gtest.h>
#include <windows.h>
// After <windows.h>, which it needs.
#include <commctrl.h>

#include "res/dialog_templates.h"
#include "res/resource_ids.h"
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

}  // namespace
