#include "ui/win32/quorlin_window.h"

#include <commctrl.h>
#include <commdlg.h>

#include <algorithm>
#include <utility>

#include "platform/win32_text.h"
#include "res/dialog_templates.h"
#include "res/resource_ids.h"
#include "ui/quorlin_dlg.h"
#include "ui/win32/about_dlg.h"
#include "ui/win32/dialog_template.h"

namespace {

// Asks the GUI thread to run what workers have posted.
constexpr UINT kRunPosted = WM_APP + 1;
constexpr wchar_t kAppName[] = L"charger-updater";
constexpr DWORD kMainStyle =
    WS_POPUP | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX | DS_MODALFRAME | DS_CENTER;

std::wstring Latin1(const std::string& text) {
  std::wstring wide;
  wide.reserve(text.size());
  for (char c : text) wide.push_back(static_cast<wchar_t>(static_cast<unsigned char>(c)));
  return wide;
}

bool IsUtf8(const std::string& text) {
  return text.empty() || MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(),
                                             static_cast<int>(text.size()), nullptr, 0) > 0;
}

// A template's IDs are 16-bit words: 57601 must stay 57601, and only 0xFFFF is the generic -1.
int TemplateId(HWND control) {
  const auto word = static_cast<WORD>(GetDlgCtrlID(control));
  return word == 0xFFFF ? -1 : static_cast<int>(word);
}

// A modal box ends on Enter's key-down. A key held a moment longer repeats into the window
// beneath, where Enter is the OK command that closes it; Windows and Wine do not always mark
// such repeats. So an Enter that was down when a box ended is the box's until it is released.
struct EnterFilter {
  HWND window = nullptr;  // the window whose dialog loop runs on this thread
  bool heldFromBox = false;
};
thread_local EnterFilter t_enter;

void NoteEnterAfterBox() {
  t_enter.heldFromBox = GetKeyState(VK_RETURN) < 0;
}

LRESULT CALLBACK DropEnterOfBox(int code, WPARAM wParam, LPARAM lParam) {
  const auto* msg = reinterpret_cast<const MSG*>(lParam);
  if (code == MSGF_DIALOGBOX && msg->wParam == VK_RETURN && t_enter.window != nullptr &&
      (msg->hwnd == t_enter.window || IsChild(t_enter.window, msg->hwnd))) {
    if (msg->message == WM_KEYUP) t_enter.heldFromBox = false;
    if ((msg->message == WM_KEYDOWN || msg->message == WM_CHAR) && t_enter.heldFromBox) return 1;
  }
  return CallNextHookEx(nullptr, code, wParam, lParam);
}

bool IsMultiLine(int id) {
  const ControlTemplate* control = FindControl(MainDialogTemplate(), id);
  return control != nullptr && (control->styles & style::kMultiLine) != 0;
}

}  // namespace

QuorlinWin32Window::QuorlinWin32Window(bool serviceMode)
    : m_serviceMode(serviceMode), m_guiThread(GetCurrentThreadId()) {}

QuorlinWin32Window::~QuorlinWin32Window() {
  // Nothing queued or waiting may reach the controls once they are gone.
  Detach();
}

std::wstring QuorlinWin32Window::ControlText(const std::string& text, bool multiLine) {
  const std::wstring decoded = IsUtf8(text) ? Widen(text) : Latin1(text);
  if (!multiLine) return decoded;
  std::wstring lines;
  lines.reserve(decoded.size() + decoded.size() / 16);
  for (size_t i = 0; i < decoded.size(); ++i) {
    const wchar_t c = decoded[i];
    if (c == L'\r' || c == L'\n') {
      lines += L"\r\n";
      if (c == L'\r' && i + 1 < decoded.size() && decoded[i + 1] == L'\n') ++i;
    } else {
      lines.push_back(c);
    }
  }
  return lines;
}

std::wstring QuorlinWin32Window::FolderOf(const std::string& path) {
  const std::wstring wide = Widen(path);
  const size_t slash = wide.find_last_of(L"\\/");
  if (slash == std::wstring::npos) return {};
  return wide.substr(0, slash == 0 || wide[slash - 1] == L':' ? slash + 1 : slash);
}

std::wstring QuorlinWin32Window::FileFilter(const std::string& filter) {
  std::wstring wide = Widen(filter);
  // Pairs of description and pattern; the trailing "||" ends the list.
  while (!wide.empty() && wide.back() == L'|') wide.pop_back();
  if (wide.empty() || wide.find(L'|') == std::wstring::npos)
    wide = L"Bin Files(*.bin)|*.bin|all files(*.*)|*.*";
  std::replace(wide.begin(), wide.end(), L'|', L'\0');
  wide.push_back(L'\0');
  wide.push_back(L'\0');
  return wide;
}

