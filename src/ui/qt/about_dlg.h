#pragma once

#include <QDialog>

// The About box (template 100): icon, program name, version and OK. OK, Esc and the close box end
// it.
class CAboutDlg : public QDialog {
  Q_OBJECT

 public:
  explicit CAboutDlg(QWidget* parent = nullptr);
};
