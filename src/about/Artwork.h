#pragma once

#include <QIcon>
#include <QPixmap>

// The program's own pictures, drawn in code so they are the same on every
// machine and sharp at any device pixel ratio. Each picture is made on first
// use at a given ratio and kept for the rest of the run.
namespace Artwork {

// The program icon: a small infrared remote sending a beam, 48 x 48.
QPixmap icon01_48(qreal devicePixelRatio = 1.0);
// The name plate "VantorController IR", 240 x 40.
QPixmap Logo(qreal devicePixelRatio = 1.0);
// The icon at the usual window icon sizes (16 to 256 pixels).
QIcon AppIcon();

} // namespace Artwork
