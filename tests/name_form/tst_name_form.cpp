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

// The offscreen platform cannot raise windows and says so each time the
// dialog is brought to the front; nothing else is filtered.
QtMessageHandler previous_handler = nullptr;
void quiet_about_raise(QtMsgType type, const QMessageLogContext &context, const QString &text)
{
    if (text != QLatin1String("This plugin does not support raise()"))
        previous_handler(type, context, text);
}

QByteArray contents(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

} // namespace

class tst_name_form : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void layout_and_keys();
    void opens_on_the_clicked_channel_data();
    void opens_on_the_clicked_channel();
    void ok_stores_the_name_and_shows_it();
    void one_instance_comes_to_the_front_without_reloading();
    void address_is_fixed_at_the_click();
    void cancel_and_close_store_nothing();
    void load_guard_data();
    void load_guard();
    void missing_file_gives_seventeen_messages_at_ok();
    void refused_write_keeps_the_dialog_open_data();
    void refused_write_keeps_the_dialog_open();

private:
    QLabel *caption(int k) const
    {
        return form_->findChild<QLabel *>(QStringLiteral("Label4(%1)").arg(k));
    }
    name_form *dialog() const { return form_->findChild<name_form *>(); }
    QLineEdit *box() const { return dialog()->findChild<QLineEdit *>(QStringLiteral("mingcheng")); }
    QPushButton *button(const char *name) const
    {
        return dialog()->findChild<QPushButton *>(QLatin1String(name));
    }
    QString name_file() const { return dir_->filePath(QStringLiteral("name.txt")); }
    QString stored(const QString &address, const QString &key) const
    {
        return read_profile(name_file(), channel_section(address), key);
    }
    void click_caption(int k) { QTest::mouseClick(caption(k), Qt::LeftButton); }
    void rename(int k, const QString &name)
    {
        click_caption(k);
        box()->setText(name);
        button("Command_ok")->click();
    }

    QTemporaryDir template_dir_;
    std::unique_ptr<QTemporaryDir> dir_;
    QList<toolkit::message> messages_;
    std::unique_ptr<fake_serial_port> port_;
    std::unique_ptr<main_form> form_;
};

void tst_name_form::initTestCase()
{
    previous_handler = qInstallMessageHandler(quiet_about_raise);
    toolkit::set_message_sink([](const toolkit::message &) {});
    toolkit::set_program_directory(template_dir_.path());
    no_view view;
    ensure_name_file(view);
}

void tst_name_form::init()
{
    dir_ = std::make_unique<QTemporaryDir>();
    QVERIFY(QFile::copy(template_dir_.filePath(QStringLiteral("name.txt")), name_file()));
    toolkit::set_program_directory(dir_->path());
    messages_.clear();
    toolkit::set_message_sink([this](const toolkit::message &m) { messages_ << m; });
    port_ = std::make_unique<fake_serial_port>();
    form_ = std::make_unique<main_form>(*port_);
    form_->show_centred();
    QVERIFY(QTest::qWaitForWindowExposed(form_.get()));
    QVERIFY(!dialog()); // created at the first caption click
}

void tst_name_form::cleanup()
{
    form_.reset();
    port_.reset();
    toolkit::set_message_sink({});
    toolkit::set_program_directory({});
}

void tst_name_form::layout_and_keys()
{
    const QByteArray before = contents(name_file());
    click_caption(1);
    QVERIFY(dialog()->isWindow() && dialog()->isVisible());
    QCOMPARE(dialog()->windowTitle(), QStringLiteral("更改名称"));
    QCOMPARE(dialog()->size(), QSize(316, 126));
    QCOMPARE(box()->geometry(), QRect(64, 24, 209, 41));
    QCOMPARE(box()->font().pixelSize(), 32);
    QCOMPARE(button("Command_ok")->geometry(), QRect(80, 88, 65, 25));
    QCOMPARE(button("Command_ok")->text(), QStringLiteral("确 定"));
    QCOMPARE(button("Command_cansel")->geometry(), QRect(176, 88, 65, 25));
    QCOMPARE(button("Command_cansel")->text(), QStringLiteral("取 消"));
    QCOMPARE(dialog()->focusWidget(), box());

    // Neither Enter nor Escape does anything.
    box()->setText(QStringLiteral("键盘"));
    for (const auto key : { Qt::Key_Return, Qt::Key_Enter, Qt::Key_Escape }) {
        QTest::keyClick(box(), key);
        QTest::keyClick(dialog(), key);
    }
    QVERIFY(dialog()->isVisible());
    QCOMPARE(contents(name_file()), before);

    // Resizable, with the controls staying in place.
    dialog()->resize(500, 300);
    QCOMPARE(dialog()->size(), QSize(500, 300));
    QCOMPARE(box()->geometry(), QRect(64, 24, 209, 41));
    QCOMPARE(button("Command_cansel")->geometry(), QRect(176, 88, 65, 25));
}

