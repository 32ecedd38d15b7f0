#include "control/controller.h"
#include "control/indicator_panel.h"
#include "names/name_file.h"
#include "names/profile.h"
#include "panel_fixture.h"
#include "ui/controls.h"

#include <QApplication>
#include <QClipboard>
#include <QEventLoop>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>
#include <QWindow>

#include <functional>

using namespace orvalin;

class tst_main_form : public QObject {
    Q_OBJECT

private slots:
    void init() { fx_ = std::make_unique<panel_fixture>(); }
    void cleanup() { fx_.reset(); }

    void leading_zero_never_sends_a_wrong_address();
    void boxes_hold_only_numbers_0_to_255();
    void one_step_shows_one_round_of_messages_data();
    void one_step_shows_one_round_of_messages();
    void port_failures_are_reported_in_chinese_data();
    void port_failures_are_reported_in_chinese();
    void lamps_render_at_their_places_in_their_colours();
    void title_shows_as_stored_data();
    void title_shows_as_stored();
    void port_tip_says_what_the_number_stands_for();

private:
    template <typename T = QWidget> T *child(const QString &name) const
    {
        return fx_->form->findChild<T *>(name);
    }
    QLineEdit *add() const { return child<QLineEdit>("add"); }
    QLineEdit *port_box() const { return child<QLineEdit>("chuankou_num"); }
    QLabel *caption(int k) const { return child<QLabel>(QStringLiteral("Label4(%1)").arg(k)); }
    void click_arrow(const char *bar, bool up)
    {
        QTest::mouseClick(child<spinner>(bar)->findChild<QScrollBar *>(), Qt::LeftButton, {},
            QPoint(12, up ? 3 : 22));
    }
    void click_port() { child<QPushButton>("open_comm")->click(); }
    QString tick_and_take_frame()
    {
        fx_->form->findChild<controller *>()->timer1_tick();
        const frame &bytes = fx_->port.written.last();
        return QByteArray(reinterpret_cast<const char *>(bytes.data()), 8).toHex();
    }

    std::unique_ptr<panel_fixture> fx_;
};

void tst_main_form::leading_zero_never_sends_a_wrong_address()
{
    QVERIFY(fx_->port.log.isEmpty()); // nothing opened at start-up
    click_port();
    // With the spinner already at 2, "02" stays and names its own section.
    add()->setText("2");
    add()->home(false);
    QTest::keyClick(add(), Qt::Key_0);
    QCOMPARE(add()->text(), "02");
    QCOMPARE(caption(1)->text(), QString());
    // A name is text: markup someone typed into the file is shown, not run.
    for (int k = 1; k <= 16; ++k)
        QCOMPARE(caption(k)->textFormat(), Qt::PlainText);
    QCOMPARE(tick_and_take_frame(), "5502100000000067");
    // Otherwise the spinner moves and writes the plain number back.
    add()->selectAll();
    QTest::keyClicks(add(), "03");
    QCOMPARE(add()->text(), "3");
    QCOMPARE(tick_and_take_frame(), "5503100000000068");
}

void tst_main_form::boxes_hold_only_numbers_0_to_255()
{
    const QList<std::pair<const char *, const char *>> typed_shown { { "abc", "1" }, { "-5", "5" },
        { "256", "25" }, { "２", "1" } };
    for (const char *bar_name : { "VScroll1", "VScroll2" }) {
        auto *box = bar_name[7] == '1' ? add() : port_box();
        auto *bar = child<spinner>(bar_name);
        for (const auto &[typed, shown] : typed_shown) {
            box->setText("1");
            box->selectAll();
            for (const QChar c : QString::fromUtf8(typed)) { // also characters no key sends
                QKeyEvent press(QEvent::KeyPress, 0, Qt::NoModifier, QString(c));
                QApplication::sendEvent(box, &press);
            }
            QVERIFY2(box->text() == QLatin1String(shown), typed);
            QCOMPARE(bar->value(), box->text().toInt());
        }
        box->selectAll();
        QApplication::clipboard()->setText("12x");
        box->paste();
        QCOMPARE(box->text(), "1");
        // An emptied box keeps its spinner and gets the number back when left.
        box->setText("4");
        box->selectAll();
        QTest::keyClick(box, Qt::Key_Backspace);
        QCOMPARE(bar->value(), 4);
        QFocusEvent out(QEvent::FocusOut, Qt::TabFocusReason);
        QApplication::sendEvent(box, &out);
        QCOMPARE(box->text(), "4");
    }
}

