#pragma once

#include <functional>
#include <string>
#include <vector>

#include "cli/live_table.h"
#include "conductor/conductor_face.h"

// gang's face on the terminal. With --json, one JSON line per event on stdout. Otherwise each
// finished session is a line on stdout, and stderr shows the ports: a live table on a terminal
// (finished sessions and messages scroll up above it), or a line per change elsewhere.
class GangView : public ConductorFace {
 public:
  enum class Mode { Json, Table, Lines };
  // `onOutputLost` runs once when stdout takes no more lines.
  GangView(Mode mode, const std::vector<std::string>& ports, std::function<void()> onOutputLost);

  void PortChanged(size_t index, const PortRow& row, Change change) override;
  void SessionEnded(size_t index, const PortRow& row, const SessionRecord& record) override;
  void Notice(std::optional<size_t> index, const std::string& text) override;
  void Tick() override;
  void Finished(const ConductorTotals& totals) override;

 private:
  // `text` on stdout (or stderr), above the table when one is drawn.
  void Above(const std::string& text, bool toStdout);
  void Out(const std::string& text);
  void Redraw();

  Mode m_mode;
  std::vector<PortRow> m_rows;
  std::vector<std::string> m_shownPhase;  // the last state each port's line or event told
  std::function<void()> m_onOutputLost;
  bool m_outputLost = false;
  bool m_stdoutOnTable = false;  // stdout is the table's terminal too
  LiveTable m_table;
};
