#include "ui/win32/dialog_template.h"

#include <string>

#include "platform/win32_text.h"

namespace {

// Predefined window classes by atom, as resource compilers write them.
constexpr WORD kButtonAtom = 0x0080;
constexpr WORD kEditAtom = 0x0081;
constexpr WORD kStaticAtom = 0x0082;
constexpr WORD kComboBoxAtom = 0x0085;

class Writer {
 public:
  void Word(WORD w) { m_words.push_back(w); }
  void Dword(DWORD d) {
    Word(LOWORD(d));
    Word(HIWORD(d));
  }
  void Text(const std::string& text) {
    for (wchar_t c : Widen(text)) Word(static_cast<WORD>(c));
    Word(0);
  }
  void Ordinal(WORD value) {
    Word(0xFFFF);
    Word(value);
  }
  void AlignDword() {
    if (m_words.size() % 2 != 0) Word(0);
  }
  std::vector<WORD> Take() { return std::move(m_words); }

 private:
  std::vector<WORD> m_words;
};

DWORD ControlStyle(const ControlTemplate& c) {
  DWORD style = WS_CHILD;
  if (c.visible) style |= WS_VISIBLE;
  if (c.styles & style::kGroup) style |= WS_GROUP;
  if (c.styles & style::kBorder) style |= WS_BORDER;
  if (c.styles & style::kVScroll) style |= WS_VSCROLL;
  const bool tabStop = (c.styles & style::kNoTabStop) == 0;
  switch (c.kind) {
    case ControlKind::PushButton:
      return style | BS_PUSHBUTTON | (tabStop ? WS_TABSTOP : 0);
    case ControlKind::DefPushButton:
      return style | BS_DEFPUSHBUTTON | (tabStop ? WS_TABSTOP : 0);
    case ControlKind::Edit:
      if (c.styles & style::kMultiLine) style |= ES_MULTILINE | ES_AUTOVSCROLL | ES_WANTRETURN;
      if (c.styles & style::kAutoHScroll) style |= ES_AUTOHSCROLL;
      return style | ES_LEFT | (tabStop ? WS_TABSTOP : 0);
    case ControlKind::Static:
      return style | SS_LEFT | ((c.styles & style::kNoPrefix) ? SS_NOPREFIX : 0);
    case ControlKind::GroupBox:
      return style | BS_GROUPBOX;
    case ControlKind::Progress:
      return style;
    case ControlKind::ComboBox:
      return style | ((c.styles & style::kDropDown) ? CBS_DROPDOWN : CBS_DROPDOWNLIST) |
             (tabStop ? WS_TABSTOP : 0);
    case ControlKind::Picture:
      return style | SS_BITMAP |
             ((c.styles & style::kRightAlign) ? SS_RIGHTJUST | SS_REALSIZEIMAGE : 0);
    case ControlKind::Icon:
      return style | SS_ICON;
  }
  return style;
}

void ControlClass(Writer& out, ControlKind kind) {
  switch (kind) {
    case ControlKind::PushButton:
    case ControlKind::DefPushButton:
    case ControlKind::GroupBox:
      return out.Ordinal(kButtonAtom);
    case ControlKind::Edit:
      return out.Ordinal(kEditAtom);
    case ControlKind::ComboBox:
      return out.Ordinal(kComboBoxAtom);
    case ControlKind::Progress:
      return out.Text("msctls_progress32");
    case ControlKind::Static:
    case ControlKind::Picture:
    case ControlKind::Icon:
      return out.Ordinal(kStaticAtom);
  }
}

// "MS Shell Dlg 2" is not a font but the system's name for its dialog font.
constexpr char kSystemDialogFace[] = "MS Shell Dlg 2";
constexpr int kSmallestPoints = 6;

}  // namespace

