#include "names/name_file.h"
#include "names/profile.h"
#include "ui/toolkit.h"

#include <QDir>
#include <QFile>
#include <QStringEncoder>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>
#include <array>
#include <functional>

using namespace orvalin;
using namespace Qt::StringLiterals;

namespace {

QByteArray gb(const QString &text)
{
    QStringEncoder encoder("GB18030");
    return encoder.encode(text);
}

class recording_view final : public name_view {
public:
    QStringList titles;
    std::array<QString, 17> captions; // index 1..16
    QList<int> order;

    void set_title(const QString &title) override { titles.append(title); }
    void set_caption(int element, const QString &caption) override
    {
        order.append(element);
        captions.at(element) = caption;
    }
    bool all_empty() const
    {
        return std::all_of(captions.begin(), captions.end(), std::mem_fn(&QString::isEmpty));
    }
    bool shows_defaults() const
    {
        for (int k = 1; k <= 8; ++k)
            if (captions.at(k) != u"输出%1"_s.arg(k) || captions.at(17 - k) != u"输入%1"_s.arg(k))
                return false;
        return true;
    }
};

const QString created = u"名称文件被创建。"_s;

} // namespace

class tst_name_file : public QObject {
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void first_start_creates_defaults();
    void title_from_existing_file_data();
    void title_from_existing_file();
    void rebuild_keeps_other_sections_data();
    void rebuild_keeps_other_sections();
    void load_names_maps_channels();
    void every_read_looks_for_the_file();

private:
    QByteArray contents() const
    {
        QFile file(name_file_path());
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }
    void put(const QByteArray &bytes)
    {
        QFile file(name_file_path());
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size());
    }
    QStringList prompts() const
    {
        QStringList result;
        for (const auto &m : messages_)
            result.append(m.prompt);
        return result;
    }

    QTemporaryDir dir_;
    QList<toolkit::message> messages_;
};

void tst_name_file::init()
{
    QFile::remove(dir_.filePath(u"name.txt"_s));
    toolkit::set_program_directory(QDir::toNativeSeparators(dir_.path()));
    messages_.clear();
    toolkit::set_message_sink([this](const toolkit::message &m) { messages_.append(m); });
}

void tst_name_file::cleanup()
{
    toolkit::set_message_sink({});
    toolkit::set_program_directory({});
}

void tst_name_file::first_start_creates_defaults()
{
    QCOMPARE(name_file_path(), QDir::toNativeSeparators(dir_.path() + u"/name.txt"_s));
    recording_view view;
    ensure_name_file(view);
    QCOMPARE(prompts(), (QStringList { name_file_path() + u" not found."_s, created }));
    QCOMPARE(messages_[0].title, u"File Not Found"_s);
    QCOMPARE(messages_[1].style, int(toolkit::style_ok_only));
    QCOMPARE(messages_[1].title, QString());
    QCOMPARE(view.titles, QStringList { u"Orvalin"_s });

    const QByteArray file = contents();
    QString defaults;
    for (int k = 1; k <= 8; ++k)
        defaults += u"第%1路输出名称=输出%1\r\n第%1路输入名称=输入%1\r\n"_s.arg(k);
    const QByteArray head = gb(u"[软件属性]\r\n名称=Orvalin\r\n[地址码0]\r\n"_s + defaults
        + u"[地址码1]\r\n第1路输出名称=输出1\r\n第1路输入名称=输入1\r\n"_s);
    QCOMPARE(file.left(head.size()), head);
    QVERIFY(file.endsWith(gb(u"[地址码255]\r\n"_s + defaults)));

    const QList<QByteArray> lines = file.split('\n');
    QCOMPARE(lines.size(), 257 + 4097 + 1); // behind the last line end stands nothing
    QCOMPARE(std::count_if(
                 lines.begin(), lines.end(), [](const QByteArray &l) { return l.startsWith('['); }),
        257);

    load_names(view, u"1"_s);
    QVERIFY(view.shows_defaults());
    ensure_name_file(view); // the next start finds it complete
    QCOMPARE(prompts().size(), 2);
    QCOMPARE(view.titles.last(), u"Orvalin"_s);
}

void tst_name_file::title_from_existing_file_data()
{
    QTest::addColumn<QString>("file");
    QTest::addColumn<QString>("title");

    // clang-format off
    QTest::newRow("stored title") << "[软件属性]\r\n名称=继电器 A\r\n[地址码0]\r\n" << "继电器 A";
    QTest::newRow("empty title") << "[软件属性]\r\n名称=\r\n[地址码0]\r\n" << "";
    QTest::newRow("no title key") << "[地址码0]\r\n" << "";
    // clang-format on
}

