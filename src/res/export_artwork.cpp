// export-artwork DIR: writes the Windows resources' pictures (icon 128 as app.ico, bitmap 140
// as logo.bmp) from our own artwork. Run once when the artwork changes; the files are kept in
// src/res for the Windows build, which has no Qt.
#include <QGuiApplication>
#include <QImage>
#include <QString>
#include <cstdio>

#include "res/artwork.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: export-artwork DIR\n");
    return 2;
  }
  qputenv("QT_QPA_PLATFORM", "offscreen");
  QGuiApplication app(argc, argv);
  const QString dir = QString::fromLocal8Bit(argv[1]);
  const QImage icon = PaintAppIcon();
  const QImage logo = PaintLogo().convertToFormat(QImage::Format_RGB888);
  bool ok = icon.save(dir + "/app.ico", "ICO");
  ok = logo.save(dir + "/logo.bmp", "BMP") && ok;
  if (!ok) std::fprintf(stderr, "export-artwork: cannot write the pictures to %s\n", argv[1]);
  return ok ? 0 : 1;
}
