#include "ui/controls.h"

#include <QCoreApplication>
#include <QFontDatabase>
#include <QMouseEvent>
#include <QPainter>
#include <QScrollBar>
#include <QTextLayout>

#include <algorithm>
#include <utility>

namespace orvalin {

QFont panel_font(int pixel_size)
{
    // 宋体 first; the others are CJK faces that Linux distributions ship
    // (WenQuanYi Micro Hei is the one the build installs).
    static const QStringList preferred {
        QStringLiteral("SimSun"),
        QStringLiteral("宋体"),
        QStringLiteral("NSimSun"),
        QStringLiteral("WenQuanYi Micro Hei"),
        QStringLiteral("Noto Sans CJK SC"),
        QStringLiteral("Noto Serif CJK SC"),
        QStringLiteral("AR PL UMing CN"),
    };
    static const QStringList installed = [] {
        QStringList found;
        for (const QString &family : preferred) {
            if (QFontDatabase::hasFamily(family))
                found << family;
        }
        return found;
    }();

    QFont font;
    if (!installed.isEmpty())
        font.setFamilies(installed);
    font.setPixelSize(pixel_size);
    font.setWeight(QFont::Normal);
    font.setItalic(false);
    return font;
}

void click_tracker::press(QMouseEvent *event)
{
    pressed_ = event->button() == Qt::LeftButton;
    event->setAccepted(pressed_);
}

bool click_tracker::release(QMouseEvent *event, const QRect &area)
{
    const bool was_pressed = std::exchange(pressed_, false);
    return was_pressed && event->button() == Qt::LeftButton
        && area.contains(event->position().toPoint());
}

void click_label::mousePressEvent(QMouseEvent *event)
{
    click_.press(event);
}

void click_label::mouseReleaseEvent(QMouseEvent *event)
{
    if (click_.release(event, rect()))
        emit clicked();
}

void caption_label::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.setPen(palette().color(QPalette::WindowText));
    const QFontMetricsF metrics(font());
    const qreal pitch = std::min(metrics.lineSpacing(), height() / 2.0);
    // The first baseline puts the top of an ideograph at the label's top
    // edge, where a face as tall as its size puts it.
    const qreal ink_top = -metrics.tightBoundingRect(QStringLiteral("国量")).top();
    const qreal first_baseline = std::min(metrics.ascent(), std::max(ink_top, 0.0));

    // Only whole lines are shown.
    const int whole_lines = std::max(1, int(height() / pitch));

    QTextOption option(Qt::AlignLeft);
    option.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    QTextLayout layout(text(), font());
    layout.setTextOption(option);
    layout.beginLayout();
    for (int index = 0; index < whole_lines; ++index) {
        QTextLine line = layout.createLine();
        if (!line.isValid())
            break;
        line.setLineWidth(width());
        line.setPosition(QPointF(0, first_baseline + index * pitch - line.ascent()));
    }
    layout.endLayout();
    for (int index = 0; index < layout.lineCount(); ++index)
        layout.lineAt(index).draw(&painter, QPointF(0, 0));
}

lamp::lamp(QWidget *parent)
    : QFrame(parent)
{
    setFrameStyle(QFrame::Panel | QFrame::Sunken);
    setLineWidth(border);
    setAutoFillBackground(true);
}

void lamp::set_colour(const QColor &colour)
{
    // Every tick without a reply, and every reply, sets all 16 lamps, mostly
    // to the colour they already show; building and resolving a palette for
    // that was most of an idle tick's work.
    if (colour == colour_)
        return;
    colour_ = colour;
    QPalette palette = this->palette();
    palette.setColor(QPalette::Window, colour);
    setPalette(palette);
}

void lamp::mousePressEvent(QMouseEvent *event)
{
    click_.press(event);
}

void lamp::mouseReleaseEvent(QMouseEvent *event)
{
    if (click_.release(event, rect()))
        emit clicked();
}

spinner::spinner(QWidget *parent)
    : QWidget(parent)
    , bar_(new QScrollBar(Qt::Vertical, this))
{
    bar_->setRange(-maximum, -minimum);
    bar_->setSingleStep(1);
    bar_->setPageStep(1);
    bar_->setFocusPolicy(Qt::StrongFocus);
    setFocusPolicy(Qt::StrongFocus);
    setFocusProxy(bar_);
    connect(bar_, &QScrollBar::valueChanged, this, [this](int raw) { emit value_changed(-raw); });
    // Runs after the bar moved its position for the action and before the
    // value follows, so putting the position back cancels the step.
    connect(bar_, &QAbstractSlider::actionTriggered, this, [this] {
        if (!held_)
            return;
        bar_->setSliderPosition(bar_->value());
        end_press();
    });
}

void spinner::end_press()
{
    // The bar stops its auto-repeat and forgets the pressed arrow on a
    // release; a release when nothing is pressed changes nothing.
    const QPointF centre = QRectF(bar_->rect()).center();
    QMouseEvent release(QEvent::MouseButtonRelease, centre, bar_->mapToGlobal(centre),
        Qt::LeftButton, Qt::NoButton, Qt::NoModifier);
    QCoreApplication::sendEvent(bar_, &release);
}

int spinner::value() const
{
    return -bar_->value();
}

void spinner::set_value(int value)
{
    bar_->setValue(-std::clamp(value, minimum, maximum));
}

void spinner::resizeEvent(QResizeEvent *event)
{
    QWidget::resizeEvent(event);
    bar_->setGeometry(rect());
}

QValidator::State byte_text_validator::validate(QString &input, int &) const
{
    if (input.isEmpty())
        return Intermediate;
    if (input.size() > 3)
        return Invalid;
    for (const QChar c : input) {
        if (c < u'0' || c > u'9')
            return Invalid;
    }
    return input.toInt() <= 255 ? Acceptable : Invalid;
}

} // namespace orvalin