void tst_name_file::title_from_existing_file()
{
    QFETCH(QString, file);
    QFETCH(QString, title);
    put(gb(file));
    recording_view view;
    ensure_name_file(view);
    QVERIFY(messages_.isEmpty());
    QCOMPARE(view.titles, QStringList { title });
    QCOMPARE(contents(), gb(file));
}

void tst_name_file::rebuild_keeps_other_sections_data()
{
    QTest::addColumn<QString>("marker");

    QTest::newRow("header removed") << "";
    QTest::newRow("header renamed") << "[地址码00]\r\n";
    QTest::newRow("header with a trailing blank") << "[地址码0] \r\n";
    QTest::newRow("header indented") << "  [地址码0]\r\n";
}

void tst_name_file::rebuild_keeps_other_sections()
{
    QFETCH(QString, marker);
    recording_view view;
    ensure_name_file(view);
    const QString path = name_file_path();
    QVERIFY(write_profile(path, u"地址码01"_s, u"第1路输出名称"_s, u"进水泵"_s));
    QVERIFY(write_profile(path, u"地址码0"_s, u"第2路输入名称"_s, u"改过"_s));
    QVERIFY(write_profile(path, u"软件属性"_s, u"名称"_s, u"Mine"_s));
    put(contents().replace(gb(u"[地址码0]\r\n"_s), gb(marker)));
    messages_.clear();

    ensure_name_file(view);
    QCOMPARE(prompts(), QStringList { created });
    QCOMPARE(view.titles.last(), u"Orvalin"_s);
    QCOMPARE(read_profile(path, u"地址码01"_s, u"第1路输出名称"_s), u"进水泵"_s);
    QCOMPARE(read_profile(path, u"软件属性"_s, u"名称"_s), u"Orvalin"_s);
    load_names(view, u"0"_s);
    QVERIFY(view.shows_defaults());
    // Complete now, also where the header carried blanks: no rebuild at the next start.
    ensure_name_file(view);
    QCOMPARE(prompts(), QStringList { created });
}

void tst_name_file::load_names_maps_channels()
{
    recording_view view;
    ensure_name_file(view);
    messages_.clear();
    QVERIFY(write_profile(name_file_path(), u"地址码1"_s, u"第3路输出名称"_s, u"出三"_s));
    QVERIFY(write_profile(name_file_path(), u"地址码1"_s, u"第3路输入名称"_s, u"入三"_s));

    load_names(view, u"1"_s);
    QCOMPARE(view.captions.at(3), u"出三"_s);
    QCOMPARE(view.captions.at(14), u"入三"_s);
    QCOMPARE(view.order, (QList<int> { 1, 16, 2, 15, 3, 14, 4, 13, 5, 12, 6, 11, 7, 10, 8, 9 }));

    put(contents().replace(gb(u"入三"_s), gb(u"手改"_s))); // a hand edit shows at once
    load_names(view, u"1"_s);
    QCOMPARE(view.captions.at(14), u"手改"_s);
    load_names(view, u"255"_s);
    QVERIFY(view.shows_defaults());

    // Address texts are used as they are: these name no section.
    for (const QString &address : { u"01"_s, u"256"_s, u"1 "_s }) {
        load_names(view, u"1"_s);
        load_names(view, address);
        QVERIFY(view.all_empty());
    }
    QVERIFY(messages_.isEmpty());
}

void tst_name_file::every_read_looks_for_the_file()
{
    recording_view view;
    ensure_name_file(view);
    QVERIFY(QFile::remove(name_file_path()));
    messages_.clear();
    load_names(view, u"1"_s);
    QCOMPARE(prompts(), QStringList(16, name_file_path() + u" not found."_s));
    QVERIFY(view.all_empty());

    // The path is formed anew for each read: the file turns up in the
    // program directory while the first read reports it missing.
    ensure_name_file(view);
    QTemporaryDir elsewhere;
    toolkit::set_program_directory(QDir::toNativeSeparators(elsewhere.path()));
    messages_.clear();
    toolkit::set_message_sink([this](const toolkit::message &m) {
        messages_.append(m);
        toolkit::set_program_directory(QDir::toNativeSeparators(dir_.path()));
    });
    load_names(view, u"1"_s);
    QCOMPARE(messages_.size(), 1);
    QCOMPARE(view.captions.at(1), QString());
    QCOMPARE(view.captions.at(16), u"输入1"_s);

    // A directory that cannot take the file: the creation fails silently.
    toolkit::set_program_directory(QDir::toNativeSeparators(dir_.filePath(u"gone"_s)));
    messages_.clear();
    toolkit::set_message_sink([this](const toolkit::message &m) { messages_.append(m); });
    ensure_name_file(view);
    QCOMPARE(prompts(), (QStringList { name_file_path() + u" not found."_s, created }));
    QCOMPARE(view.titles.last(), u"Orvalin"_s);
}

QTEST_GUILESS_MAIN(tst_name_file)
#include "tst_name_file.moc"
