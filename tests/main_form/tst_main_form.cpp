#include "control/controller.h"
#include "control/indicator_panel.h"
#include "fake_serial_port.h"
#include "names/name_file.h"
#include "names/profile.h"
#include "ui/controls.h"
#include "ui/main_form.h"
#include "ui/name_form.h"
#include "ui/toolkit.h"

#include <QApplication>
#include <QClipboard>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>
#include <functional>
#include <memory>

using namespace orvalin;

namespace {

void click_arrow(spinner *bar, bool up)
{
    QTest::mouseClick(bar->findChild<QScrollBar *>(), Qt::LeftButton, {}, QPoint(12, up ? 3 : 22));
}

// Key presses carrying the text, also characters that no key sends.
void type(QWidget *widget, const QString &text)
{
    for (const QChar c : text) {
        QKeyEvent press(QEvent::KeyPress, 0, Qt::NoModifier, QString(c));
        QApplication::sendEvent(widget, &press);
    }
}

} // namespace

class tst_main_form : public QObject {
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void first_start_shows_its_messages_before_the_window();
    void address_box_and_spinner_stay_in_step();
    void leading_zero_never_sends_a_wrong_address();
    void boxes_hold_only_numbers_0_to_255();
    void port_failures_are_reported_in_chinese();
    void lamps_render_at_their_places_in_their_colours();
    void two_line_captions_show_whole();
    void closing_the_window_closes_the_rename_dialog();

private:
    template <typename T = QWidget> T *child(const QString &name) const
    {
        return form_->findChild<T *>(name);
    }
    QLineEdit *add() const { return child<QLineEdit>("add"); }
    QLineEdit *port_box() const { return child<QLineEdit>("chuankou_num"); }
    spinner *vscroll1() const { return child<spinner>("VScroll1"); }
    QLabel *caption(int k) const { return child<QLabel>(QStringLiteral("Label4(%1)").arg(k)); }
    QPushButton *port_button() const { return child<QPushButton>("open_comm"); }
    void store(const QString &address, const QString &key, const QString &name)
    {
        QVERIFY(write_profile(name_file_path(), channel_section(address), key, name));
    }
    QString tick_and_take_frame()
    {
        form_->findChild<controller *>()->timer1_tick();
        const frame &bytes = port_->written.last();
        return QByteArray(reinterpret_cast<const char *>(bytes.data()), 8).toHex();
    }

    std::unique_ptr<QTemporaryDir> dir_;
    QList<toolkit::message> messages_;
    std::unique_ptr<fake_serial_port> port_;
    std::unique_ptr<main_form> form_;
};

void tst_main_form::init()
{
    // Each test starts the panel for the first time in a program directory of its own.
    dir_ = std::make_unique<QTemporaryDir>();
    toolkit::set_program_directory(dir_->path());
    toolkit::set_message_sink([this](const toolkit::message &m) { messages_ << m; });
    port_ = std::make_unique<fake_serial_port>();
    form_ = std::make_unique<main_form>(*port_);
    form_->show_centred();
    QVERIFY(QTest::qWaitForWindowExposed(form_.get()));
    messages_.clear();
}

void tst_main_form::cleanup()
{
    form_.reset();
    port_.reset();
    toolkit::set_message_sink({});
    toolkit::set_program_directory({});
}

void tst_main_form::first_start_shows_its_messages_before_the_window()
{
    form_.reset();
    QVERIFY(QFile::remove(name_file_path()));
    QList<bool> shown;
    toolkit::set_message_sink([&](const toolkit::message &m) {
        messages_ << m;
        const auto windows = QApplication::topLevelWidgets();
        shown << std::any_of(windows.begin(), windows.end(), std::mem_fn(&QWidget::isVisible));
    });
    form_ = std::make_unique<main_form>(*port_);
    QCOMPARE(messages_.size(), 2);
    QCOMPARE(shown, (QList<bool> { false, false }));
    form_->show_centred();
    QCOMPARE(form_->focusWidget(), port_box());
    for (QWidget *w : form_->findChildren<QWidget *>())
        QVERIFY2(w->isEnabled(), qPrintable(w->objectName()));
    QVERIFY(port_->log.isEmpty()); // no port is opened at start-up
}

void tst_main_form::address_box_and_spinner_stay_in_step()
{
    store("2", "第1路输出名称", "二号机");
    store("25", "第8路输入名称", "二十五号");
    QSignalSpy reloads(form_.get(), &main_form::captions_reloaded);
    click_arrow(vscroll1(), true);
    QCOMPARE(add()->text(), "2");
    QCOMPARE(caption(1)->text(), "二号机");
    click_arrow(vscroll1(), false);
    QCOMPARE(add()->text(), "1");
    QCOMPARE(caption(1)->text(), "输出1");
    QCOMPARE(reloads.size(), 2);

    // No wrap at either end, and no reload without a change.
    add()->setText("255");
    click_arrow(vscroll1(), true);
    add()->setText("0");
    click_arrow(vscroll1(), false);
    QCOMPARE(add()->text(), "0");
    QCOMPARE(reloads.size(), 4);
    // The port spinner reloads nothing.
    click_arrow(child<spinner>("VScroll2"), true);
    QCOMPARE(port_box()->text(), "2");
    QCOMPARE(reloads.size(), 4);

    // Each typed digit reloads once, for the text as it stands.
    reloads.clear();
    add()->selectAll();
    QTest::keyClicks(add(), "25");
    QCOMPARE(vscroll1()->value(), 25);
    QCOMPARE(reloads.size(), 2);
    QCOMPARE(reloads[0][0].toString(), "2");
    QCOMPARE(reloads[1][0].toString(), "25");
    QCOMPARE(caption(9)->text(), "二十五号");
    // Digits typed in front stay in front: the chain leaves the cursor be.
    add()->setText("5");
    add()->home(false);
    QTest::keyClicks(add(), "12");
    QCOMPARE(add()->text(), "125");
}

