#include "station/station_app.h"

#include <QApplication>
#include <QMessageBox>
#include <QPixmap>
#include <QTimer>
#include <cstdio>

#include "platform/exit_status.h"
#include "ui/qt/station_window.h"

namespace {

constexpr char kAppName[] = "charger-updater";

bool SaveScreenshot(QWidget& window, const std::string& path) {
  const QPixmap shot = window.grab();
  if (shot.isNull() || !shot.save(QString::fromStdString(path), "PNG")) {
    std::fprintf(stderr, "%s: cannot save the screenshot to %s\n", kAppName, path.c_str());
    return false;
  }
  std::printf("screenshot %s %dx%d\n", path.c_str(), shot.width(), shot.height());
  std::fflush(stdout);
  return true;
}

}  // namespace

int RunStationWindow(int& argc, char** argv, Station::Options options,
                     const StationWindowOptions& window) {
  QApplication app(argc, argv);
  QApplication::setApplicationName(QString::fromLatin1(kAppName));
  std::string problem;
  int status = kExitOk;
  std::unique_ptr<Station> station = Station::Open(std::move(options), &problem, &status);
  if (!station) {
    // Also in a box: a window started from the desktop has nobody reading stderr.
    std::fprintf(stderr, "%s: %s\n", kAppName, problem.c_str());
    QMessageBox::warning(nullptr, QString::fromLatin1(kAppName), QString::fromStdString(problem));
    return status;
  }
  StationWindow view(*station);
  view.show();
  if (station->StartsAtOnce()) station->Start();
  bool saved = true;
  if (!window.screenshotPath.empty()) {
    saved = false;
    QTimer::singleShot(window.screenshotAfterMs, &view, [&] {
      saved = SaveScreenshot(view, window.screenshotPath);
      view.CloseWhenStopped();
    });
  }
  app.exec();
  return saved ? kExitOk : kExitProgramFailed;
}
