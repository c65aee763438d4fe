#include "extras/about_dlg.h"

#include <QPushButton>

#include "extras/artwork.h"
#include "extras/dialog_builder.h"
#include "res/resource_ids.h"

CAboutDlg::CAboutDlg(QWidget* parent) : QDialog(parent) {
  setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                 Qt::WindowCloseButtonHint);
  const auto controls = BuildDialog(AboutDialogTemplate(), *this);
  setWindowIcon(QIcon(ResourcePixmap(ids::kAppIcon)));
  if (auto* ok = qobject_cast<QPushButton*>(FindWidget(controls, ids::kOk))) {
    connect(ok, &QPushButton::clicked, this, &QDialog::accept);
  }
}
