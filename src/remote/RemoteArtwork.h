#pragma once

#include <QColor>
#include <QImage>

// The remote control drawn as the main window's backdrop, 133 x 398 logical
// pixels. Drawn with QPainter at the requested scale so it stays crisp on
// high-density screens; every key lies exactly under its hotspot.
namespace RemoteArtwork {

constexpr int cWidth = 133;
constexpr int cHeight = 398;

// The picture at devicePixelRatio `scale` (1: 133 x 398 pixels).
QImage IRRemocon400p(qreal scale = 1.0);

// Colours of the drawing, for the window and for checks.
QColor bodyColor();           // the remote's face between the keys
QColor keyColor(int index);   // the face of key `index` (1..32)
QColor labelColor(int index); // its label

} // namespace RemoteArtwork
