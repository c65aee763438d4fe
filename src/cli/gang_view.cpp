#include "cli/gang_view.h"

#include <unistd.h>

#include <cstdio>

#include "cli/session_report.h"
#include "cli/terminal_size.h"
#include "platform/printable_text.h"
#include "record/json_text.h"

namespace {

// The states a worker reports; the conductor's own (starting, restarting, stopped) are for
// the table only.
bool WorkerPhase(PortPhase phase) {
  return phase != PortPhase::Starting && phase != PortPhase::Restarting &&
         phase != PortPhase::Stopped;
}

}  // namespace

GangView::GangView(Mode mode, const std::vector<std::string>& ports,
                   std::function<void()> onOutputLost)
    : m_mode(mode),
      m_rows(ports.size()),
      m_shownPhase(ports.size()),
      m_onOutputLost(std::move(onOutputLost)),
      m_stdoutOnTable(mode == Mode::Table && isatty(STDOUT_FILENO) != 0) {
  for (size_t i = 0; i < ports.size(); ++i) m_rows[i].port = ports[i];
  if (m_mode == Mode::Table) Redraw();
}

void GangView::Out(const std::string& text) {
  if (m_outputLost) return;
  const bool written = std::fwrite(text.data(), 1, text.size(), stdout) == text.size();
  if (std::fflush(stdout) == 0 && written) return;
  m_outputLost = true;
  if (m_onOutputLost) m_onOutputLost();
}

void GangView::Redraw() {
  const std::string table = m_table.Draw(m_rows, TerminalRows());
  std::fwrite(table.data(), 1, table.size(), stderr);
  std::fflush(stderr);
}

void GangView::Above(const std::string& text, bool toStdout) {
  if (m_mode == Mode::Table && (!toStdout || m_stdoutOnTable)) {
    const std::string erase = m_table.Erase();
    std::fwrite(erase.data(), 1, erase.size(), stderr);
    std::fflush(stderr);
  }
  if (toStdout) {
    Out(text + "\n");
  } else {
    std::fprintf(stderr, "%s\n", text.c_str());
    std::fflush(stderr);
  }
  if (m_mode == Mode::Table) Redraw();
}

void GangView::PortChanged(size_t index, const PortRow& row, Change change) {
  m_rows[index] = row;
  switch (m_mode) {
    case Mode::Table:
      Redraw();
      break;
    case Mode::Lines:
      if (change == Change::Progress)
        Above(PrintableText(row.port) + ": " + std::to_string(row.percent) + "%", false);
      else if (m_shownPhase[index] != PhaseName(row.phase) && WorkerPhase(row.phase))
        Above(PrintableText(row.port + ": " + PhaseName(row.phase)), false);
      break;
    case Mode::Json:
      if (change == Change::Progress) {
        JsonLine line;
        line.Add("event", "progress").Add("port", row.port).Add("percent", row.percent);
        Out(line.Text());
      } else if (WorkerPhase(row.phase)) {
        Out(ChargerEvent("state", row.port, row.charger).Add("state", PhaseName(row.phase)).Text());
      }
      break;
  }
  if (change == Change::State) m_shownPhase[index] = PhaseName(row.phase);
}

void GangView::SessionEnded(size_t index, const PortRow& row, const SessionRecord& record) {
  m_rows[index] = row;
  if (m_mode == Mode::Json) {
    JsonLine line;
    line.Add("event", "result");
    Out(line.Merge(RecordJson(record)).Text());
    return;
  }
  std::string text = record.port + " " + record.serial.value_or("N/A") + " " + record.result;
  if (!record.reason.empty()) text += ": " + record.reason;
  Above(PrintableText(text), true);
}

void GangView::Notice(std::optional<size_t> index, const std::string& text) {
  if (!index) {
    Above("charger-updater-cli: " + PrintableText(text), false);
    return;
  }
  Above(PrintableText(m_rows[*index].port + ": " + text), false);
}

void GangView::Tick() {
  if (m_mode == Mode::Table) Redraw();
}

void GangView::Finished(const ConductorTotals& totals) {
  if (totals.workersRefused) return;
  if (m_mode == Mode::Json) {
    JsonLine line;
    line.Add("event", "count")
        .Add("succeeded", totals.succeeded)
        .Add("failed", totals.failed)
        .Add("skipped", totals.skipped)
        .Add("refused", totals.refused);
    Out(line.Text());
    return;
  }
  // The table stays as it was last drawn; the count comes below it.
  Out(CountLine(totals.succeeded, totals.failed, totals.skipped, totals.refused) + "\n");
}
