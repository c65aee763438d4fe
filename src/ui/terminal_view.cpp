#include "terminal_view.h"

#include <utility>

TerminalView::TerminalView(EventLoop& loop, std::FILE* err, bool drawProgress)
    : m_loop(loop), m_err(err), m_drawProgress(drawProgress) {}

std::string TerminalView::Text(int id) const {
  std::lock_guard lock(m_mutex);
  auto it = m_texts.find(id);
  return it == m_texts.end() ? std::string() : it->second;
}

bool TerminalView::Enabled(int id) const {
  std::lock_guard lock(m_mutex);
  auto it = m_enabled.find(id);
  return it != m_enabled.end() && it->second;
}

void TerminalView::FinishProgress() {
  std::lock_guard lock(m_mutex);
  if (m_drawnPos >= 0) std::fputc('\n', m_err);
  m_drawnPos = -1;
}

void TerminalView::ApplyText(int id, const std::string& text) {
  std::lock_guard lock(m_mutex);
  m_texts[id] = text;
}

void TerminalView::ApplyEnable(int id, bool enable) {
  std::lock_guard lock(m_mutex);
  m_enabled[id] = enable;
}

void TerminalView::ApplyProgressRange(int /*low*/, int high) {
  std::lock_guard lock(m_mutex);
  m_progressHigh = high > 0 ? high : 100;
}

void TerminalView::ApplyProgressPos(int pos) {
  std::lock_guard lock(m_mutex);
  if (!m_drawProgress || pos == m_drawnPos) return;
  if (pos == 0 && m_drawnPos < 0) return;  // a reset, not a transfer under way
  constexpr int kWidth = 40;
  const int filled = pos * kWidth / m_progressHigh;
  std::string bar(static_cast<size_t>(filled), '#');
  bar.resize(kWidth, '.');
  std::fprintf(m_err, "\rProgramming [%s] %3d%%", bar.c_str(), pos);
  std::fflush(m_err);
  m_drawnPos = pos;
}

void TerminalView::ApplyAddComboItem(int, const std::string&) {}
void TerminalView::ApplySelectComboItem(int, int) {}
void TerminalView::ApplyScrollToEnd(int) {}

void TerminalView::ApplyMessageBox(const std::string& text, const std::string&, MessageIcon) {
  std::lock_guard lock(m_mutex);
  if (m_drawnPos >= 0) std::fputc('\n', m_err);
  m_drawnPos = -1;
  std::fprintf(m_err, "charger-updater-cli: %s\n", text.c_str());
  std::fflush(m_err);
}

std::optional<std::string> TerminalView::ApplyChooseFile(const std::string&) {
  return std::nullopt;
}

void TerminalView::ApplyShowAbout() {}

void TerminalView::ApplySetTimer(int id, int intervalMs) {
  m_loop.SetTimer(id, intervalMs, [this, id] { TimerFired(id); });
}

void TerminalView::ApplyKillTimer(int id) {
  m_loop.KillTimer(id);
}

bool TerminalView::OnGuiThread() const {
  return m_loop.IsLoopThread();
}

void TerminalView::PostToGuiThread(std::function<void()> task) {
  m_loop.Post(std::move(task));
}
