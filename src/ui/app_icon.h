#pragma once

#include <QByteArray>
#include <QIcon>
#include <QImage>

class QPainter;

namespace orvalin {

// The panel's icon, four lamps on a dark plate: the panel in miniature. One
// drawing, on a 32-unit grid, serves the window icon and the icons installed
// for desktops, so they cannot drift apart.

// Paints the icon into the square (0, 0, size, size) of painter.
void paint_app_icon(QPainter &painter, int size);

// The icon at size × size pixels on a transparent background.
QImage app_icon_image(int size);

// The same drawing as an SVG document, size × size user units.
QByteArray app_icon_svg(int size);

// The window icon (32 px, as the panel has always drawn it).
QIcon app_icon();

} // namespace orvalin
