#pragma once

#include "fake_serial_port.h"
#include "system/toolkit.h"
#include "ui/main_form.h"

#include <QList>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

// A first start of the panel in a temporary program directory, with its
// messages collected and a fake port; the main form is shown.
struct panel_fixture {
    panel_fixture()
    {
        orvalin::toolkit::set_program_directory(dir.path());
        orvalin::toolkit::set_message_sink(
            [this](const orvalin::toolkit::message &m) { messages << m; });
        form = std::make_unique<orvalin::main_form>(port);
        form->show_centred();
        if (!QTest::qWaitForWindowExposed(form.get()))
            qWarning("panel_fixture: window not exposed");
        messages.clear();
    }
    ~panel_fixture()
    {
        form.reset();
        orvalin::toolkit::set_message_sink({});
        orvalin::toolkit::set_program_directory({});
    }
    panel_fixture(const panel_fixture &) = delete;
    panel_fixture &operator=(const panel_fixture &) = delete;

    QTemporaryDir dir;
    QList<orvalin::toolkit::message> messages;
    fake_serial_port port;
    std::unique_ptr<orvalin::main_form> form;
};
