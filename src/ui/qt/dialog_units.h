#pragma once

#include <QFont>
#include <QRect>
#include <QSize>

#include "res/dialog_templates.h"

// The font a template asks for, or the nearest one installed.
QFont TemplateFont(const DialogTemplate& dialog);

// Dialog units to pixels with the dialog font's base units, as Windows lays out templates:
// horizontal base = average width of the Latin letters, vertical base = line height.
class DialogUnits {
 public:
  explicit DialogUnits(const QFont& font);

  int BaseX() const { return m_baseX; }
  int BaseY() const { return m_baseY; }
  int X(int du) const;
  int Y(int du) const;
  QRect Rect(int x, int y, int width, int height) const;
  QSize Size(int width, int height) const;

 private:
  int m_baseX;
  int m_baseY;
};
