#pragma once

#include "control/panel_view.h"

#include <QStringList>

#include <array>

// A window in memory: boxes the test sets, and every display change recorded.
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
    // "lamp k", "text k", "openall on", "caption 关闭串口", "failed dev|problem|text|open" ...
    QStringList log;

    fake_panel_view();

    QString address_text() const override { return address; }
    QString port_text() const override { return port; }
    void set_lamp_colour(int element, const QColor &colour) override;
    QColor lamp_colour(int element) const override { return lamps.at(element); }
    void set_state_text(int element, const QString &text) override;
    void set_openall_enabled(bool enabled) override;
    void set_closeall_enabled(bool enabled) override;
    void set_port_box_enabled(bool enabled) override;
    void set_port_button_caption(const QString &caption) override;
    void port_failed(
        const QString &device, const orvalin::port_failure &failure, bool while_open) override;

    int failures() const;
};