void QuorlinWin32Window::RunModal(const std::function<void()>& onInit) {
  INITCOMMONCONTROLSEX classes{sizeof classes, ICC_PROGRESS_CLASS | ICC_STANDARD_CLASSES};
  InitCommonControlsEx(&classes);
  m_onInit = onInit;
  DialogTemplate fitted = MainDialogTemplate();
  fitted.fontPoints = FittingFontPoints(fitted, kMainStyle);
  const std::vector<WORD> dialog = BuildDialogTemplate(fitted, kMainStyle);
  HHOOK filter = SetWindowsHookExW(WH_MSGFILTER, DropEnterOfBox, nullptr, GetCurrentThreadId());
  DialogBoxIndirectParamW(GetModuleHandleW(nullptr),
                          reinterpret_cast<const DLGTEMPLATE*>(dialog.data()), nullptr,
                          &QuorlinWin32Window::DialogProc, reinterpret_cast<LPARAM>(this));
  if (filter != nullptr) UnhookWindowsHookEx(filter);
  t_enter = {};
  m_hwnd = nullptr;
}

INT_PTR CALLBACK QuorlinWin32Window::DialogProc(HWND hwnd, UINT message, WPARAM wParam,
                                                LPARAM lParam) {
  if (message == WM_INITDIALOG) {
    auto* window = reinterpret_cast<QuorlinWin32Window*>(lParam);
    SetWindowLongPtrW(hwnd, DWLP_USER, lParam);
    window->OnInitDialog(hwnd);
    return TRUE;
  }
  auto* window = reinterpret_cast<QuorlinWin32Window*>(GetWindowLongPtrW(hwnd, DWLP_USER));
  return window != nullptr ? window->Handle(message, wParam, lParam) : FALSE;
}

void QuorlinWin32Window::OnInitDialog(HWND hwnd) {
  m_hwnd = hwnd;
  t_enter.window = hwnd;
  // Children come in template order, so the first with an ID is the one FindControl names.
  for (HWND child = GetWindow(hwnd, GW_CHILD); child != nullptr;
       child = GetWindow(child, GW_HWNDNEXT))
    m_controls.emplace_back(TemplateId(child), child);

  m_icon = LoadIconW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(ids::kAppIcon));
  SendMessageW(hwnd, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(m_icon));
  SendMessageW(hwnd, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(m_icon));
  const std::string about = LoadResourceString(ids::kAboutMenuString);
  if (HMENU menu = GetSystemMenu(hwnd, FALSE); menu != nullptr && !about.empty()) {
    AppendMenuW(menu, MF_SEPARATOR, 0, nullptr);
    AppendMenuW(menu, MF_STRING, ids::kAboutCommand, Widen(about).c_str());
  }
  if (m_serviceMode) {
    for (int id : ServiceControlIds())
      if (HWND control = Control(id)) ShowWindow(control, SW_SHOW);
  }
  if (m_onInit) m_onInit();
}

INT_PTR QuorlinWin32Window::Handle(UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case kRunPosted:
      RunPosted();
      return TRUE;
    case WM_TIMER:
      TimerFired(static_cast<int>(wParam));
      return TRUE;
    case WM_COMMAND: {
      const int id = LOWORD(wParam);
      if (id == IDOK || id == IDCANCEL) {
        Close();
      } else if (HIWORD(wParam) == BN_CLICKED && m_engine != nullptr && !Detached()) {
        m_engine->OnCommand(id);
      }
      return TRUE;
    }
    case WM_SYSCOMMAND:
      if ((wParam & 0xFFF0) != static_cast<WPARAM>(ids::kAboutCommand)) return FALSE;
      if (m_engine != nullptr)
        m_engine->OnSysCommand(static_cast<unsigned>(wParam));
      else
        ShowAbout();
      return TRUE;
    case WM_CLOSE:
      Close();
      return TRUE;
    default:
      (void)lParam;
      return FALSE;
  }
}

void QuorlinWin32Window::Close() {
  if (!m_closing) {
    if (m_engine != nullptr && !Detached() && !m_engine->ConfirmClose()) return;
    m_closing = true;
    // Workers may be waiting on this thread: detach and join them before the window goes.
    if (m_engine != nullptr)
      m_engine->Shutdown();
    else
      Detach();
  }
  EndDialog(m_hwnd, IDOK);
}

HWND QuorlinWin32Window::Control(int id) const {
  for (const auto& [controlId, hwnd] : m_controls)
    if (controlId == id) return hwnd;
  return nullptr;
}

void QuorlinWin32Window::ApplyText(int id, const std::string& text) {
  if (id == ids::kMainDialog) {  // the window's own caption
    SetWindowTextW(m_hwnd, ControlText(text, false).c_str());
    return;
  }
  if (HWND control = Control(id))
    SetWindowTextW(control, ControlText(text, IsMultiLine(id)).c_str());
}

