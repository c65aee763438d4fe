#pragma once

#include <QDialog>
#include <QString>
#include <QStringList>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "ui/control_surface.h"
#include "ui/qt/dialog_builder.h"

class CQuorlinDlg;
class QMenu;
class QTimer;

// The main window (template 102). It shows what the engine tells it and hands clicks to the
// engine; it never owns the port or the protocol.
class QuorlinWindow : public QDialog, public ControlSurface {
  Q_OBJECT

 public:
  // `serviceMode` also shows the controls that the template keeps hidden.
  explicit QuorlinWindow(bool serviceMode = false, QWidget* parent = nullptr);
  ~QuorlinWindow() override;

  // Where clicks, the About command and the close go. Not owned; must outlive the window's run.
  void SetEngine(CQuorlinDlg* engine);

  // The first control with `id` in template order (ID -1: the status line).
  QWidget* Control(int id) const;
  // The window's context menu, which stands in for the title-bar menu.
  QMenu* CreateSystemMenu();

  // Charger text is 8-bit: UTF-8 when it is valid UTF-8, otherwise Latin-1.
  static QString DecodeText(const std::string& text);
  // A Windows-style filter ("Desc|pattern|...||") as Qt name filters.
  static QStringList NameFilters(const std::string& filter);

  void done(int result) override;

 protected:
  CONTROL_SURFACE_OVERRIDES;

  void contextMenuEvent(QContextMenuEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;

 private:
  void WireButtons();
  void OnAboutCommand();

  std::vector<TemplateControl> m_controls;
  std::map<int, QTimer*> m_timers;
  CQuorlinDlg* m_engine = nullptr;
  bool m_closing = false;
};