void tst_name_form::opens_on_the_clicked_channel_data()
{
    QTest::addColumn<int>("element");
    QTest::addColumn<QString>("group");
    QTest::addColumn<QString>("channel");
    QTest::newRow("element 3 is output 3") << 3 << "输出"
                                           << "3";
    QTest::newRow("element 8 is output 8") << 8 << "输出"
                                           << "8";
    QTest::newRow("element 9 is input 8") << 9 << "输入"
                                          << "8";
    QTest::newRow("element 12 is input 5") << 12 << "输入"
                                           << "5";
    QTest::newRow("element 16 is input 1") << 16 << "输入"
                                           << "1";
}

void tst_name_form::opens_on_the_clicked_channel()
{
    QFETCH(int, element);
    QFETCH(QString, group);
    QFETCH(QString, channel);
    click_caption(element);
    QCOMPARE(dialog()->add, QStringLiteral("1"));
    QCOMPARE(dialog()->in_or_out, group);
    QCOMPARE(dialog()->xianlu, channel);
    QCOMPARE(box()->text(), group + channel);
}

void tst_name_form::ok_stores_the_name_and_shows_it()
{
    rename(3, QStringLiteral("主泵"));
    QVERIFY(!dialog()->isVisible());
    QCOMPARE(stored("1", QStringLiteral("第3路输出名称")), QStringLiteral("主泵"));
    QCOMPARE(caption(3)->text(), QStringLiteral("主泵"));

    rename(14, QStringLiteral("液位"));
    QCOMPARE(stored("1", QStringLiteral("第3路输入名称")), QStringLiteral("液位"));
    QCOMPARE(caption(14)->text(), QStringLiteral("液位"));

    // An empty name is stored as an empty value, not by removing the key:
    // only "输出7" (5 bytes in GBK) leaves the file.
    const qsizetype size = contents(name_file()).size();
    rename(7, QString());
    QCOMPARE(caption(7)->text(), QString());
    QCOMPARE(contents(name_file()).size(), size - 5);
    QVERIFY(messages_.isEmpty());
}

void tst_name_form::one_instance_comes_to_the_front_without_reloading()
{
    click_caption(3);
    name_form *first = dialog();
    box()->setText(QStringLiteral("排风"));
    click_caption(12);
    QCOMPARE(form_->findChildren<name_form *>().size(), 1);
    QCOMPARE(box()->text(), QStringLiteral("排风"));
    QCOMPARE(dialog()->in_or_out, QStringLiteral("输入"));
    QCOMPARE(dialog()->xianlu, QStringLiteral("5"));

    button("Command_ok")->click();
    QCOMPARE(stored("1", QStringLiteral("第5路输入名称")), QStringLiteral("排风"));
    QCOMPARE(stored("1", QStringLiteral("第3路输出名称")), QStringLiteral("输出3"));
    QCOMPARE(caption(12)->text(), QStringLiteral("排风"));

    // Closed, the same object loads afresh at the next click.
    click_caption(3);
    QCOMPARE(dialog(), first);
    QCOMPARE(box()->text(), QStringLiteral("输出3"));
}

void tst_name_form::address_is_fixed_at_the_click()
{
    click_caption(3);
    auto *bar = form_->findChild<spinner *>(QStringLiteral("VScroll1"))->findChild<QScrollBar *>();
    QTest::mouseClick(bar, Qt::LeftButton, {}, QPoint(12, 3));
    QCOMPARE(form_->address_text(), QStringLiteral("2"));

    box()->setText(QStringLiteral("旧地址"));
    button("Command_ok")->click();
    QCOMPARE(stored("1", QStringLiteral("第3路输出名称")), QStringLiteral("旧地址"));
    QCOMPARE(stored("2", QStringLiteral("第3路输出名称")), QStringLiteral("输出3"));
    QCOMPARE(caption(3)->text(), QStringLiteral("输出3"));
}

void tst_name_form::cancel_and_close_store_nothing()
{
    const QByteArray before = contents(name_file());
    QSignalSpy reloads(form_.get(), &main_form::captions_reloaded);
    for (const bool by_button : { true, false }) {
        click_caption(5);
        box()->setText(QStringLiteral("不要"));
        if (by_button)
            button("Command_cansel")->click();
        else
            dialog()->close(); // the title-bar close button
        QVERIFY(!dialog()->isVisible());
    }
    QCOMPARE(reloads.size(), 0);
    QCOMPARE(contents(name_file()), before);
}

