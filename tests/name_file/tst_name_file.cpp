#include "names/name_file.h"
#include "names/profile.h"
#include "system/toolkit.h"

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
    return QStringEncoder("GB18030").encode(text);
}

class recording_view final : public name_view {
public:
    QStringList titles;
    std::array<QString, 17> captions; // index 1..16

    void set_title(const QString &title) override { titles.append(title); }
    void set_caption(int element, const QString &caption) override
    {
        captions.at(element) = caption;
    }
    bool shows_defaults() const
    {
        for (int k = 1; k <= 16; ++k)
            if (captions.at(k) != (k <= 8 ? u"输出%1"_s.arg(k) : u"输入%1"_s.arg(17 - k)))
                return false;
        return true;
    }
    bool all_empty() const
    {
        return std::all_of(captions.begin(), captions.end(), std::mem_fn(&QString::isEmpty));
    }
};

QByteArray contents()
{
    QFile file(name_file_path());
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

} // namespace

class tst_name_file : public QObject {
    Q_OBJECT

private slots:
    void init()
    {
        QFile::remove(dir_.filePath(u"name.txt"_s));
        toolkit::set_program_directory(QDir::toNativeSeparators(dir_.path()));
        messages_.clear();
        toolkit::set_message_sink([this](const toolkit::message &m) { messages_.append(m); });
        view_ = {};
    }
    void cleanup()
    {
        toolkit::set_message_sink({});
        toolkit::set_program_directory({});
    }

    void first_start_creates_defaults_once();
    void rebuild_keeps_other_sections();
    void load_names_maps_channels();
    void missing_file_is_reported_per_read();

private:
    QStringList prompts() const
    {
        QStringList result;
        for (const auto &m : messages_)
            result.append(m.prompt);
        return result;
    }
    QString not_found() const { return name_file_path() + u" not found."_s; }

    QTemporaryDir dir_;
    QList<toolkit::message> messages_;
    recording_view view_;
};

void tst_name_file::first_start_creates_defaults_once()
{
    QCOMPARE(name_file_path(), QDir::toNativeSeparators(dir_.path() + u"/name.txt"_s));
    ensure_name_file(view_);
    QCOMPARE(prompts(), (QStringList { not_found(), u"名称文件被创建。"_s }));
    QCOMPARE(messages_[0].style, int(toolkit::style_critical));
    QCOMPARE(view_.titles, QStringList { u"Orvalin"_s });
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

    // The next start finds it complete: no message, nothing rewritten, its title.
    QVERIFY(write_profile(name_file_path(), u"软件属性"_s, u"名称"_s, u"继电器 A"_s));
    const QByteArray before = contents();
    ensure_name_file(view_);
    QCOMPARE(messages_.size(), 2);
    QCOMPARE(contents(), before);
    QCOMPARE(view_.titles.last(), u"继电器 A"_s);
}

// A file without the marker line only gets what it lacks.
void tst_name_file::rebuild_keeps_other_sections()
{
    ensure_name_file(view_);
    const QString path = name_file_path();
    QVERIFY(write_profile(path, u"软件属性"_s, u"名称"_s, u"泵房"_s));
    QVERIFY(write_profile(path, u"地址码0"_s, u"第2路输入名称"_s, u"改过"_s));
    QVERIFY(write_profile(path, u"地址码5"_s, u"第1路输出名称"_s, u"阀门"_s));
    QByteArray damaged = contents().replace(gb(u"[地址码0]\r\n"_s), gb(u"[地址码0] \r\n"_s));
    damaged.truncate(damaged.indexOf(gb(u"[地址码200]"_s)));
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly) && file.write(damaged) == damaged.size());
    file.close();
    QVERIFY(write_profile(path, u"地址码01"_s, u"第1路输出名称"_s, u"进水泵"_s));
    messages_.clear();

    ensure_name_file(view_);
    QCOMPARE(prompts(), QStringList { u"名称文件被创建。"_s });
    QCOMPARE(view_.titles.last(), u"泵房"_s);
    QCOMPARE(read_profile(path, u"地址码01"_s, u"第1路输出名称"_s), u"进水泵"_s);
    QCOMPARE(read_profile(path, u"地址码0"_s, u"第2路输入名称"_s), u"改过"_s);
    QCOMPARE(read_profile(path, u"地址码5"_s, u"第1路输出名称"_s), u"阀门"_s);
    load_names(view_, u"255"_s);
    QVERIFY(view_.shows_defaults());
    // Complete now: no rebuild at the next start.
    ensure_name_file(view_);
    QCOMPARE(messages_.size(), 1);
}

void tst_name_file::load_names_maps_channels()
{
    ensure_name_file(view_);
    messages_.clear();
    QVERIFY(write_profile(name_file_path(), u"地址码1"_s, u"第3路输出名称"_s, u"出三"_s));
    QVERIFY(write_profile(name_file_path(), u"地址码1"_s, u"第3路输入名称"_s, u"入三"_s));
    load_names(view_, u"1"_s);
    QCOMPARE(view_.captions.at(3), u"出三"_s);
    QCOMPARE(view_.captions.at(14), u"入三"_s);

    load_names(view_, u"255"_s);
    QVERIFY(view_.shows_defaults());

    // Address texts are used as they are: these name no section.
    for (const QString &address : { u"01"_s, u"256"_s, u"1 "_s }) {
        load_names(view_, u"1"_s);
        load_names(view_, address);
        QVERIFY2(view_.all_empty(), qPrintable(address));
    }
    QVERIFY(messages_.isEmpty());
}

void tst_name_file::missing_file_is_reported_per_read()
{
    ensure_name_file(view_);
    QVERIFY(QFile::remove(name_file_path()));
    QVERIFY(QDir(dir_.path()).mkdir(u"name.txt"_s)); // a folder is no name file
    messages_.clear();
    load_names(view_, u"1"_s);
    QCOMPARE(prompts(), QStringList(16, not_found()));
    QVERIFY(view_.all_empty());
    QVERIFY(QDir(dir_.path()).rmdir(u"name.txt"_s));

    // Neither the program directory nor the data directory can take the
    // file: said so, and no creation claimed.
    toolkit::set_program_directory(QDir::toNativeSeparators(dir_.filePath(u"gone"_s)));
    const QByteArray saved = qgetenv("XDG_DATA_HOME");
    qputenv("XDG_DATA_HOME", QFile::encodeName(dir_.filePath(u"name.txt/data"_s)));
    QVERIFY(QFile(dir_.filePath(u"name.txt"_s)).open(QIODevice::WriteOnly));
    messages_.clear();
    ensure_name_file(view_);
    const QString path = name_file_path();
    qputenv("XDG_DATA_HOME", saved);
    QCOMPARE(path, QDir::toNativeSeparators(dir_.filePath(u"name.txt/data/orvalin/name.txt"_s)));
    QCOMPARE(prompts().size(), 2);
    QCOMPARE(prompts()[0], path + u" not found."_s);
    QVERIFY2(prompts()[1].startsWith(u"无法写入名称文件 "_s + path), qPrintable(prompts()[1]));
    QCOMPARE(view_.titles.last(), u"Orvalin"_s);
}

QTEST_GUILESS_MAIN(tst_name_file)
#include "tst_name_file.moc"
