#pragma once

#include "link/channel.h"
#include "link/port_device.h"

#include <QColor>
#include <QString>

namespace orvalin {

// What the controller reads from and writes to the main window. The window
// implements it; tests implement it with a fake. Elements are numbered 1..16
// as link/channel.h maps them (element_of, channel_of_element).
class panel_view {
public:
    virtual ~panel_view() = default;

    // Text of the address box `add`, read at every send.
    virtual QString address_text() const = 0;
    // Text of the port number box `chuankou_num`, read at every open.
    virtual QString port_text() const = 0;

    // Lamp `Picture1`(k): background colour, set and read back.
    virtual void set_lamp_colour(int element, const QColor &colour) = 0;
    virtual QColor lamp_colour(int element) const = 0;
    // State text `Label2`(k) inside the lamp.
    virtual void set_state_text(int element, const QString &text) = 0;

    virtual void set_openall_enabled(bool enabled) = 0;
    virtual void set_closeall_enabled(bool enabled) = 0;
    virtual void set_port_box_enabled(bool enabled) = 0;
    virtual void set_port_button_caption(const QString &caption) = 0;

    // The port could not be opened, or failed while open: the device tried
    // (empty when the number stands for none) and why, in the core's terms.
    // Called once per failure; the window decides how the operator is told.
    virtual void port_failed(const QString &device, const port_failure &failure, bool while_open)
        = 0;
};

} // namespace orvalin
