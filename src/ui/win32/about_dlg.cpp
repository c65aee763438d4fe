#include "ui/win32/about_dlg.h"

#include <vector>

#include "extras/about_box.h"
#include "platform/win32_text.h"
#include "res/dialog_templates.h"
#include "ui/win32/dialog_template.h"

namespace {

INT_PTR CALLBACK AboutProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM) {
  switch (message) {
    case WM_INITDIALOG: {
      const AboutVersionLine line = AboutBoxVersionLine();
      RECT place{line.x, line.y, line.x + line.width, line.y + line.height};
      MapDialogRect(hwnd, &place);
      HWND version = CreateWindowExW(0, L"STATIC", Widen(line.text).c_str(),
                                     WS_CHILD | WS_VISIBLE | SS_LEFT | SS_NOPREFIX, place.left,
                                     place.top, place.right - place.left, place.bottom - place.top,
                                     hwnd, nullptr, nullptr, nullptr);
      SendMessageW(version, WM_SETFONT, SendMessageW(hwnd, WM_GETFONT, 0, 0), FALSE);
      return TRUE;
    }
    case WM_COMMAND:
      if (LOWORD(wParam) == IDOK || LOWORD(wParam) == IDCANCEL) EndDialog(hwnd, LOWORD(wParam));
      return TRUE;
    case WM_CLOSE:
      EndDialog(hwnd, IDCANCEL);
      return TRUE;
    default:
      return FALSE;
  }
}

}  // namespace

void ShowAboutBox(HWND owner) {
  const std::vector<WORD> dialog = BuildDialogTemplate(
      AboutDialogTemplate(), WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME | DS_CENTER);
  DialogBoxIndirectParamW(GetModuleHandleW(nullptr),
                          reinterpret_cast<const DLGTEMPLATE*>(dialog.data()), owner, AboutProc, 0);
}
