#pragma once

#include "fake_serial_port.h"
#include "system/toolkit.h"
#include "ui/main_form.h"

#include <QList>
#include <QTemporaryDir>

#include <memory>

// A first start of the panel in a temporary program directory, with its
// messages collected and a fake port; the main form is shown.
struct panel_fixture {
    panel_fixture();
    ~panel_fixture();
    panel_fixture(const panel_fixture &) = delete;
    panel_fixture &operator=(const panel_fixture &) = delete;

    QTemporaryDir dir;
    QList<orvalin::toolkit::message> messages;
    fake_serial_port port;
    std::unique_ptr<orvalin::main_form> form;
};
