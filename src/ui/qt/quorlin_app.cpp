#include "ui/quorlin_app.h"

#include <QApplication>
#include <QDialog>
#include <QMessageBox>
#include <QPixmap>
#include <QString>
#include <QTimer>
#include <cstdio>
#include <utility>

#include "platform/exit_status.h"
#include "ui/qt/quorlin_window.h"
#include "ui/quorlin_dlg.h"

namespace {

bool SaveScreenshot(QuorlinWindow& window, const std::string& path) {
  const QPixmap shot = window.grab();
  if (shot.isNull() || !shot.save(QString::fromStdString(path), "PNG")) {
    std::fprintf(stderr, "%s: cannot save the screenshot to %s\n", CQuorlinApp::kAppName,
                 path.c_str());
    return false;
  }
  std::printf("screenshot %s %dx%d\n", path.c_str(), shot.width(), shot.height());
  std::fflush(stdout);
  return true;
}

// Ends the run even when a message box sits on top of the window.
void CloseEverything(QuorlinWindow& window) {
  for (QWidget* widget : QApplication::topLevelWidgets()) {
    auto* dialog = qobject_cast<QDialog*>(widget);
    if (dialog != nullptr && dialog != &window && dialog->isVisible()) dialog->reject();
  }
  window.reject();
}

}  // namespace

int CQuorlinApp::Run(int& argc, char** argv) {
  QApplication app(argc, argv);
  QApplication::setApplicationName(QString::fromLatin1(kAppName));
  QuorlinWindow window(m_options.serviceMode);
  return RunEngine(
      window, [&window](CQuorlinDlg* dlg) { window.SetEngine(dlg); },
      [&](CQuorlinDlg& dlg) {
        dlg.OnInitDialog();
        bool screenshotSaved = true;
        if (!m_options.screenshotPath.empty()) {
          screenshotSaved = false;
          QTimer::singleShot(m_options.screenshotAfterMs, &window, [&] {
            screenshotSaved = SaveScreenshot(window, m_options.screenshotPath);
            CloseEverything(window);
          });
        }
        window.exec();
        return screenshotSaved ? kExitOk : kExitProgramFailed;
      });
}

void CQuorlinApp::ShowUsage(const std::string& text, bool mistake) {
  std::fputs(text.c_str(), mistake ? stderr : stdout);
}

// Shown in a box too: a window started from the desktop has nobody reading stderr.
void CQuorlinApp::ShowProblem(const std::string& text) {
  std::fprintf(stderr, "%s: %s\n", kAppName, text.c_str());
  if (QApplication::instance() != nullptr)
    QMessageBox::warning(nullptr, QString::fromLatin1(kAppName), QString::fromStdString(text));
}
