#include "panel_fixture.h"

#include <QTest>

using namespace orvalin;

panel_fixture::panel_fixture()
{
    toolkit::set_program_directory(dir.path());
    toolkit::set_message_sink([this](const toolkit::message &m) { messages << m; });
    form = std::make_unique<main_form>(port);
    form->show_centred();
    if (!QTest::qWaitForWindowExposed(form.get()))
        qWarning("panel_fixture: window not exposed");
    messages.clear();
}

panel_fixture::~panel_fixture()
{
    form.reset();
    toolkit::set_message_sink({});
    toolkit::set_program_directory({});
}
