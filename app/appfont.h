#pragma once

#include <QFont>

// The window's typeface at a size in pixels. Where MS Sans Serif is not installed
// the style hint lets the font matcher take the system's sans-serif instead, at the
// same pixel size, so the controls keep their proportions.
inline QFont LoaderFont(int pixelSize)
{
    QFont font(QStringLiteral("MS Sans Serif"));
    font.setStyleHint(QFont::SansSerif);
    font.setPixelSize(pixelSize);
    return font;
}