void QuorlinWin32Window::ApplyEnable(int id, bool enable) {
  if (HWND control = Control(id)) EnableWindow(control, enable ? TRUE : FALSE);
}

void QuorlinWin32Window::ApplyProgressRange(int low, int high) {
  SendMessageW(Control(ids::kProgress), PBM_SETRANGE32, static_cast<WPARAM>(low), high);
}

void QuorlinWin32Window::ApplyProgressPos(int pos) {
  SendMessageW(Control(ids::kProgress), PBM_SETPOS, static_cast<WPARAM>(pos), 0);
}

void QuorlinWin32Window::ApplyAddComboItem(int id, const std::string& text) {
  SendMessageW(Control(id), CB_ADDSTRING, 0,
               reinterpret_cast<LPARAM>(ControlText(text, false).c_str()));
}

void QuorlinWin32Window::ApplySelectComboItem(int id, int index) {
  SendMessageW(Control(id), CB_SETCURSEL, static_cast<WPARAM>(index), 0);
}

void QuorlinWin32Window::ApplyScrollToEnd(int id) {
  SendMessageW(Control(id), WM_VSCROLL, SB_BOTTOM, 0);
}

void QuorlinWin32Window::ApplyMessageBox(const std::string& text, const std::string& caption,
                                         MessageIcon icon) {
  // An OK box that names no icon gets the exclamation mark, as the framework's boxes do.
  const UINT type = MB_OK | (icon == MessageIcon::Stop ? MB_ICONSTOP : MB_ICONEXCLAMATION);
  const std::wstring title = caption.empty() ? std::wstring(kAppName) : Widen(caption);
  MessageBoxW(m_hwnd, ControlText(text, true).c_str(), title.c_str(), type);
  NoteEnterAfterBox();
}

bool QuorlinWin32Window::ApplyAsk(const std::string& text) {
  const int answer = MessageBoxW(m_hwnd, ControlText(text, true).c_str(), kAppName,
                                 MB_YESNO | MB_ICONQUESTION | MB_DEFBUTTON2);
  NoteEnterAfterBox();
  return answer == IDYES;
}

std::optional<std::string> QuorlinWin32Window::ApplyChooseFile(const std::string& filter,
                                                               const std::string& startPath) {
  const std::wstring filters = FileFilter(filter);
  const std::wstring folder = FolderOf(startPath);
  std::vector<wchar_t> path(32768, L'\0');
  OPENFILENAMEW dialog{};
  dialog.lStructSize = sizeof dialog;
  dialog.hwndOwner = m_hwnd;
  dialog.lpstrFilter = filters.c_str();
  dialog.nFilterIndex = 1;
  dialog.lpstrFile = path.data();
  dialog.nMaxFile = static_cast<DWORD>(path.size());
  if (!folder.empty()) dialog.lpstrInitialDir = folder.c_str();
  // NOCHANGEDIR: config.ini is read and written in the working directory.
  dialog.Flags =
      OFN_EXPLORER | OFN_FILEMUSTEXIST | OFN_PATHMUSTEXIST | OFN_HIDEREADONLY | OFN_NOCHANGEDIR;
  const BOOL chosen = GetOpenFileNameW(&dialog);
  NoteEnterAfterBox();
  if (!chosen) return std::nullopt;
  return Narrow(path.data());
}

void QuorlinWin32Window::ApplyShowAbout() {
  ShowAboutBox(m_hwnd);
  NoteEnterAfterBox();
}

void QuorlinWin32Window::ApplySetTimer(int id, int intervalMs) {
  ::SetTimer(m_hwnd, static_cast<UINT_PTR>(id), static_cast<UINT>(intervalMs), nullptr);
}

void QuorlinWin32Window::ApplyKillTimer(int id) {
  ::KillTimer(m_hwnd, static_cast<UINT_PTR>(id));
}

bool QuorlinWin32Window::OnGuiThread() const {
  return GetCurrentThreadId() == m_guiThread;
}

void QuorlinWin32Window::PostToGuiThread(std::function<void()> task) {
  {
    std::lock_guard lock(m_postedMutex);
    m_posted.push_back(std::move(task));
  }
  // Tasks stay with the window, so one that has gone leaves only a message to nobody.
  if (HWND hwnd = m_hwnd.load()) PostMessageW(hwnd, kRunPosted, 0, 0);
}

void QuorlinWin32Window::RunPosted() {
  std::deque<std::function<void()>> tasks;
  {
    std::lock_guard lock(m_postedMutex);
    tasks.swap(m_posted);
  }
  for (auto& task : tasks) task();
}
