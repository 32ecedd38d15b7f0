#pragma once

#include "link/frame.h"

#include <QColor>
#include <QString>

class QTimer;

namespace orvalin {

class panel_view;

enum class indicator_state { unknown, on, off, closed };

// The 16 lamps with their state texts. The state of a lamp is what it shows:
// indicator_state() answers from the lamp's colour, so the two never differ.
class indicator_panel {
public:
    // Timer1 is enabled by show_port_open and stopped by show_port_closed.
    indicator_panel(panel_view &view, QTimer &timer1);

    static QColor colour_of(indicator_state state);
    static QString text_of(indicator_state state);
    // The toolkit's grey-text colour, used for lamps while the port is closed.
    static QColor closed_colour();

    // Colour first, then text.
    void set_indicator(int element, indicator_state state);
    // Elements 1..16 in that order.
    void set_all_indicators(indicator_state state);
    indicator_state state(int element) const;

    // Applies reply bytes 4 (inputs) and 6 (outputs) of recv_buf to all 16
    // lamps, in the order 16, 1, 15, 2, ..., 9, 8.
    void show_status(const receive_buffer &recv_buf);
    void show_port_open();
    void show_port_closed();

private:
    panel_view &view_;
    QTimer &timer1_;
};

} // namespace orvalin