bool FontInstalled(const std::string& face) {
  LOGFONTW wanted{};
  wanted.lfCharSet = DEFAULT_CHARSET;
  const std::wstring wide = Widen(face);
  if (wide.empty() || wide.size() >= LF_FACESIZE) return false;
  wide.copy(wanted.lfFaceName, wide.size());
  HDC screen = GetDC(nullptr);
  bool found = false;
  EnumFontFamiliesExW(
      screen, &wanted,
      [](const LOGFONTW*, const TEXTMETRICW*, DWORD, LPARAM found) -> int {
        *reinterpret_cast<bool*>(found) = true;
        return 0;
      },
      reinterpret_cast<LPARAM>(&found), 0);
  ReleaseDC(nullptr, screen);
  return found;
}

int FittingFontPoints(const DialogTemplate& dialog, DWORD dialogStyle) {
  MONITORINFO monitor{};
  monitor.cbSize = sizeof monitor;
  if (!GetMonitorInfoW(MonitorFromPoint(POINT{0, 0}, MONITOR_DEFAULTTOPRIMARY), &monitor))
    return dialog.fontPoints;
  const LONG roomX = monitor.rcWork.right - monitor.rcWork.left;
  const LONG roomY = monitor.rcWork.bottom - monitor.rcWork.top;
  // Windows lays the template out; a hidden trial window says how large it comes out.
  DialogTemplate trial = dialog;
  for (; trial.fontPoints > kSmallestPoints; --trial.fontPoints) {
    const std::vector<WORD> words = BuildDialogTemplate(trial, dialogStyle & ~WS_VISIBLE);
    HWND window = CreateDialogIndirectParamW(
        GetModuleHandleW(nullptr), reinterpret_cast<const DLGTEMPLATE*>(words.data()), nullptr,
        [](HWND, UINT, WPARAM, LPARAM) -> INT_PTR { return FALSE; }, 0);
    if (window == nullptr) break;
    RECT rect{};
    GetWindowRect(window, &rect);
    DestroyWindow(window);
    if (rect.right - rect.left <= roomX && rect.bottom - rect.top <= roomY) break;
  }
  return trial.fontPoints;
}

std::vector<WORD> BuildDialogTemplate(const DialogTemplate& dialog, DWORD dialogStyle) {
  Writer out;
  out.Word(1);       // dlgVer
  out.Word(0xFFFF);  // signature: the extended form
  out.Dword(0);      // helpID
  out.Dword(0);      // exStyle
  out.Dword(dialogStyle | DS_SETFONT);
  out.Word(static_cast<WORD>(dialog.controls.size()));
  out.Word(0);
  out.Word(0);
  out.Word(static_cast<WORD>(dialog.width));
  out.Word(static_cast<WORD>(dialog.height));
  out.Word(0);  // no menu
  out.Word(0);  // the dialog class
  out.Text(dialog.caption);
  out.Word(static_cast<WORD>(dialog.fontPoints));
  out.Word(FW_NORMAL);
  out.Word(MAKEWORD(FALSE, DEFAULT_CHARSET));  // italic, charset
  out.Text(FontInstalled(dialog.fontFace) ? dialog.fontFace : kSystemDialogFace);

  for (const ControlTemplate& c : dialog.controls) {
    out.AlignDword();
    out.Dword(0);  // helpID
    out.Dword((c.styles & style::kTransparent) ? WS_EX_TRANSPARENT : 0);
    out.Dword(ControlStyle(c));
    out.Word(static_cast<WORD>(c.x));
    out.Word(static_cast<WORD>(c.y));
    out.Word(static_cast<WORD>(c.width));
    out.Word(static_cast<WORD>(c.height));
    out.Dword(static_cast<DWORD>(c.id));
    ControlClass(out, c.kind);
    if (c.kind == ControlKind::Picture || c.kind == ControlKind::Icon)
      out.Ordinal(static_cast<WORD>(std::stoi(c.caption)));
    else
      out.Text(c.caption);
    out.Word(0);  // no creation data
  }
  return out.Take();
}
