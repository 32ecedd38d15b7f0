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

#include <memory>

using namespace orvalin;

namespace {

struct no_view final : name_view {
    void set_title(const QString &) override { }
    void set_caption(int, const QString &) override { }
};

QString hex(const frame &bytes)
{
    return QString::fromLatin1(QByteArray(reinterpret_cast<const char *>(bytes.data()), 8).toHex());
}

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

void leave(QWidget *box)
{
    QFocusEvent out(QEvent::FocusOut, Qt::TabFocusReason);
    QApplication::sendEvent(box, &out);
}

} // namespace

class tst_main_form : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void first_start_shows_both_messages_before_the_window();
    void start_up_state();
    void texts_fit_their_controls();
    void two_line_captions_show_whole();
    void focus_order();
    void spinner_arrows_reload_captions_once();
    void typing_an_address_reloads_for_each_change();
    void leading_zero_never_sends_a_wrong_address();
    void boxes_refuse_bad_text();
    void empty_boxes_send_and_open_nothing_until_restored();
    void failed_open_is_reported_in_chinese();
    void lamps_render_at_their_places_in_their_colours();
    void closing_the_window_closes_the_rename_dialog();

private:
    template <typename T> T *child(const QString &name) const
    {
        auto *found = form_->findChild<T *>(name);
        if (!found)
            qFatal("no control %s", qPrintable(name));
        return found;
    }
    QLineEdit *add() const { return child<QLineEdit>(QStringLiteral("add")); }
    QLineEdit *port_box() const { return child<QLineEdit>(QStringLiteral("chuankou_num")); }
    spinner *vscroll1() const { return child<spinner>(QStringLiteral("VScroll1")); }
    spinner *vscroll2() const { return child<spinner>(QStringLiteral("VScroll2")); }
    QLabel *caption(int k) const { return child<QLabel>(QStringLiteral("Label4(%1)").arg(k)); }
    QLabel *state_text(int k) const { return child<QLabel>(QStringLiteral("Label2(%1)").arg(k)); }
    lamp *picture(int k) const { return child<lamp>(QStringLiteral("Picture1(%1)").arg(k)); }
    QPushButton *button(const char *name) const { return child<QPushButton>(QLatin1String(name)); }
    controller *poll() const { return form_->findChild<controller *>(); }
    QString name_file() const { return dir_->filePath(QStringLiteral("name.txt")); }
    void store(const QString &address, const QString &key, const QString &name)
    {
        QVERIFY(write_profile(name_file(), channel_section(address), key, name));
    }
    void start();

    QTemporaryDir template_dir_;
    std::unique_ptr<QTemporaryDir> dir_;
    QList<toolkit::message> messages_;
    std::unique_ptr<fake_serial_port> port_;
    std::unique_ptr<main_form> form_;
};

void tst_main_form::initTestCase()
{
    // One complete name file, copied for each test.
    toolkit::set_message_sink([](const toolkit::message &) {});
    toolkit::set_program_directory(template_dir_.path());
    no_view view;
    ensure_name_file(view);
}

void tst_main_form::init()
{
    dir_ = std::make_unique<QTemporaryDir>();
    QVERIFY(QFile::copy(template_dir_.filePath(QStringLiteral("name.txt")), name_file()));
    toolkit::set_program_directory(dir_->path());
    messages_.clear();
    toolkit::set_message_sink([this](const toolkit::message &m) { messages_ << m; });
    port_ = std::make_unique<fake_serial_port>();
}

void tst_main_form::cleanup()
{
    form_.reset();
    port_.reset();
    toolkit::set_message_sink({});
    toolkit::set_program_directory({});
}

void tst_main_form::start()
{
    form_ = std::make_unique<main_form>(*port_);
    form_->show_centred();
    QVERIFY(QTest::qWaitForWindowExposed(form_.get()));
}

void tst_main_form::first_start_shows_both_messages_before_the_window()
{
    QFile::remove(name_file());
    QList<bool> shown;
    toolkit::set_message_sink([&](const toolkit::message &m) {
        messages_ << m;
        bool visible = false;
        for (QWidget *w : QApplication::topLevelWidgets())
            visible = visible || w->isVisible();
        shown << visible;
    });
    start();

    QCOMPARE(messages_.size(), 2);
    QCOMPARE(messages_[0].title, QStringLiteral("File Not Found"));
    QCOMPARE(messages_[0].prompt, name_file_path() + QStringLiteral(" not found."));
    QCOMPARE(messages_[0].style, 16);
    QCOMPARE(messages_[1].prompt, QStringLiteral("名称文件被创建。"));
    QCOMPARE(messages_[1].style, 0);
    QCOMPARE(shown, (QList<bool> { false, false }));
    QCOMPARE(form_->windowTitle(), QStringLiteral("Orvalin"));
    for (int k = 1; k <= 8; ++k) {
        QCOMPARE(caption(k)->text(), QStringLiteral("输出%1").arg(k));
        QCOMPARE(caption(17 - k)->text(), QStringLiteral("输入%1").arg(k));
    }
}

