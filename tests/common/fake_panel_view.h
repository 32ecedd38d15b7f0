#pragma once

#include "control/panel_view.h"

#include <array>

// A window in memory: boxes the test sets, and what the panel shows.
class fake_panel_view final : public orvalin::panel_view {
public:
    QString address = QStringLiteral("1");
    QString port = QStringLiteral("1");
    std::array<QColor, 17> lamps {}; // index 1..16
    std::array<QString, 17> texts {}; // index 1..16
    bool openall_enabled = true;
    bool closeall_enabled = true;
    bool port_box_enabled = true;
    QString port_caption = QStringLiteral("打开串口");

    fake_panel_view()
    {
        lamps.fill(QColor(255, 255, 0));
        texts.fill(QStringLiteral("状态未知"));
    }

    QString address_text() const override { return address; }
    QString port_text() const override { return port; }
    void set_lamp_colour(int element, const QColor &colour) override { lamps.at(element) = colour; }
    QColor lamp_colour(int element) const override { return lamps.at(element); }
    void set_state_text(int element, const QString &text) override { texts.at(element) = text; }
    void set_openall_enabled(bool enabled) override { openall_enabled = enabled; }
    void set_closeall_enabled(bool enabled) override { closeall_enabled = enabled; }
    void set_port_box_enabled(bool enabled) override { port_box_enabled = enabled; }
    void set_port_button_caption(const QString &caption) override { port_caption = caption; }
    void port_failed(const QString &, const orvalin::port_failure &, bool) override { }
};
