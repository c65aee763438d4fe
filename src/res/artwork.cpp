#include "res/artwork.h"

#include <QFont>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QPolygonF>
#include <mutex>

#include "res/resource_ids.h"

namespace {

QPolygonF Bolt(QRectF box) {
  const auto at = [&](double fx, double fy) {
    return QPointF(box.left() + fx * box.width(), box.top() + fy * box.height());
  };
  return QPolygonF({at(0.62, 0.0), at(0.12, 0.58), at(0.46, 0.58), at(0.34, 1.0), at(0.88, 0.38),
                    at(0.54, 0.38), at(0.62, 0.0)});
}

// A battery lying on its side, charge bars in it, a bolt over them.
void PaintBattery(QPainter& p, QRectF body, int bars, double outline) {
  const double capWidth = body.width() * 0.08;
  const QRectF cap(body.right(), body.center().y() - body.height() * 0.2, capWidth,
                   body.height() * 0.4);
  p.setPen(QPen(QColor(235, 240, 245), outline));
  p.setBrush(QColor(20, 40, 60));
  p.drawRoundedRect(body, body.height() * 0.12, body.height() * 0.12);
  p.setPen(Qt::NoPen);
  p.setBrush(QColor(235, 240, 245));
  p.drawRoundedRect(cap, capWidth * 0.3, capWidth * 0.3);

  const QRectF inner = body.adjusted(outline * 1.5, outline * 1.5, -outline * 1.5, -outline * 1.5);
  const double gap = inner.width() * 0.04;
  const double barWidth = (inner.width() - gap * (bars - 1)) / bars;
  for (int i = 0; i < bars; ++i) {
    QLinearGradient fill(0, inner.top(), 0, inner.bottom());
    fill.setColorAt(0, QColor(140, 230, 90));
    fill.setColorAt(1, QColor(40, 160, 60));
    p.setBrush(fill);
    p.drawRect(QRectF(inner.left() + i * (barWidth + gap), inner.top(), barWidth, inner.height()));
  }

  const QRectF boltBox(body.center().x() - body.height() * 0.32, body.top() + body.height() * 0.08,
                       body.height() * 0.64, body.height() * 0.84);
  p.setPen(QPen(QColor(20, 40, 60), outline * 0.8, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
  p.setBrush(QColor(255, 210, 40));
  p.drawPolygon(Bolt(boltBox));
}

}  // namespace

QImage PaintAppIcon() {
  QImage image(32, 32, QImage::Format_ARGB32);
  image.fill(Qt::transparent);
  QPainter p(&image);
  p.setRenderHint(QPainter::Antialiasing);
  PaintBattery(p, QRectF(1.5, 6.5, 26.5, 19), 3, 1.8);
  return image;
}

QImage PaintLogo() {
  QImage image(348, 152, QImage::Format_RGB888);
  QPainter p(&image);
  p.setRenderHint(QPainter::Antialiasing);
  p.setRenderHint(QPainter::TextAntialiasing);

  QLinearGradient sky(0, 0, 0, image.height());
  sky.setColorAt(0, QColor(24, 64, 110));
  sky.setColorAt(1, QColor(8, 24, 48));
  p.fillRect(image.rect(), sky);

  // A faint circuit trace behind everything.
  p.setPen(QPen(QColor(60, 110, 160), 2));
  QPainterPath trace;
  trace.moveTo(0, 126);
  trace.lineTo(120, 126);
  trace.lineTo(136, 110);
  trace.lineTo(348, 110);
  p.drawPath(trace);
  p.setBrush(QColor(60, 110, 160));
  p.drawEllipse(QPointF(136, 110), 4, 4);

  PaintBattery(p, QRectF(18, 34, 96, 56), 4, 4);

  QFont title("Liberation Sans");
  title.setFamilies({"Liberation Sans", "Arial", "DejaVu Sans"});
  title.setPixelSize(44);
  title.setBold(true);
  p.setFont(title);
  p.setPen(QColor(245, 248, 252));
  p.drawText(QRectF(134, 22, 206, 56), Qt::AlignLeft | Qt::AlignVCenter, "BRELKA");

  QFont subtitle = title;
  subtitle.setPixelSize(17);
  subtitle.setBold(false);
  p.setFont(subtitle);
  p.setPen(QColor(150, 215, 120));
  p.drawText(QRectF(136, 76, 206, 24), Qt::AlignLeft | Qt::AlignVCenter, "Charger Programmer");

  subtitle.setPixelSize(12);
  p.setFont(subtitle);
  p.setPen(QColor(170, 190, 210));
  p.drawText(QRectF(136, 120, 206, 24), Qt::AlignLeft | Qt::AlignVCenter,
             "Firmware updates over USB");
  return image;
}

QPixmap ResourcePixmap(int id) {
  // Images, not pixmaps, are cached: they may outlive the application object.
  static std::once_flag painted;
  static QImage icon;
  static QImage logo;
  std::call_once(painted, [] {
    icon = PaintAppIcon();
    logo = PaintLogo();
  });
  if (id == ids::kAppIcon) return QPixmap::fromImage(icon);
  if (id == ids::kLogoBitmap) return QPixmap::fromImage(logo);
  return {};
}
