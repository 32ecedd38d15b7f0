#include "ui/app_icon.h"

#include <QPainter>
#include <QPixmap>

#include <array>

namespace orvalin {

namespace {

constexpr qreal grid = 32;

const QColor outline(20, 30, 45);
const QColor plate(52, 73, 94);
const QColor highlight(255, 255, 255, 140);

constexpr QRectF plate_rect(0.5, 0.5, 31, 31);
constexpr qreal plate_radius = 5;

struct icon_lamp {
    QRectF cell;
    QColor colour;
};

// Green, red, yellow, green: on, off, unknown, as the lamps show them.
std::array<icon_lamp, 4> icon_lamps()
{
    const QColor colours[]
        = { QColor(0, 255, 0), QColor(255, 0, 0), QColor(255, 255, 0), QColor(0, 255, 0) };
    std::array<icon_lamp, 4> lamps;
    for (int i = 0; i < 4; ++i)
        lamps[i] = { QRectF(4 + 13 * (i % 2), 4 + 13 * (i / 2), 11, 11), colours[i] };
    return lamps;
}

// The glint on each lamp, relative to its cell.
QRectF glint_of(const QRectF &cell)
{
    return QRectF(cell.x() + 2.5, cell.y() + 2, 4, 3);
}

QString svg_number(qreal value)
{
    return QString::number(value, 'g', 6);
}

QString svg_colour(const QColor &colour)
{
    return colour.name(QColor::HexRgb);
}

QString svg_ellipse(const QRectF &r, const QString &paint)
{
    return QStringLiteral("  <ellipse cx=\"%1\" cy=\"%2\" rx=\"%3\" ry=\"%4\" %5/>\n")
        .arg(svg_number(r.center().x()), svg_number(r.center().y()), svg_number(r.width() / 2),
            svg_number(r.height() / 2), paint);
}

} // namespace

void paint_app_icon(QPainter &painter, int size)
{
    painter.save();
    painter.setRenderHint(QPainter::Antialiasing);
    painter.scale(size / grid, size / grid);
    painter.setPen(QPen(outline, 1));
    painter.setBrush(plate);
    painter.drawRoundedRect(plate_rect, plate_radius, plate_radius);
    for (const icon_lamp &lamp : icon_lamps()) {
        painter.setPen(QPen(outline, 1));
        painter.setBrush(lamp.colour);
        painter.drawEllipse(lamp.cell);
        painter.setPen(Qt::NoPen);
        painter.setBrush(highlight);
        painter.drawEllipse(glint_of(lamp.cell));
    }
    painter.restore();
}

QImage app_icon_image(int size)
{
    QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter painter(&image);
    paint_app_icon(painter, size);
    painter.end();
    return image;
}

QByteArray app_icon_svg(int size)
{
    const QString stroke
        = QStringLiteral("stroke=\"%1\" stroke-width=\"1\"").arg(svg_colour(outline));
    QString svg = QStringLiteral("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                                 "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"%1\" "
                                 "height=\"%1\" viewBox=\"0 0 %2 %2\">\n")
                      .arg(size)
                      .arg(svg_number(grid));
    svg += QStringLiteral("  <rect x=\"%1\" y=\"%2\" width=\"%3\" height=\"%4\" rx=\"%5\" "
                          "fill=\"%6\" %7/>\n")
               .arg(svg_number(plate_rect.x()), svg_number(plate_rect.y()),
                   svg_number(plate_rect.width()), svg_number(plate_rect.height()),
                   svg_number(plate_radius), svg_colour(plate), stroke);
    for (const icon_lamp &lamp : icon_lamps()) {
        svg += svg_ellipse(
            lamp.cell, QStringLiteral("fill=\"%1\" %2").arg(svg_colour(lamp.colour), stroke));
        svg += svg_ellipse(glint_of(lamp.cell),
            QStringLiteral("fill=\"%1\" fill-opacity=\"%2\"")
                .arg(svg_colour(highlight), svg_number(highlight.alphaF())));
    }
    svg += QStringLiteral("</svg>\n");
    return svg.toUtf8();
}

QIcon app_icon()
{
    return QIcon(QPixmap::fromImage(app_icon_image(32)));
}

} // namespace orvalin