void tst_main_form::leading_zero_never_sends_a_wrong_address()
{
    port_button()->click();
    // With the spinner already at 2, "02" stays and names its own section.
    add()->setText("2");
    add()->home(false);
    QTest::keyClick(add(), Qt::Key_0);
    QCOMPARE(add()->text(), "02");
    QCOMPARE(caption(1)->text(), QString());
    QCOMPARE(tick_and_take_frame(), "5502100000000067");

    // Otherwise the spinner moves and writes the plain number back.
    add()->selectAll();
    QTest::keyClicks(add(), "03");
    QCOMPARE(add()->text(), "3");
    QCOMPARE(caption(1)->text(), "输出1");
    QCOMPARE(tick_and_take_frame(), "5503100000000068");
}

void tst_main_form::boxes_hold_only_numbers_0_to_255()
{
    const QList<std::pair<const char *, const char *>> typed_shown { { "abc", "1" }, { "-5", "5" },
        { " 7", "7" }, { "2.5", "25" }, { "256", "25" }, { "1000", "100" }, { "２", "1" } };
    for (auto *box : { add(), port_box() }) {
        auto *bar = child<spinner>(box == add() ? "VScroll1" : "VScroll2");
        for (const auto &[typed, shown] : typed_shown) {
            box->setText("1");
            box->selectAll();
            type(box, QString::fromUtf8(typed));
            QVERIFY2(box->text() == QLatin1String(shown), typed);
            QCOMPARE(bar->value(), box->text().toInt());
        }
        // Pasted text is held to the same rule, as a whole.
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

void tst_main_form::port_failures_are_reported_in_chinese()
{
    port_box()->setText("3");
    port_->open_fails = true;
    port_->open_error = "Permission denied";
    port_button()->click();
    QCOMPARE(messages_.size(), 1);
    QCOMPARE(messages_[0].prompt, "无法打开串口 /dev/fake3：Permission denied");
    QCOMPARE(messages_[0].style, 16);

    port_->open_fails = false;
    port_button()->click();
    port_->lose("unplugged");
    QTRY_COMPARE(messages_.size(), 2);
    QCOMPARE(messages_[1].prompt, "串口 /dev/fake3 已断开：unplugged");
    QCOMPARE(port_button()->text(), "打开串口");
}

void tst_main_form::lamps_render_at_their_places_in_their_colours()
{
    // The area in the lamp's colour must be exactly the inside of its
    // 2-pixel border at its place, whatever text lies on it.
    const auto check = [&](const char *phase, const std::function<QColor(int)> &colour_of) {
        const QImage image = form_->grab().toImage();
        for (int k = 1; k <= 16; ++k) {
            const int row = k <= 8 ? k : 17 - k;
            const QRect place(k <= 8 ? 96 : 256, 104 + 48 * (row - 1), 89, 41);
            QRect found;
            for (int y = place.top() - 4; y <= place.bottom() + 4; ++y) {
                for (int x = place.left() - 4; x <= place.right() + 4; ++x) {
                    if (image.pixel(x, y) == colour_of(k).rgb())
                        found |= QRect(x, y, 1, 1);
                }
            }
            QVERIFY2(found == place.adjusted(2, 2, -2, -2),
                qPrintable(QStringLiteral("%1: lamp %2").arg(QLatin1String(phase)).arg(k)));
        }
    };
    check("start", [](int) { return QColor(Qt::yellow); });
    QCOMPARE(child<QLabel>("Label2(9)")->text(), "状态未知");
    port_button()->click();
    // Inputs 1 and 3 on (elements 16, 14), outputs 2 and 8 on.
    port_->receive(QByteArray::fromHex("22011000050082ba"));
    const QList<int> on { 16, 14, 2, 8 };
    check("reply", [&](int k) { return on.contains(k) ? QColor(Qt::green) : QColor(Qt::red); });
    port_button()->click();
    check("closed", [](int) { return indicator_panel::closed_colour(); });
}

void tst_main_form::two_line_captions_show_whole()
{
    // Eight equal ideographs wrap into two equal lines; the second must not be
    // cut at the label's bottom, whatever the face's line height.
    store("1", "第2路输出名称", "国国国国国国国国");
    form_->add_Change();
    const QImage image = caption(2)->grab().toImage();
    QList<int> inked; // rows with ink
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            if (qGray(image.pixel(x, y)) < 100) {
                inked << y;
                break;
            }
        }
    }
    qsizetype gap = 1;
    while (gap < inked.size() && inked[gap] == inked[gap - 1] + 1)
        ++gap;
    QVERIFY2(gap < inked.size(), "only one line of text");
    QCOMPARE(inked.last() - inked[gap], inked[gap - 1] - inked[0]);
    QVERIFY(inked.last() < image.height() - 1);
}

void tst_main_form::closing_the_window_closes_the_rename_dialog()
{
    QTest::mouseClick(caption(2), Qt::LeftButton);
    QVERIFY(form_->findChild<name_form *>()->isVisible());
    form_->close();
    for (QWidget *window : QApplication::topLevelWidgets())
        QVERIFY2(!window->isVisible(), qPrintable(window->objectName()));
}

QTEST_MAIN(tst_main_form)
#include "tst_main_form.moc"
