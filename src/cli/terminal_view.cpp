#include "cli/terminal_view.h"

#include <utility>

#include "cli/terminal_text.h"

TerminalView::TerminalView(EventLoop& loop, std::FILE* err, Progress progress)
    : m_loop(loop), m_err(err), m_progress(progress) {}

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
  if (m_progress == Progress::Lines) {
    // Progress only grows within a session; a lower position is the next session's start.
    const int tenths = pos * 10 / m_progressHigh;
    if (tenths < m_loggedTenths) m_loggedTenths = 0;
    if (tenths <= m_loggedTenths) return;
    m_loggedTenths = tenths;
    std::fprintf(m_err, "Programming: %d%%\n", tenths * 10);
    std::fflush(m_err);
    return;
  }
  if (m_progress != Progress::Bar || pos == m_drawnPos) return;
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
  std::fprintf(m_err, "charger-updater-cli: %s\n", PrintableText(text).c_str());
  std::fflush(m_err);
}

// Nothing in a terminal run asks; a question would go unanswered, so it gets the default.
bool TerminalView::ApplyAsk(const std::string&) {
  return false;
}

std::optional<std::string> TerminalView::ApplyChooseFile(const std::string&, const std::string&) {
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