void tst_main_form::one_step_shows_one_round_of_messages_data()
{
    QTest::addColumn<QString>("step");
    QTest::addColumn<int>("box_ms"); // how long each message runs the event loop
    QTest::newRow("arrow clicked, boxes outlast the auto-repeat delay") << "click" << 40;
    QTest::newRow("arrow pressed, its release taken by a box") << "press" << 0;
    QTest::newRow("Up key") << "key" << 40;
    QTest::newRow("digit typed") << "type" << 40;
    // The port's spinner takes no step either while the boxes run.
    QTest::newRow("digit typed, port arrow held") << "type, port arrow held" << 40;
}

void tst_main_form::one_step_shows_one_round_of_messages()
{
    QFETCH(QString, step);
    QFETCH(int, box_ms);
    QVERIFY(QFile::remove(name_file_path()));
    int shown = 0;
    toolkit::set_message_sink([&](const toolkit::message &) {
        // Like a modal box; a runaway is cut short so that the test ends.
        if (++shown > 40)
            return;
        QEventLoop box;
        QTimer::singleShot(box_ms, &box, &QEventLoop::quit);
        box.exec();
    });
    auto *bar = child<spinner>("VScroll1")->findChild<QScrollBar *>();
    const QPoint up_arrow(12, 3);
    if (step == "click" || step == "press")
        QTest::mousePress(bar, Qt::LeftButton, {}, up_arrow);
    if (step == "click")
        QTest::mouseRelease(bar, Qt::LeftButton, {}, up_arrow);
    if (step == "key")
        QTest::keyClick(bar, Qt::Key_Up);
    auto *port_bar = child<spinner>("VScroll2")->findChild<QScrollBar *>();
    if (step == "type, port arrow held")
        QTest::mousePress(port_bar, Qt::LeftButton, {}, up_arrow);
    if (step.startsWith("type")) {
        add()->selectAll();
        QTest::keyClick(add(), Qt::Key_2);
    }
    QTest::qWait(800); // well past the bar's auto-repeat delay
    if (step == "press")
        QTest::mouseRelease(bar, Qt::LeftButton, {}, up_arrow);
    if (step == "type, port arrow held")
        QTest::mouseRelease(port_bar, Qt::LeftButton, {}, up_arrow);
    QCOMPARE(add()->text(), "2");
    QCOMPARE(shown, 16);
    QCOMPARE(
        port_box()->text(), step == "type, port arrow held" ? "2" : "1"); // the press's own step
}

void tst_main_form::port_failures_are_reported_in_chinese_data()
{
    QTest::addColumn<int>("problem"); // none: opens, then is lost
    QTest::addColumn<QString>("system_text");
    QTest::addColumn<QString>("prompt");
    QTest::newRow("missing")
        << int(port_problem::missing) << "No such file or directory"
        << "无法打开串口 /dev/fake3：串口不存在（No such file or directory）。";
    QTest::newRow("in use") << int(port_problem::busy) << "Resource temporarily unavailable"
                            << "无法打开串口 /dev/fake3：串口已被其他程序占用（Resource "
                               "temporarily unavailable）。";
    QTest::newRow("no number") << int(port_problem::missing) << ""
                               << "无法打开串口 （未填写）：串口不存在。";
    QTest::newRow("unplugged") << int(port_problem::none) << "Input/output error"
                               << "串口 /dev/fake3 已断开：设备已拔出或对端已关闭（Input/output "
                                  "error）。";
}

void tst_main_form::port_failures_are_reported_in_chinese()
{
    QFETCH(int, problem);
    QFETCH(QString, system_text);
    QFETCH(QString, prompt);
    auto &f = *fx_;
    port_box()->setText(prompt.contains(u"未填写") ? "" : "3");
    f.port.open_fails = problem != int(port_problem::none);
    f.port.open_problem = port_problem(problem);
    f.port.open_error = system_text;
    click_port();
    if (!f.port.open_fails) {
        click_arrow("VScroll2", true); // the next open's number; the lost port is 3
        f.port.lose(system_text);
        QTRY_COMPARE(child<QPushButton>("open_comm")->text(), "打开串口");
    }
    QCOMPARE(f.messages.size(), 1);
    QCOMPARE(f.messages[0].prompt, prompt);
}

