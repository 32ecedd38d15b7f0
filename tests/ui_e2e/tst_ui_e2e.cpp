// The whole program against the module emulator over a real pseudo-terminal:
// the window's controls, the poll cycle and the real serial port together.

#include "control/indicator_panel.h"
#include "link/qt_serial_port.h"
#include "sim_process.h"
#include "ui/controls.h"
#include "ui/main_form.h"
#include "ui/toolkit.h"

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

using namespace orvalin;

namespace {

const QColor green(0, 255, 0);
const QColor red(255, 0, 0);

} // namespace

class tst_ui_e2e : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void lamps_follow_the_module_and_switch_its_relays();
    void lost_module_is_reported_and_closes_the_panel();

private:
    lamp *picture(int k) const
    {
        return form_->findChild<lamp *>(QStringLiteral("Picture1(%1)").arg(k));
    }
    QLabel *state_text(int k) const
    {
        return form_->findChild<QLabel *>(QStringLiteral("Label2(%1)").arg(k));
    }
    QPushButton *port_button() const
    {
        return form_->findChild<QPushButton *>(QStringLiteral("open_comm"));
    }
    void open_through_the_button();

    std::unique_ptr<QTemporaryDir> dir_;
    std::unique_ptr<sim_process> sim_;
    std::unique_ptr<qt_serial_port> port_;
    std::unique_ptr<main_form> form_;
    QList<toolkit::message> messages_;
};

void tst_ui_e2e::initTestCase()
{
    if (!sim_process::available())
        QSKIP("the module emulator needs pseudo-terminals");
}

void tst_ui_e2e::init()
{
    dir_ = std::make_unique<QTemporaryDir>();
    QVERIFY(dir_->isValid());
    sim_ = std::make_unique<sim_process>();
    QVERIFY2(sim_->start(dir_->path(), { "--address", "1" }), qPrintable(sim_->error()));

    toolkit::set_program_directory(dir_->path());
    messages_.clear();
    toolkit::set_message_sink([this](const toolkit::message &m) { messages_ << m; });
    port_ = std::make_unique<qt_serial_port>(dir_->path());
    form_ = std::make_unique<main_form>(*port_);
    form_->show_centred();
    QVERIFY(QTest::qWaitForWindowExposed(form_.get()));
    // A first start: the name file was created.
    QCOMPARE(messages_.size(), 2);
    messages_.clear();
}

void tst_ui_e2e::cleanup()
{
    form_.reset();
    port_.reset();
    sim_.reset();
    toolkit::set_message_sink({});
    toolkit::set_program_directory({});
    dir_.reset();
}

void tst_ui_e2e::open_through_the_button()
{
    QTest::mouseClick(port_button(), Qt::LeftButton);
    QVERIFY2(messages_.isEmpty(), qPrintable(messages_.value(0).prompt));
    QVERIFY(port_->is_open());
    QCOMPARE(port_button()->text(), QStringLiteral("关闭串口"));
}

void tst_ui_e2e::lamps_follow_the_module_and_switch_its_relays()
{
    QCOMPARE(sim_->command("outputs 04"), "ok"); // output 3 on
    QCOMPARE(sim_->command("in 2 on"), "ok"); // element 15
    // Nothing reaches the module before the port is opened.
    QTest::qWait(200);
    QCOMPARE(sim_->status()->frames, 0);

    open_through_the_button();
    QTRY_COMPARE(picture(3)->colour(), green);
    QCOMPARE(state_text(3)->text(), QStringLiteral("  吸合"));
    QCOMPARE(picture(15)->colour(), green);
    QCOMPARE(picture(1)->colour(), red);
    QCOMPARE(picture(16)->colour(), red);

    // A click on a lamp asks for the opposite of what it shows.
    QTest::mouseClick(picture(3), Qt::LeftButton, {}, QPoint(86, 38));
    QTRY_COMPARE(sim_->status()->outputs, 0x00);
    QTRY_COMPARE(picture(3)->colour(), red);
    QCOMPARE(state_text(3)->text(), QStringLiteral("  断开"));

    // The same through the state text inside a lamp.
    QTest::mouseClick(state_text(5), Qt::LeftButton);
    QTRY_COMPARE(sim_->status()->outputs, 0x10);
    QTRY_COMPARE(picture(5)->colour(), green);

    QTest::mouseClick(form_->findChild<QPushButton *>(QStringLiteral("openall")), Qt::LeftButton);
    QTRY_COMPARE(sim_->status()->outputs, 0xff);
    for (int k = 1; k <= 8; ++k)
        QTRY_COMPARE(picture(k)->colour(), green);

    // Inputs change on the module's side only.
    QCOMPARE(sim_->command("in 2 off"), "ok");
    QTRY_COMPARE(picture(15)->colour(), red);

    QTest::mouseClick(port_button(), Qt::LeftButton);
    QVERIFY(!port_->is_open());
    for (int k = 1; k <= 16; ++k)
        QCOMPARE(picture(k)->colour(), indicator_panel::closed_colour());
}

void tst_ui_e2e::lost_module_is_reported_and_closes_the_panel()
{
    open_through_the_button();
    QTRY_COMPARE(picture(1)->colour(), red);
    sim_->kill();
    QTRY_COMPARE(messages_.size(), 1);
    QVERIFY2(messages_[0].prompt.startsWith(QStringLiteral("串口 ") + port_->device()),
        qPrintable(messages_[0].prompt));
    QVERIFY(messages_[0].prompt.contains(QStringLiteral("已断开")));
    QCOMPARE(port_button()->text(), QStringLiteral("打开串口"));
    QCOMPARE(picture(1)->colour(), indicator_panel::closed_colour());
    QVERIFY(form_->findChild<QLineEdit *>(QStringLiteral("chuankou_num"))->isEnabled());
    // Reported once.
    QTest::qWait(300);
    QCOMPARE(messages_.size(), 1);
}

QTEST_MAIN(tst_ui_e2e)
#include "tst_ui_e2e.moc"
