#pragma once

#include <QImage>
#include <QPixmap>

// The program's pictures, painted rather than shipped. Need a QGuiApplication.
QImage PaintAppIcon();  // icon 128: 32 x 32, 32 bits per pixel with alpha
QImage PaintLogo();     // bitmap 140: 348 x 152, 24 bits per pixel

// Painted once per process; the resource number picks the picture, a null pixmap otherwise.
QPixmap ResourcePixmap(int id);