void tst_main_form::lamps_render_at_their_places_in_their_colours()
{
    // The lamp's colour fills exactly the inside of its 2-pixel border.
    const auto check = [&](const char *phase, const std::function<QColor(int)> &colour_of) {
        const QImage image = fx_->form->grab().toImage();
        for (int k = 1; k <= 16; ++k) {
            const int row = k <= 8 ? k : 17 - k;
            const QRect place(k <= 8 ? 96 : 256, 104 + 48 * (row - 1), 89, 41);
            QRect found;
            for (int y = place.top() - 4; y <= place.bottom() + 4; ++y)
                for (int x = place.left() - 4; x <= place.right() + 4; ++x)
                    if (image.pixel(x, y) == colour_of(k).rgb())
                        found |= QRect(x, y, 1, 1);
            QVERIFY2(found == place.adjusted(2, 2, -2, -2),
                qPrintable(QStringLiteral("%1: lamp %2").arg(QLatin1String(phase)).arg(k)));
        }
    };
    check("start", [](int) { return QColor(Qt::yellow); });
    click_port();
    // Inputs 1 and 3 on (elements 16, 14), outputs 2 and 8 on.
    fx_->port.receive(QByteArray::fromHex("22011000050082ba"));
    const QList<int> on { 16, 14, 2, 8 };
    check("reply", [&](int k) { return on.contains(k) ? QColor(Qt::green) : QColor(Qt::red); });
    QCOMPARE(child<QLabel>("Label2(2)")->text(), "  吸合");
    QCOMPARE(child<QLabel>("Label2(3)")->text(), "  断开");
    click_port();
    check("closed", [](int) { return indicator_panel::closed_colour(); });
    // The desktop's grey stands in, unless it is a colour a lamp reads as a state.
    const QPalette desktop = QApplication::palette();
    QPalette green = desktop;
    green.setColor(QPalette::Disabled, QPalette::Text, Qt::green);
    QApplication::setPalette(green);
    QCOMPARE(indicator_panel::closed_colour(), QColor(128, 128, 128));
    QPalette themed = desktop;
    themed.setColor(QPalette::Disabled, QPalette::Text, QColor(90, 95, 100));
    QApplication::setPalette(themed);
    QCOMPARE(indicator_panel::closed_colour(), QColor(90, 95, 100));
    QApplication::setPalette(desktop);
    click_port(); // reopened: unknown until a reply
    check("reopened", [](int) { return QColor(Qt::yellow); });
}

void tst_main_form::title_shows_as_stored_data()
{
    QTest::addColumn<QString>("title");
    QTest::newRow("plain") << "泵房 A";
    QTest::newRow("marker") << "泵房[*]";
    QTest::newRow("marker only") << "[*]";
    QTest::newRow("two markers") << "[*][*]x[*]";
    QTest::newRow("bracket before marker") << "[[*]]";
}

// Whatever the name file holds shows in the title bar, Qt's modified marker
// "[*]" included, on a window marked modified too.
void tst_main_form::title_shows_as_stored()
{
    QFETCH(QString, title);
    fx_->form->set_title(title);
    QCOMPARE(fx_->form->windowHandle()->title(), title);
    fx_->form->setWindowModified(true);
    QCOMPARE(fx_->form->windowHandle()->title(), title);
}

// The tool tip follows the number, by typing and by the spinner.
void tst_main_form::port_tip_says_what_the_number_stands_for()
{
    const QString entry = fx_->dir.filePath("COM3");
    QVERIFY(QFile::link("/dev/null", entry));
    fx_->port.devices[3] = entry;
    fx_->port.devices[5] = fx_->dir.filePath("COM5"); // an entry that is not there
    port_box()->setText("3");
    QCOMPARE(port_box()->toolTip(), "串口 3：/dev/null");
    click_arrow("VScroll2", true);
    QCOMPARE(port_box()->text(), "4");
    QCOMPARE(port_box()->toolTip(), "串口 4：没有对应的设备");
    port_box()->setText("5");
    QCOMPARE(port_box()->toolTip(), "串口 5：没有对应的设备");
    QVERIFY(QFile::link(fx_->dir.filePath("gone"), fx_->port.devices[5]));
    port_box()->setText("3");
    port_box()->setText("5");
    QCOMPARE(
        port_box()->toolTip(), QStringLiteral("串口 5：%1：串口不存在").arg(fx_->port.devices[5]));
}

QTEST_MAIN(tst_main_form)
#include "tst_main_form.moc"