void tst_name_form::load_guard_data()
{
    QTest::addColumn<QString>("add");
    QTest::addColumn<QString>("xianlu");
    QTest::addColumn<QString>("in_or_out");
    QTest::addColumn<QString>("shown");
    QTest::newRow("address 255 reads") << "255"
                                       << "3"
                                       << "输出"
                                       << "输出3";
    QTest::newRow("address 256") << "256"
                                 << "3"
                                 << "输出"
                                 << "Text1";
    QTest::newRow("address not a number") << ""
                                          << "3"
                                          << "输出"
                                          << "Text1";
    QTest::newRow("no lower bound on the address") << "-1"
                                                   << "3"
                                                   << "输出"
                                                   << "";
    QTest::newRow("channel 0") << "1"
                               << "0"
                               << "输入"
                               << "Text1";
    QTest::newRow("channel 17") << "1"
                                << "17"
                                << "输入"
                                << "Text1";
    QTest::newRow("channel 16 passes") << "1"
                                       << "16"
                                       << "输入"
                                       << "";
    QTest::newRow("other group") << "1"
                                 << "3"
                                 << "输出 "
                                 << "Text1";
}

void tst_name_form::load_guard()
{
    QFETCH(QString, add);
    QFETCH(QString, xianlu);
    QFETCH(QString, in_or_out);
    QFETCH(QString, shown);
    // Text left from an earlier opening must not survive a load.
    click_caption(1);
    box()->setText(QStringLiteral("上次"));
    button("Command_cansel")->click();

    dialog()->add = add;
    dialog()->xianlu = xianlu;
    dialog()->in_or_out = in_or_out;
    dialog()->show_modeless();
    QCOMPARE(box()->text(), shown);
    QVERIFY(messages_.isEmpty());
}

void tst_name_form::missing_file_gives_seventeen_messages_at_ok()
{
    QVERIFY(QFile::remove(name_file()));
    click_caption(4);
    QCOMPARE(messages_.size(), 1);
    QCOMPARE(box()->text(), QString());

    messages_.clear();
    box()->setText(QStringLiteral("无处"));
    button("Command_ok")->click();
    QCOMPARE(messages_.size(), 17);
    for (const auto &m : std::as_const(messages_)) {
        QCOMPARE(m.title, QStringLiteral("File Not Found"));
        QCOMPARE(m.prompt, name_file_path() + QStringLiteral(" not found."));
    }
    QVERIFY(!dialog()->isVisible());
    QVERIFY(!QFile::exists(name_file()));
    QCOMPARE(caption(4)->text(), QString());
}

void tst_name_form::refused_write_keeps_the_dialog_open_data()
{
    QTest::addColumn<bool>("line_break");
    QTest::newRow("line break pasted") << true;
    QTest::newRow("file not writable") << false;
}

void tst_name_form::refused_write_keeps_the_dialog_open()
{
    QFETCH(bool, line_break);
    click_caption(6);
    box()->selectAll();
    if (line_break) {
        // A one-line box still takes line breaks from the clipboard.
        QApplication::clipboard()->setText(QStringLiteral("上层\n下层"));
        box()->paste();
        QVERIFY(box()->text().contains(u'\n'));
    } else {
        box()->setText(QStringLiteral("只读"));
        // Read-only stops ordinary users; for root, a name file that leads
        // into /proc cannot be replaced either.
        QVERIFY(QFile(name_file()).setPermissions(QFile::ReadOwner));
        if (QFile probe(name_file()); probe.open(QIODevice::ReadWrite)) {
            probe.close();
            if (!QFile::exists(QStringLiteral("/proc/version")))
                QSKIP("no way to make the name file unwritable here");
            QVERIFY(QFile::remove(name_file()));
            QVERIFY(QFile::link(QStringLiteral("/proc/version"), name_file()));
        }
    }
    const QString typed = box()->text();
    const QByteArray before = contents(name_file());
    QSignalSpy reloads(form_.get(), &main_form::captions_reloaded);
    button("Command_ok")->click();

    QCOMPARE(messages_.size(), 1);
    QVERIFY(messages_[0].prompt.contains(QStringLiteral("名称没有保存")));
    QVERIFY(dialog()->isVisible());
    QCOMPARE(box()->text(), typed);
    QCOMPARE(contents(name_file()), before);
    QCOMPARE(reloads.size(), 0);
}

QTEST_MAIN(tst_name_form)
#include "tst_name_form.moc"
