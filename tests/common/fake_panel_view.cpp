#include "fake_panel_view.h"

fake_panel_view::fake_panel_view()
{
    for (int k = 1; k <= 16; ++k) {
        lamps[k] = QColor(255, 255, 0);
        texts[k] = QStringLiteral("状态未知");
    }
}

void fake_panel_view::set_lamp_colour(int element, const QColor &colour)
{
    lamps.at(element) = colour;
    log << QStringLiteral("lamp %1").arg(element);
}

void fake_panel_view::set_state_text(int element, const QString &text)
{
    texts.at(element) = text;
    log << QStringLiteral("text %1").arg(element);
}

void fake_panel_view::set_openall_enabled(bool enabled)
{
    openall_enabled = enabled;
    log << QStringLiteral("openall %1").arg(enabled ? "on" : "off");
}

void fake_panel_view::set_closeall_enabled(bool enabled)
{
    closeall_enabled = enabled;
    log << QStringLiteral("closeall %1").arg(enabled ? "on" : "off");
}

void fake_panel_view::set_port_box_enabled(bool enabled)
{
    port_box_enabled = enabled;
    log << QStringLiteral("portbox %1").arg(enabled ? "on" : "off");
}

void fake_panel_view::set_port_button_caption(const QString &caption)
{
    port_caption = caption;
    log << QStringLiteral("caption %1").arg(caption);
}

void fake_panel_view::port_failed(
    const QString &device, const orvalin::port_failure &failure, bool while_open)
{
    log << QStringLiteral("failed %1|%2|%3|%4")
               .arg(device, orvalin::problem_text_en(failure.problem), failure.system_text,
                   while_open ? "open" : "opening");
}

int fake_panel_view::failures() const
{
    int count = 0;
    for (const auto &entry : log)
        if (entry.startsWith(QLatin1String("failed ")))
            ++count;
    return count;
}