void tst_main_form::start_up_state()
{
    QVERIFY(write_profile(name_file(), QStringLiteral("软件属性"), QStringLiteral("名称"),
        QStringLiteral("一号泵房")));
    store("1", QStringLiteral("第3路输入名称"), QStringLiteral("进水阀"));
    store("1", QStringLiteral("第3路输出名称"), QStringLiteral("主泵"));
    start();

    QVERIFY(messages_.isEmpty());
    QCOMPARE(form_->windowTitle(), QStringLiteral("一号泵房"));
    QCOMPARE(caption(14)->text(), QStringLiteral("进水阀"));
    QCOMPARE(caption(3)->text(), QStringLiteral("主泵"));
    QCOMPARE(form_->size(), QSize(448, 531));
    QCOMPARE(form_->minimumSize(), form_->maximumSize());
    QVERIFY(!form_->windowIcon().pixmap(32, 32).isNull());
    const QPoint off_centre
        = form_->frameGeometry().center() - form_->screen()->availableGeometry().center();
    QVERIFY(off_centre.manhattanLength() <= 8);

    const QList<std::pair<const char *, QRect>> places {
        { "Label3", { 8, 8, 89, 25 } },
        { "chuankou_num", { 112, 8, 41, 25 } },
        { "VScroll2", { 152, 8, 25, 25 } },
        { "open_comm", { 256, 8, 97, 25 } },
        { "Label5", { 8, 56, 89, 25 } },
        { "add", { 112, 56, 46, 25 } },
        { "VScroll1", { 154, 56, 25, 25 } },
        { "openall", { 112, 496, 97, 25 } },
        { "closeall", { 240, 496, 97, 25 } },
        { "Label4(1)", { 8, 112, 89, 41 } },
        { "Label4(8)", { 8, 448, 89, 41 } },
        { "Label4(9)", { 352, 448, 89, 41 } },
        { "Label4(16)", { 352, 112, 89, 41 } },
        { "Label2(9)", { 2, 10, 81, 25 } },
    };
    for (const auto &[name, rect] : places)
        QVERIFY2(child<QWidget>(QLatin1String(name))->geometry() == rect, name);

    QCOMPARE(child<QLabel>(QStringLiteral("Label3"))->text(), QStringLiteral("串口号"));
    QCOMPARE(child<QLabel>(QStringLiteral("Label5"))->text(), QStringLiteral("模块地址"));
    QCOMPARE(button("open_comm")->text(), QStringLiteral("打开串口"));
    QCOMPARE(button("openall")->text(), QStringLiteral("吸合所有"));
    QCOMPARE(button("closeall")->text(), QStringLiteral("断开所有"));
    QCOMPARE(add()->text(), QStringLiteral("1"));
    QCOMPARE(port_box()->text(), QStringLiteral("1"));
    QCOMPARE(vscroll1()->value(), 1);
    QCOMPARE(vscroll2()->value(), 1);
    for (QWidget *w : form_->findChildren<QWidget *>())
        QVERIFY2(w->isEnabled(), qPrintable(w->objectName()));
    for (int k = 1; k <= 16; ++k) {
        QCOMPARE(picture(k)->colour(), QColor(255, 255, 0));
        QCOMPARE(state_text(k)->text(), QStringLiteral("状态未知"));
    }
    QCOMPARE(form_->focusWidget(), port_box());
    QVERIFY(!port_->log.contains(QStringLiteral("PortOpen=true")));
}

