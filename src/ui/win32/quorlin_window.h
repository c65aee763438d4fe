#pragma once

#include <windows.h>
// <windows.h> would rename ControlSurface::MessageBox in everything that follows.
#undef MessageBox

#include <atomic>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "ui/control_surface.h"

class CQuorlinDlg;

// The main window (template 102) as a native dialog. It shows what the engine tells it and
// hands clicks to the engine; it never owns the port or the protocol.
class QuorlinWin32Window : public ControlSurface {
 public:
  explicit QuorlinWin32Window(bool serviceMode);
  ~QuorlinWin32Window() override;

  // Where clicks, the About command and the close go. Not owned.
  void SetEngine(CQuorlinDlg* engine) { m_engine = engine; }
  // Runs the modal dialog; `onInit` runs once its controls exist. Returns when it closes.
  void RunModal(const std::function<void()>& onInit);
  // The window while it runs; null otherwise.
  HWND Handle() const { return m_hwnd; }

  // "Desc|pattern|...||" as GetOpenFileNameW wants it: NUL-separated, two NULs at the end.
  static std::wstring FileFilter(const std::string& filter);
  // The folder part of a file's path, for the open-file dialog to start in; empty for a bare
  // name.
  static std::wstring FolderOf(const std::string& path);
  // Charger text is 8-bit: UTF-8 when it is valid UTF-8, otherwise Latin-1; bare LF and CR
  // become CR LF, which an edit control needs to break lines.
  static std::wstring ControlText(const std::string& text, bool multiLine);

 protected:
  CONTROL_SURFACE_OVERRIDES;

 private:
  static INT_PTR CALLBACK DialogProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
  INT_PTR Handle(UINT message, WPARAM wParam, LPARAM lParam);
  void OnInitDialog(HWND hwnd);
  void Close();
  void RunPosted();
  HWND Control(int id) const;

  bool m_serviceMode;
  std::atomic<HWND> m_hwnd{nullptr};  // read by workers that post
  DWORD m_guiThread;
  std::vector<std::pair<int, HWND>> m_controls;  // template order
  std::function<void()> m_onInit;
  CQuorlinDlg* m_engine = nullptr;
  HICON m_icon = nullptr;
  bool m_closing = false;

  std::mutex m_postedMutex;
  std::deque<std::function<void()>> m_posted;
};
