// The window, poll cycle and real serial port against the emulator on a pty.

#include "control/indicator_panel.h"
#include "link/qt_serial_port.h"
#include "sim_process.h"
#include "ui/controls.h"
#include "ui/main_form.h"
#include "system/toolkit.h"

#include <QLabel>
#include <QPushButton>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTest>

using namespace orvalin;

class tst_ui_e2e : public QObject {
    Q_OBJECT

private slots:
    void lamps_follow_the_module_and_switch_its_relays();
};

void tst_ui_e2e::lamps_follow_the_module_and_switch_its_relays()
{
    if (!sim_process::available())
        QSKIP("the module emulator needs pseudo-terminals");
    QTemporaryDir dir;
    sim_process sim;
    QVERIFY2(sim.start(dir.path(), { "--address", "1" }), qPrintable(sim.error()));
    toolkit::set_program_directory(dir.path());
    QList<toolkit::message> messages;
    toolkit::set_message_sink([&](const toolkit::message &m) { messages << m; });
    const auto restore = qScopeGuard([] {
        toolkit::set_message_sink({});
        toolkit::set_program_directory({});
    });
    qt_serial_port port(dir.path());
    main_form form(port);
    form.show_centred();
    QVERIFY(QTest::qWaitForWindowExposed(&form));
    messages.clear(); // the name file was created
    const auto picture = [&](int k) {
        return form.findChild<lamp *>(QStringLiteral("Picture1(%1)").arg(k))->colour();
    };
    const auto state_text = [&](int k) {
        return form.findChild<QLabel *>(QStringLiteral("Label2(%1)").arg(k))->text();
    };
    const auto click_button = [&](const char *name) {
        QTest::mouseClick(form.findChild<QPushButton *>(name), Qt::LeftButton);
    };

    QCOMPARE(sim.command("outputs 04"), "ok"); // output 3 on
    QCOMPARE(sim.command("in 2 on"), "ok"); // element 15
    click_button("open_comm");
    QVERIFY2(messages.isEmpty(), qPrintable(messages.value(0).prompt));
    QTRY_COMPARE(picture(3), QColor(Qt::green));
    QCOMPARE(state_text(3), "  吸合");
    QCOMPARE(picture(15), QColor(Qt::green));
    QCOMPARE(picture(16), QColor(Qt::red));

    // A click on a lamp or its state text asks for the opposite state.
    QTest::mouseClick(form.findChild<lamp *>("Picture1(3)"), Qt::LeftButton, {}, QPoint(86, 38));
    QTRY_COMPARE(sim.status()->outputs, 0x00);
    QTRY_COMPARE(picture(3), QColor(Qt::red));
    QCOMPARE(state_text(3), "  断开");
    QTest::mouseClick(form.findChild<QLabel *>("Label2(5)"), Qt::LeftButton);
    QTRY_COMPARE(sim.status()->outputs, 0x10);
    QTRY_COMPARE(picture(5), QColor(Qt::green));
    click_button("openall");
    QTRY_COMPARE(sim.status()->outputs, 0xff);
    for (int k = 1; k <= 8; ++k)
        QTRY_COMPARE(picture(k), QColor(Qt::green));
    click_button("closeall");
    QTRY_COMPARE(sim.status()->outputs, 0x00);
    QCOMPARE(sim.command("in 2 off"), "ok");
    QTRY_COMPARE(picture(15), QColor(Qt::red));

    click_button("open_comm");
    QVERIFY(!port.is_open());
    for (int k = 1; k <= 16; ++k)
        QCOMPARE(picture(k), indicator_panel::closed_colour());
}

QTEST_MAIN(tst_ui_e2e)
#include "tst_ui_e2e.moc"
