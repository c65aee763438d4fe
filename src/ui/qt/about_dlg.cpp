#include "ui/qt/about_dlg.h"

#include <QLabel>
#include <QPushButton>

#include "extras/about_box.h"
#include "res/artwork.h"
#include "res/resource_ids.h"
#include "ui/qt/dialog_builder.h"
#include "ui/qt/dialog_units.h"

CAboutDlg::CAboutDlg(QWidget* parent) : QDialog(parent) {
  setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                 Qt::WindowCloseButtonHint);
  const auto controls = BuildDialog(AboutDialogTemplate(), *this);
  setWindowIcon(QIcon(ResourcePixmap(ids::kAppIcon)));
  if (auto* ok = qobject_cast<QPushButton*>(FindWidget(controls, ids::kOk))) {
    connect(ok, &QPushButton::clicked, this, &QDialog::accept);
  }
  const AboutVersionLine line = AboutBoxVersionLine();
  auto* version = new QLabel(QString::fromStdString(line.text), this);
  version->setTextFormat(Qt::PlainText);
  version->setGeometry(DialogUnits(font()).Rect(line.x, line.y, line.width, line.height));
}
