#include "extras/about_dlg.h"

#include <QLabel>
#include <QPushButton>

#include "extras/artwork.h"
#include "extras/dialog_builder.h"
#include "extras/dialog_units.h"
#include "res/resource_ids.h"
#include "res/version.h"

CAboutDlg::CAboutDlg(QWidget* parent) : QDialog(parent) {
  setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                 Qt::WindowCloseButtonHint);
  const auto controls = BuildDialog(AboutDialogTemplate(), *this);
  setWindowIcon(QIcon(ResourcePixmap(ids::kAppIcon)));
  if (auto* ok = qobject_cast<QPushButton*>(FindWidget(controls, ids::kOk))) {
    connect(ok, &QPushButton::clicked, this, &QDialog::accept);
  }
  // The version gets a line of its own under the program name, so the template stays as it is.
  auto* version = new QLabel(QString("Version ") + kChargerUpdaterVersion, this);
  version->setTextFormat(Qt::PlainText);
  version->setGeometry(DialogUnits(font()).Rect(40, 26, 119, 8));
}
