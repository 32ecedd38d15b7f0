#include "control/indicator_panel.h"

#include "control/panel_view.h"

#include <QGuiApplication>
#include <QPalette>
#include <QTimer>

namespace orvalin {

namespace {

const QColor yellow(255, 255, 0);
const QColor green(0, 255, 0);
const QColor red(255, 0, 0);

} // namespace

indicator_panel::indicator_panel(panel_view &view, QTimer &timer1)
    : view_(view)
    , timer1_(timer1)
{
}

QColor indicator_panel::closed_colour()
{
    // The toolkit's colour for disabled text stands in for the system
    // grey-text colour. It must differ from the three state colours, since
    // the state of a lamp is read back from its colour.
    QColor grey(128, 128, 128);
    if (qobject_cast<QGuiApplication *>(QCoreApplication::instance())) {
        const QColor themed = QGuiApplication::palette().color(QPalette::Disabled, QPalette::Text);
        if (themed.isValid() && themed != yellow && themed != green && themed != red)
            grey = themed;
    }
    return grey.toRgb();
}

QColor indicator_panel::colour_of(indicator_state state)
{
    switch (state) {
    case indicator_state::on:
        return green;
    case indicator_state::off:
        return red;
    case indicator_state::closed:
        return closed_colour();
    case indicator_state::unknown:
        break;
    }
    return yellow;
}

QString indicator_panel::text_of(indicator_state state)
{
    switch (state) {
    case indicator_state::on:
        return QStringLiteral("  吸合");
    case indicator_state::off:
        return QStringLiteral("  断开");
    case indicator_state::unknown:
    case indicator_state::closed:
        break;
    }
    return QStringLiteral("状态未知");
}

void indicator_panel::set_indicator(int element, indicator_state state)
{
    view_.set_lamp_colour(element, colour_of(state));
    view_.set_state_text(element, text_of(state));
}

void indicator_panel::set_all_indicators(indicator_state state)
{
    for (int element = 1; element <= channel_total; ++element)
        set_indicator(element, state);
}

indicator_state indicator_panel::state(int element) const
{
    const QColor colour = view_.lamp_colour(element).toRgb();
    if (colour == green)
        return indicator_state::on;
    if (colour == red)
        return indicator_state::off;
    if (colour == yellow)
        return indicator_state::unknown;
    // Only the closed grey is left; anything unexpected is not clickable either.
    return indicator_state::closed;
}

void indicator_panel::show_status(const receive_buffer &recv_buf)
{
    const auto inputs = static_cast<std::uint8_t>(recv_buf[4]);
    const auto outputs = static_cast<std::uint8_t>(recv_buf[6]);
    for (int b = 0; b < channels_per_kind; ++b) {
        set_indicator(element_of({ channel_kind::input, b + 1 }),
            get_bit(inputs, b) ? indicator_state::on : indicator_state::off);
        set_indicator(element_of({ channel_kind::output, b + 1 }),
            get_bit(outputs, b) ? indicator_state::on : indicator_state::off);
    }
}

void indicator_panel::show_port_open()
{
    set_all_indicators(indicator_state::unknown);
    view_.set_openall_enabled(true);
    view_.set_closeall_enabled(true);
    timer1_.start();
    view_.set_port_box_enabled(false);
    view_.set_port_button_caption(QStringLiteral("关闭串口"));
}

void indicator_panel::show_port_closed()
{
    set_all_indicators(indicator_state::closed);
    view_.set_openall_enabled(false);
    view_.set_closeall_enabled(false);
    timer1_.stop();
    view_.set_port_box_enabled(true);
    view_.set_port_button_caption(QStringLiteral("打开串口"));
}

} // namespace orvalin
