#include "ui/qt/quorlin_app.h"

#include <QApplication>
#include <QDialog>
#include <QPixmap>
#include <QString>
#include <QTimer>
#include <cstdio>
#include <utility>

#include "serial/serial_port.h"
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

CQuorlinApp::CQuorlinApp(Options options) : m_options(std::move(options)) {}

int CQuorlinApp::Run(int& argc, char** argv) {
  QApplication app(argc, argv);
  QApplication::setApplicationName(QString::fromLatin1(kAppName));

  QuorlinWindow window(m_options.serviceMode);
  CQuorlinDlg::Options engineOptions;
  engineOptions.configPath = m_options.configPath;
  engineOptions.ports = m_options.ports;
  CQuorlinDlg dlg(window, g_serial, std::move(engineOptions));
  window.SetEngine(&dlg);
  if (m_options.prepareEngine) {
    const std::string problem = m_options.prepareEngine(dlg);
    if (!problem.empty()) {
      std::fprintf(stderr, "%s: %s\n", kAppName, problem.c_str());
      window.MessageBox(problem);
      dlg.Shutdown();
      window.SetEngine(nullptr);
      return 2;
    }
  }
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

  dlg.Shutdown();
  window.SetEngine(nullptr);
  return screenshotSaved ? 0 : 1;
}