void tst_main_form::texts_fit_their_controls()
{
    // Measured in the face actually chosen, which may be a fallback wider
    // than 宋体.
    start();
    const auto fits = [](QWidget *widget, const QString &text, int room) {
        const QRect ink = QFontMetrics(widget->font()).tightBoundingRect(text);
        return ink.width() <= room && ink.height() <= widget->height();
    };
    for (const char *name : { "Label3", "Label5" }) {
        auto *label = child<QLabel>(QLatin1String(name));
        QVERIFY2(fits(label, label->text(), label->width()), name);
    }
    for (const char *name : { "open_comm", "openall", "closeall" }) {
        for (const QString &text : { button(name)->text(), QStringLiteral("关闭串口") })
            QVERIFY2(fits(button(name), text, button(name)->width() - 8), name);
    }
    for (const char *text : { "状态未知", "  吸合", "  断开" })
        QVERIFY2(fits(state_text(1), QString::fromUtf8(text), state_text(1)->width()), text);
    QVERIFY(fits(caption(9), QStringLiteral("第十六路"), caption(9)->width()));
    QVERIFY(fits(port_box(), QStringLiteral("255"), port_box()->width() - 6));
}

void tst_main_form::two_line_captions_show_whole()
{
    // Eight equal ideographs wrap into two equal lines; the second must not
    // be cut at the label's bottom, whatever the face's line height.
    store("1", QStringLiteral("第2路输出名称"), QStringLiteral("国国国国国国国国"));
    start();
    const QImage image = caption(2)->grab().toImage();
    QList<int> inked;
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

void tst_main_form::focus_order()
{
    start();
    QVERIFY(QTest::qWaitForWindowActive(form_.get()));
    QStringList order;
    for (int i = 0; i < 24; ++i) {
        QWidget *focused = QApplication::focusWidget();
        QVERIFY(focused);
        if (auto *bar = qobject_cast<spinner *>(focused->parentWidget()))
            focused = bar;
        order << focused->objectName();
        QTest::keyClick(focused, Qt::Key_Tab);
    }
    QStringList expected { "chuankou_num", "open_comm", "add", "openall", "closeall", "VScroll1",
        "VScroll2" };
    for (int k = 1; k <= 16; ++k)
        expected << QStringLiteral("Picture1(%1)").arg(k);
    expected << "chuankou_num";
    QCOMPARE(order, expected);
}

void tst_main_form::spinner_arrows_reload_captions_once()
{
    store("2", QStringLiteral("第1路输出名称"), QStringLiteral("二号机"));
    start();
    QSignalSpy reloads(form_.get(), &main_form::captions_reloaded);

    click_arrow(vscroll1(), true);
    QCOMPARE(add()->text(), QStringLiteral("2"));
    QCOMPARE(vscroll1()->value(), 2);
    QCOMPARE(reloads.size(), 1);
    QCOMPARE(caption(1)->text(), QStringLiteral("二号机"));
    click_arrow(vscroll1(), false);
    QCOMPARE(add()->text(), QStringLiteral("1"));
    QCOMPARE(reloads.size(), 2);
    QCOMPARE(caption(1)->text(), QStringLiteral("输出1"));

    // No wrap at either end, and no reload without a change.
    add()->setText(QStringLiteral("255"));
    reloads.clear();
    click_arrow(vscroll1(), true);
    add()->setText(QStringLiteral("0"));
    click_arrow(vscroll1(), false);
    QCOMPARE(add()->text(), QStringLiteral("0"));
    QCOMPARE(reloads.size(), 1);

    click_arrow(vscroll2(), true);
    QCOMPARE(port_box()->text(), QStringLiteral("2"));
    QCOMPARE(reloads.size(), 1);
}

void tst_main_form::typing_an_address_reloads_for_each_change()
{
    store("25", QStringLiteral("第8路输入名称"), QStringLiteral("二十五号"));
    start();
    QSignalSpy reloads(form_.get(), &main_form::captions_reloaded);
    add()->selectAll();
    QTest::keyClicks(add(), QStringLiteral("25"));
    QCOMPARE(vscroll1()->value(), 25);
    QCOMPARE(reloads.size(), 2);
    QCOMPARE(reloads[0][0].toString(), QStringLiteral("2"));
    QCOMPARE(reloads[1][0].toString(), QStringLiteral("25"));
    QCOMPARE(caption(9)->text(), QStringLiteral("二十五号"));

    // Digits typed in front stay in front: the chain leaves the cursor be.
    add()->setText(QStringLiteral("5"));
    add()->home(false);
    QTest::keyClicks(add(), QStringLiteral("12"));
    QCOMPARE(add()->text(), QStringLiteral("125"));
}

void tst_main_form::leading_zero_never_sends_a_wrong_address()
{
    start();
    button("open_comm")->click();
    // With the spinner already at 2, "02" stays and names its own section.
    add()->setText(QStringLiteral("2"));
    add()->home(false);
    QTest::keyClick(add(), Qt::Key_0);
    QCOMPARE(add()->text(), QStringLiteral("02"));
    QCOMPARE(caption(1)->text(), QString());
    poll()->timer1_tick();
    QCOMPARE(hex(port_->written.last()), QStringLiteral("5502100000000067"));

    // Otherwise the spinner moves and writes the plain number back.
    add()->selectAll();
    QTest::keyClicks(add(), QStringLiteral("03"));
    QCOMPARE(add()->text(), QStringLiteral("3"));
    QCOMPARE(caption(1)->text(), QStringLiteral("输出1"));
    poll()->timer1_tick();
    QCOMPARE(hex(port_->written.last()), QStringLiteral("5503100000000068"));
}

void tst_main_form::boxes_refuse_bad_text()
{
    const QList<std::pair<const char *, const char *>> cases {
        { "abc", "1" },
        { "-5", "5" },
        { " 7", "7" },
        { "2.5", "25" },
        { "256", "25" },
        { "300", "30" },
        { "1000", "100" },
        { "２", "1" },
    };
    start();
    for (auto *box : { add(), port_box() }) {
        auto *bar = box == add() ? vscroll1() : vscroll2();
        for (const auto &[typed, shown] : cases) {
            box->setText(QStringLiteral("1"));
            box->selectAll();
            type(box, QString::fromUtf8(typed));
            QVERIFY2(box->text() == QLatin1String(shown), typed);
            QCOMPARE(bar->value(), box->text().toInt());
        }
        // Pasted text is held to the same rule, as a whole.
        box->selectAll();
        QApplication::clipboard()->setText(QStringLiteral("12x"));
        box->paste();
        QCOMPARE(box->text(), QStringLiteral("1"));
    }
}

void tst_main_form::empty_boxes_send_and_open_nothing_until_restored()
{
    start();
    port_box()->setText(QStringLiteral("4"));
    port_box()->selectAll();
    QTest::keyClick(port_box(), Qt::Key_Backspace);
    button("open_comm")->click();
    QVERIFY(!port_->opened);
    QCOMPARE(messages_.size(), 1);
    leave(port_box());
    QCOMPARE(port_box()->text(), QStringLiteral("4"));
    button("open_comm")->click();
    QCOMPARE(port_->number, 4);

    add()->setText(QStringLiteral("5"));
    add()->selectAll();
    QTest::keyClick(add(), Qt::Key_Backspace);
    QCOMPARE(vscroll1()->value(), 5);
    const qsizetype sent = port_->written.size();
    poll()->timer1_tick();
    QCOMPARE(port_->written.size(), sent);
    leave(add());
    QCOMPARE(add()->text(), QStringLiteral("5"));
    QCOMPARE(caption(1)->text(), QStringLiteral("输出1"));
    poll()->timer1_tick();
    QCOMPARE(hex(port_->written.last()), QStringLiteral("550510000000006a"));
}

void tst_main_form::failed_open_is_reported_in_chinese()
{
    start();
    port_box()->setText(QStringLiteral("3"));
    port_->open_fails = true;
    port_->open_error = QStringLiteral("Permission denied");
    button("open_comm")->click();
    QCOMPARE(messages_.size(), 1);
    QCOMPARE(messages_[0].prompt, QStringLiteral("无法打开串口 /dev/fake3：Permission denied"));
    QCOMPARE(messages_[0].style, 16);
    QCOMPARE(button("open_comm")->text(), QStringLiteral("打开串口"));
    QVERIFY(port_box()->isEnabled());
}

void tst_main_form::lamps_render_at_their_places_in_their_colours()
{
    start();
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
    check("start", [](int) { return QColor(255, 255, 0); });

    button("open_comm")->click();
    // Inputs 1 and 3 on (elements 16, 14), outputs 2 and 8 on.
    port_->receive(QByteArray::fromHex("22011000050082ba"));
    const QList<int> on { 16, 14, 2, 8 };
    check("reply", [&](int k) { return on.contains(k) ? QColor(0, 255, 0) : QColor(255, 0, 0); });

    button("open_comm")->click();
    check("closed", [](int) { return indicator_panel::closed_colour(); });
}

void tst_main_form::closing_the_window_closes_the_rename_dialog()
{
    start();
    QTest::mouseClick(caption(2), Qt::LeftButton);
    QVERIFY(form_->findChild<name_form *>()->isVisible());
    form_->close();
    for (QWidget *window : QApplication::topLevelWidgets())
        QVERIFY2(!window->isVisible(), qPrintable(window->objectName()));
}

QTEST_MAIN(tst_main_form)
#include "tst_main_form.moc"
