#include "names/name_file.h"
#include "names/profile.h"
#include "panel_fixture.h"
#include "ui/controls.h"
#include "ui/name_form.h"

#include <QApplication>
#include <QClipboard>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QSignalSpy>
#include <QStringEncoder>
#include <QTest>

using namespace orvalin;

class tst_name_form : public QObject {
    Q_OBJECT

private slots:
    void init() { fx_ = std::make_unique<panel_fixture>(); }
    void cleanup() { fx_.reset(); }

    void opens_on_the_clicked_channel_and_ok_stores();
    void one_instance_comes_to_the_front_without_reloading();
    void address_is_fixed_at_the_click();
    void load_guard_data();
    void load_guard();
    void refused_write_keeps_the_dialog_open();
    void refused_write_names_the_reason_data();
    void refused_write_names_the_reason();

private:
    QLabel *caption(int k) const
    {
        return fx_->form->findChild<QLabel *>(QStringLiteral("Label4(%1)").arg(k));
    }
    name_form *dialog() const { return fx_->form->findChild<name_form *>(); }
    QLineEdit *box() const { return dialog()->findChild<QLineEdit *>("mingcheng"); }
    QPushButton *button(const char *name) const { return dialog()->findChild<QPushButton *>(name); }
    void click_caption(int k) { QTest::mouseClick(caption(k), Qt::LeftButton); }
    void rename(int k, const QString &name)
    {
        click_caption(k);
        box()->setText(name);
        button("Command_ok")->click();
    }
    static QString stored(const QString &address, const QString &key)
    {
        return read_profile(name_file_path(), channel_section(address), key);
    }
    static QByteArray file_bytes()
    {
        QFile file(name_file_path());
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }

    std::unique_ptr<panel_fixture> fx_;
};

void tst_name_form::opens_on_the_clicked_channel_and_ok_stores()
{
    const QList<std::pair<int, const char *>> element_name { { 3, "输出3" }, { 9, "输入8" },
        { 16, "输入1" } };
    for (const auto &[element, name] : element_name) {
        click_caption(element);
        QVERIFY(dialog()->isWindow() && dialog()->isVisible());
        QCOMPARE(box()->text(), QString::fromUtf8(name));
        button("Command_cansel")->click();
    }
    rename(14, "液位");
    QVERIFY(!dialog()->isVisible());
    QCOMPARE(stored("1", "第3路输入名称"), "液位");
    QCOMPARE(caption(14)->text(), "液位");
    rename(7, QString()); // an empty name is a name too
    QCOMPARE(stored("1", "第7路输出名称"), QString());
    QCOMPARE(caption(7)->text(), QString());
    QVERIFY(fx_->messages.isEmpty());
}

void tst_name_form::one_instance_comes_to_the_front_without_reloading()
{
    click_caption(3);
    name_form *first = dialog();
    box()->setText("排风");
    click_caption(12);
    QCOMPARE(fx_->form->findChildren<name_form *>().size(), 1);
    QCOMPARE(box()->text(), "排风");
    // OK stores the kept text under the channel of the latest click.
    button("Command_ok")->click();
    QCOMPARE(stored("1", "第5路输入名称"), "排风");
    QCOMPARE(stored("1", "第3路输出名称"), "输出3");
    QCOMPARE(caption(12)->text(), "排风");
    // Closed, the same object loads afresh at the next click.
    click_caption(3);
    QCOMPARE(dialog(), first);
    QCOMPARE(box()->text(), "输出3");
}

void tst_name_form::address_is_fixed_at_the_click()
{
    click_caption(3);
    auto *bar = fx_->form->findChild<spinner *>("VScroll1")->findChild<QScrollBar *>();
    QTest::mouseClick(bar, Qt::LeftButton, {}, QPoint(12, 3));
    QCOMPARE(fx_->form->address_text(), "2");
    box()->setText("旧地址");
    button("Command_ok")->click();
    QCOMPARE(stored("1", "第3路输出名称"), "旧地址");
    QCOMPARE(stored("2", "第3路输出名称"), "输出3");
    QCOMPARE(caption(3)->text(), "输出3");
}

void tst_name_form::load_guard_data()
{
    QTest::addColumn<QString>("add");
    QTest::addColumn<QString>("xianlu");
    QTest::addColumn<QString>("in_or_out");
    QTest::addColumn<QString>("shown"); // "Text1": nothing was read
    // clang-format off
    QTest::newRow("address 255 reads") << "255" << "3" << "输出" << "输出3";
    QTest::newRow("address 256") << "256" << "3" << "输出" << "Text1";
    QTest::newRow("other group") << "1" << "3" << "输出 " << "Text1";
    // clang-format on
}

void tst_name_form::load_guard()
{
    // Text left from an earlier opening must not survive a load.
    rename(1, "上次");
    QFETCH(QString, add);
    QFETCH(QString, xianlu);
    QFETCH(QString, in_or_out);
    dialog()->add = add;
    dialog()->xianlu = xianlu;
    dialog()->in_or_out = in_or_out;
    dialog()->show_modeless();
    QTEST(box()->text(), "shown");
    QVERIFY(fx_->messages.isEmpty());
}

void tst_name_form::refused_write_keeps_the_dialog_open()
{
    // Line breaks pasted into the box are refused by the name file; the typed
    // name must not vanish with the dialog.
    click_caption(6);
    box()->selectAll();
    QApplication::clipboard()->setText("上层\n下层");
    box()->paste();
    const QByteArray before = file_bytes();
    QSignalSpy reloads(fx_->form.get(), &main_form::captions_reloaded);
    button("Command_ok")->click();
    QCOMPARE(fx_->messages.size(), 1);
    QVERIFY(fx_->messages[0].prompt.contains("名称没有保存"));
    QVERIFY(dialog()->isVisible());
    QCOMPARE(box()->text(), "上层\n下层");
    QCOMPARE(file_bytes(), before);
    QCOMPARE(reloads.size(), 0);
}

void tst_name_form::refused_write_names_the_reason_data()
{
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<QString>("reason");
    const QByteArray utf16
        = QStringEncoder(QStringConverter::Utf16LE).encode(u"[地址码0]\r\n第6路输出名称=旧\r\n");
    // An odd byte at the end would be lost by a rewrite.
    QTest::newRow("damaged UTF-16") << QByteArray("\xFF\xFE" + utf16 + 'x') << "UTF-16 文本已损坏";
    // Zero bytes in both lanes: neither UTF-16 nor GB18030 text.
    QByteArray unclear = utf16;
    for (qsizetype i = 0; i + 1 < unclear.size(); i += 4)
        std::swap(unclear[i], unclear[i + 1]);
    QTest::newRow("encoding unknown") << unclear << "无法判断文本编码";
}

// A file the names layer will not rewrite: the panel says why in its own
// words, and the typed name stays for another try.
void tst_name_form::refused_write_names_the_reason()
{
    QFETCH(QByteArray, file);
    QFETCH(QString, reason);
    QFile out(name_file_path());
    QVERIFY(out.open(QIODevice::WriteOnly | QIODevice::Truncate) && out.write(file) == file.size());
    out.close();
    fx_->messages.clear();
    rename(6, "新名");
    QCOMPARE(fx_->messages.size(), 1);
    QCOMPARE(fx_->messages[0].prompt,
        QStringLiteral("无法写入名称文件 %1（%2）。名称没有保存。").arg(name_file_path(), reason));
    QVERIFY(dialog()->isVisible());
    QCOMPARE(box()->text(), "新名");
    QCOMPARE(file_bytes(), file);
}

QTEST_MAIN(tst_name_form)
#include "tst_name_form.moc"
