#include "ui/qt/dialog_units.h"

#include <QFontMetrics>
#include <QString>
#include <QStringList>

namespace {

// Rounds like Win32 MulDiv, so positions match a Windows layout pixel for pixel.
int MulDiv(int value, int numerator, int denominator) {
  const long long product = static_cast<long long>(value) * numerator;
  const long long half = denominator / 2;
  return static_cast<int>(product >= 0 ? (product + half) / denominator
                                       : (product - half) / denominator);
}

}  // namespace

QFont TemplateFont(const DialogTemplate& dialog) {
  const QString face = QString::fromUtf8(dialog.fontFace);
  QStringList families{face};
  // Metric-compatible or look-alike faces that Linux systems actually carry.
  if (face == QLatin1String("Arial")) {
    families << "Liberation Sans"
             << "Arimo"
             << "Helvetica"
             << "Nimbus Sans";
  } else if (face == QString::fromUtf8("宋体")) {
    families << "SimSun"
             << "NSimSun"
             << "AR PL UMing CN"
             << "Noto Serif CJK SC"
             << "WenQuanYi Zen Hei";
  }
  QFont font(face);
  font.setFamilies(families);
  font.setPointSize(dialog.fontPoints);
  font.setWeight(QFont::Normal);
  font.setStyleHint(QFont::SansSerif);
  return font;
}

DialogUnits::DialogUnits(const QFont& font) {
  const QFontMetrics metrics(font);
  const int letters = metrics.horizontalAdvance(
      QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
  m_baseX = (letters / 26 + 1) / 2;
  m_baseY = metrics.height();
  if (m_baseX < 1) m_baseX = 1;
  if (m_baseY < 1) m_baseY = 1;
}

int DialogUnits::X(int du) const {
  return MulDiv(du, m_baseX, 4);
}

int DialogUnits::Y(int du) const {
  return MulDiv(du, m_baseY, 8);
}

QRect DialogUnits::Rect(int x, int y, int width, int height) const {
  return QRect(X(x), Y(y), X(width), Y(height));
}

QSize DialogUnits::Size(int width, int height) const {
  return QSize(X(width), Y(height));
}
