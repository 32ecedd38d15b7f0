#include "names/name_file.h"
#include "names/profile.h"
#include "system/toolkit.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QStringDecoder>
#include <QStringEncoder>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <algorithm>
#include <array>
#include <functional>
#include <memory>

#ifdef Q_OS_UNIX
#include <csignal>
#include <grp.h>
#include <sched.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

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

#ifdef Q_OS_UNIX
ino_t inode_of(const QString &path)
{
    struct stat info { };
    return ::lstat(QFile::encodeName(path).constData(), &info) == 0 ? info.st_ino : 0;
}

// The exit code of body run in a child process; -1 when the child did not
// exit by itself.
int in_child(const std::function<int()> &body)
{
    const pid_t child = ::fork();
    if (child == 0)
        ::_exit(body());
    int status = 0;
    return child > 0 && ::waitpid(child, &status, 0) == child && WIFEXITED(status)
        ? WEXITSTATUS(status)
        : -1;
}
#endif

QByteArray contents(const QString &path = name_file_path())
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

} // namespace

class tst_name_file : public QObject {
    Q_OBJECT

private slots:
    void init()
    {
        dir_ = std::make_unique<QTemporaryDir>();
        toolkit::set_program_directory(QDir::toNativeSeparators(dir_->path()));
        messages_.clear();
        toolkit::set_message_sink([this](const toolkit::message &m) { messages_.append(m); });
        view_ = {};
    }
    void cleanup();

    void first_start_creates_defaults_once();
    void rebuild_keeps_other_sections();
    void utf16_without_mark_stays_so_data();
    void utf16_without_mark_stays_so();
    void load_names_maps_channels();
    void read_channel_names_data();
    void read_channel_names();
    void missing_file_is_reported_per_read();
    void unwritable_data();
    void unwritable();
    void special_files_data();
    void special_files();
    void full_disk_is_named();
    void in_use_by_another_program();
    void save_replaces_and_cleans_up();
    void two_writers_lose_nothing();
    void renames_survive_sigkill();

private:
    QStringList prompts() const
    {
        QStringList result;
        for (const auto &m : messages_)
            result.append(m.prompt);
        return result;
    }
    QString not_found() const { return name_file_path() + u" not found."_s; }
    QString path() const { return name_file_path(); }
    void start()
    {
        ensure_name_file(view_);
        messages_.clear();
    }

    std::unique_ptr<QTemporaryDir> dir_;
    QList<toolkit::message> messages_;
    recording_view view_;
};

void tst_name_file::cleanup()
{
#ifdef Q_OS_UNIX
    ::chmod(QFile::encodeName(dir_->path()).constData(), 0700);
    ::chmod(QFile::encodeName(path()).constData(), 0600);
#endif
    toolkit::set_message_sink({});
    toolkit::set_program_directory({});
}

void tst_name_file::first_start_creates_defaults_once()
{
    // Unless told otherwise, the program's folder is where the program is.
    toolkit::set_program_directory({});
    QVERIFY(QDir::setCurrent(dir_->path())); // not where the program is
    QCOMPARE(toolkit::program_directory(),
        QDir::toNativeSeparators(QCoreApplication::applicationDirPath()));
    toolkit::set_program_directory(QDir::toNativeSeparators(dir_->path()));
    QCOMPARE(name_file_path(), QDir::toNativeSeparators(dir_->path() + u"/name.txt"_s));
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

void tst_name_file::utf16_without_mark_stays_so_data()
{
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<QString>("said"); // in the start's one message; "" for none
    QTest::addColumn<QString>("order"); // UTF-16 the file is in afterwards; "" for unchanged

    const QString names = u"[软件属性]\r\n名称=泵房\r\n[地址码1]\r\n第2路输出名称=阀门\r\n"_s;
    const QString complete = names + u"[地址码0]\r\n第1路输出名称=水泵\r\n"_s;
    const auto le = QStringConverter::Utf16LE, be = QStringConverter::Utf16BE;
    // clang-format off
    QTest::newRow("complete, LE") << QByteArray(QStringEncoder(le).encode(complete)) << "" << "";
    QTest::newRow("incomplete, BE") << QByteArray(QStringEncoder(be).encode(names)) << u"名称文件被创建。"_s << "BE";
    // clang-format on
    // Zero bytes in both lanes: neither UTF-16 nor GB18030 text.
    QByteArray unclear = QStringEncoder(le).encode(names);
    for (qsizetype i = 0; i + 1 < unclear.size(); i += 4)
        std::swap(unclear[i], unclear[i + 1]);
    QTest::newRow("encoding cannot be told") << unclear << u"无法判断文本编码"_s << "";
    // An odd byte at the end would be lost by a rewrite.
    const QByteArray damaged = "\xFF\xFE" + QStringEncoder(le).encode(names) + 'x';
    QTest::newRow("damaged UTF-16") << damaged << u"（UTF-16 文本已损坏）。"_s << "";
}

// UTF-16 saved without a byte-order mark: its names show and defaults are
// added in UTF-16 again; a file whose encoding cannot be told is left as it is.
void tst_name_file::utf16_without_mark_stays_so()
{
    QFETCH(QByteArray, file);
    QFETCH(QString, said);
    QFETCH(QString, order);
    QFile out(path());
    QVERIFY(out.open(QIODevice::WriteOnly) && out.write(file) == file.size());
    out.close();
    ensure_name_file(view_);
    QCOMPARE(prompts().size(), said.isEmpty() ? 0 : 1);
    QVERIFY2(said.isEmpty() || prompts()[0].contains(said), qPrintable(prompts().join(u'|')));
    if (order.isEmpty()) {
        QCOMPARE(contents(), file);
    } else {
        QStringDecoder decoder(
            order == u"LE"_s ? QStringConverter::Utf16LE : QStringConverter::Utf16BE);
        const QString text = decoder.decode(contents());
        QVERIFY(!decoder.hasError() && !text.startsWith(QChar(0xFEFF)));
        QVERIFY(text.startsWith(u"[软件属性]"_s) && text.contains(u"[地址码255]\r\n"_s));
        QVERIFY(text.endsWith(u"第8路输入名称=输入8\r\n"_s));
    }
    if (!said.isEmpty() && order.isEmpty())
        return; // refused, the file as it was
    QCOMPARE(view_.titles.last(), u"泵房"_s);
    load_names(view_, u"1"_s);
    QCOMPARE(view_.captions.at(2), u"阀门"_s);
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

void tst_name_file::read_channel_names_data()
{
    QTest::addColumn<QString>("file"); // "" for no file; "/" for a folder
    QTest::addColumn<QString>("address");
    QTest::addColumn<int>("found");
    QTest::addColumn<QStringList>("names"); // out1..out8, in1..in8; empty: all blank

    const QString text = u"[地址码1]\r\n第3路输出名称=出三\r\n第1路输入名称=\r\n"_s
                         u"第8路输入名称=入八\r\n[地址码2]\r\n"_s;
    QStringList named(16);
    named[2] = u"出三"_s;
    named[15] = u"入八"_s;
    const int no_file = int(names_found::no_file), no_section = int(names_found::no_section),
              section = int(names_found::section);
    QTest::newRow("no file") << QString() << u"1"_s << no_file << QStringList();
    QTest::newRow("a folder") << u"/"_s << u"1"_s << no_file << QStringList();
    QTest::newRow("names, blank and missing") << text << u"1"_s << section << named;
    QTest::newRow("empty section") << text << u"2"_s << section << QStringList();
    QTest::newRow("no section") << text << u"3"_s << no_section << QStringList();
    QTest::newRow("address text as it stands") << text << u"01"_s << no_section << QStringList();
}

// The one reading of an address's 16 names: said by its result, never by a
// message, whatever the file lacks.
void tst_name_file::read_channel_names()
{
    QFETCH(QString, file);
    QFETCH(QString, address);
    QFETCH(int, found);
    QFETCH(QStringList, names);
    const QString path = dir_->filePath(u"names.txt"_s);
    if (file == u"/"_s) {
        QVERIFY(QDir(dir_->path()).mkdir(u"names.txt"_s));
    } else if (!file.isEmpty()) {
        QFile out(path);
        QVERIFY(out.open(QIODevice::WriteOnly) && out.write(gb(file)) == gb(file).size());
    }
    const channel_names read = orvalin::read_channel_names(path, address);
    QCOMPARE(int(read.found), found);
    if (names.isEmpty())
        names = QStringList(16);
    QCOMPARE(read.outputs + read.inputs, names);
    QCOMPARE(read.name({ channel_kind::input, 8 }), names.at(15));
    QVERIFY(messages_.isEmpty());
    QCOMPARE(orvalin::read_channel_names(QString(), address).found, names_found::no_file);
}

void tst_name_file::missing_file_is_reported_per_read()
{
    ensure_name_file(view_);
    QVERIFY(QFile::remove(name_file_path()));
    QVERIFY(QDir(dir_->path()).mkdir(u"name.txt"_s)); // a folder is no name file
    messages_.clear();
    load_names(view_, u"1"_s);
    QCOMPARE(prompts(), QStringList(16, not_found()));
    QVERIFY(view_.all_empty());
    QVERIFY(QDir(dir_->path()).rmdir(u"name.txt"_s));

    // Neither the program directory nor the data directory can take the
    // file: said so, and no creation claimed.
    toolkit::set_program_directory(QDir::toNativeSeparators(dir_->filePath(u"gone"_s)));
    const QByteArray saved = qgetenv("XDG_DATA_HOME");
    qputenv("XDG_DATA_HOME", QFile::encodeName(dir_->filePath(u"name.txt/data"_s)));
    QVERIFY(QFile(dir_->filePath(u"name.txt"_s)).open(QIODevice::WriteOnly));
    messages_.clear();
    ensure_name_file(view_);
    const QString path = name_file_path();
    qputenv("XDG_DATA_HOME", saved);
    QCOMPARE(path, QDir::toNativeSeparators(dir_->filePath(u"name.txt/data/orvalin/name.txt"_s)));
#if defined(Q_OS_UNIX) && !defined(Q_OS_DARWIN)
    // A relative XDG_DATA_HOME is ignored, as the XDG rules ask.
    const QByteArray saved_home = qgetenv("HOME");
    qputenv("HOME", QFile::encodeName(dir_->filePath(u"home"_s)));
    qputenv("XDG_DATA_HOME", "relative/data");
    const QString relative = name_file_path();
    qputenv("XDG_DATA_HOME", saved);
    qputenv("HOME", saved_home);
    QCOMPARE(relative, dir_->filePath(u"home/.local/share/orvalin/name.txt"_s));
#endif
    QCOMPARE(prompts().size(), 2);
    QCOMPARE(prompts()[0], path + u" not found."_s);
    QVERIFY2(prompts()[1].startsWith(u"无法写入名称文件 "_s + path), qPrintable(prompts()[1]));
    QCOMPARE(view_.titles.last(), u"Orvalin"_s);
}

void tst_name_file::unwritable_data()
{
    QTest::addColumn<int>("file_mode"); // 0: no file
    QTest::addColumn<int>("dir_mode");
    QTest::addColumn<QString>("said"); // the start's messages, joined by "|"
    QTest::addColumn<QString>("caption"); // of output 3 after renaming it 新名
    QTest::newRow("read-only file") << 0444 << 0755 << "" << u"输出3"_s;
    QTest::newRow("read-only directory, written in place") << 0644 << 0555 << "" << u"新名"_s;
    QTest::newRow("unreadable file") << 0200 << 0755 << u"没有读取权限"_s << "";
    QTest::newRow("read-only directory, no file: data folder")
        << 0 << 0555 << u"home/orvalin/name.txt not found.|名称文件被创建。"_s << u"新名"_s;
}

// A start and a rename: a file that cannot be read is reported and never
// rebuilt; one that cannot be written keeps its content, unreported; an
// installed program's directory sends a new file to the user's data folder.
void tst_name_file::unwritable()
{
#ifdef Q_OS_UNIX
    start();
    QFETCH(int, file_mode);
    QFETCH(int, dir_mode);
    QFETCH(QString, said);
    QFETCH(QString, caption);
    const QByteArray before = contents();
    const QByteArray dir = QFile::encodeName(dir_->path());
    const QString data_home = dir_->filePath(u"home"_s);
    QVERIFY(QDir().mkpath(data_home));
    // Permissions do not bind root: a child tries it, as nobody if need be.
    const bool as_root = ::geteuid() == 0;
    const uid_t nobody = 65534;
    for (const QString &owned : { dir_->path(), path(), data_home })
        QVERIFY(!as_root || ::chown(QFile::encodeName(owned).constData(), nobody, nobody) == 0);
    QVERIFY(file_mode ? ::chmod(QFile::encodeName(path()).constData(), mode_t(file_mode)) == 0
                      : QFile::remove(path()));
    QCOMPARE(::chmod(dir.constData(), mode_t(dir_mode)), 0);

    constexpr int unreachable = 64;
    const int code = in_child([&] {
        if ((as_root
                && (::setgroups(0, nullptr) != 0 || ::setgid(nobody) != 0 || ::setuid(nobody) != 0))
            || ::access(dir.constData(), X_OK) != 0)
            return unreachable;
        qputenv("XDG_DATA_HOME", QFile::encodeName(data_home));
        QStringList prompts;
        toolkit::set_message_sink([&](const toolkit::message &m) { prompts.append(m.prompt); });
        recording_view view;
        ensure_name_file(view);
        const QStringList expected = said.isEmpty() ? QStringList() : said.split(u'|');
        bool reported = prompts.size() == expected.size();
        for (qsizetype i = 0; reported && i < expected.size(); ++i)
            reported = prompts[i].contains(expected[i]);
        write_profile(name_file_path(), channel_section(u"1"_s),
            channel_key(u"3"_s, channel_kind::output), u"新名"_s);
        load_names(view, u"1"_s);
        return !reported                        ? 1
            : prompts.size() != expected.size() ? 2
            : view.captions[3] != caption       ? 3
                                                : 0;
    });
    if (code == unreachable)
        QSKIP("no unprivileged user can reach the temporary directory");
    QCOMPARE(code, 0);
    QCOMPARE(QDir(dir_->path()).entryList(QDir::Files | QDir::Hidden),
        file_mode ? QStringList { u"name.txt"_s } : QStringList());
    QVERIFY(file_mode ? (contents() == before) == (caption != u"新名"_s)
                      : QFileInfo::exists(data_home + u"/orvalin/name.txt"_s));
#else
    QSKIP("needs POSIX permissions");
#endif
}

void tst_name_file::special_files_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QString>("said"); // what the start's last message holds
    QTest::newRow("link to /dev/zero") << u"/dev/zero"_s << u"字符设备"_s;
    QTest::newRow("FIFO") << u"fifo"_s << u"命名管道"_s;
    QTest::newRow("link loop") << u"loop"_s << u"符号链接"_s;
    QTest::newRow("dangling link") << u"dangling"_s << u"符号链接"_s;
    QTest::newRow("link to a regular file elsewhere") << u"link"_s << u"名称文件被创建。"_s;
}

// Whatever name.txt is, the start ends and says what it found: nothing but
// a regular file is read or written, and no link is replaced.
void tst_name_file::special_files()
{
#ifdef Q_OS_UNIX
    QFETCH(QString, kind);
    QFETCH(QString, said);
    const QByteArray name = QFile::encodeName(path());
    const QByteArray elsewhere = QFile::encodeName(dir_->filePath(u"elsewhere.txt"_s));
    if (kind == u"fifo")
        QCOMPARE(::mkfifo(name.constData(), 0600), 0);
    else if (kind == u"loop")
        QCOMPARE(::symlink(name.constData(), name.constData()), 0);
    else if (kind == u"dangling")
        QCOMPARE(
            ::symlink(QFile::encodeName(dir_->filePath(u"gone/x"_s)).constData(), name.constData()),
            0);
    else if (kind == u"link") {
        QVERIFY(QFile(QFile::decodeName(elsewhere)).open(QIODevice::WriteOnly));
        QCOMPARE(::symlink(elsewhere.constData(), name.constData()), 0);
    } else
        QCOMPARE(::symlink(QFile::encodeName(kind).constData(), name.constData()), 0);
    struct stat before { };
    QCOMPARE(::lstat(name.constData(), &before), 0);

    // A child, so that a start that hangs or eats memory ends the test.
    const int code = in_child([&] {
        ::alarm(10);
#if !defined(__SANITIZE_ADDRESS__)
        // AddressSanitizer's shadow memory alone is far beyond this.
        const rlimit memory { 1024L * 1024 * 1024, 1024L * 1024 * 1024 };
        ::setrlimit(RLIMIT_AS, &memory);
#endif
        ensure_name_file(view_);
        return !messages_.isEmpty() && messages_.last().prompt.contains(said) ? 0 : 1;
    });
    QVERIFY2(code != -1, "the start never ended");
    QCOMPARE(code, 0);
    struct stat after { };
    QCOMPARE(::lstat(name.constData(), &after), 0);
    QCOMPARE(after.st_ino, before.st_ino);
    QCOMPARE(after.st_mode & S_IFMT, before.st_mode & S_IFMT);
    if (kind == u"link")
        QVERIFY(contents(QFile::decodeName(elsewhere)).contains(gb(u"[地址码255]"_s)));
#else
    QSKIP("needs POSIX special files");
#endif
}

// Creating the file on a full disk says so, in a small file system of its
// own (root only, and only where mounting is allowed).
void tst_name_file::full_disk_is_named()
{
#ifdef Q_OS_LINUX
    if (::geteuid() != 0)
        QSKIP("mounting a small file system needs root");
    const QString mount_point = dir_->filePath(u"small"_s);
    QVERIFY(QDir().mkpath(mount_point));
    constexpr int cannot_mount = 64;
    const int code = in_child([&] {
        // A mount namespace of its own: the mount ends with the child.
        if (::unshare(CLONE_NEWNS) != 0
            || ::mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0
            || ::mount("tmpfs", QFile::encodeName(mount_point).constData(), "tmpfs", 0, "size=32k")
                != 0)
            return cannot_mount;
        toolkit::set_program_directory(mount_point);
        ensure_name_file(view_);
        return messages_.size() == 2 && messages_[1].prompt.contains(u"磁盘已满"_s)
                && !QFileInfo::exists(name_file_path())
            ? 0
            : 1;
    });
    if (code == cannot_mount)
        QSKIP("no small file system could be mounted here");
    QCOMPARE(code, 0);
#else
    QSKIP("needs Linux mount namespaces");
#endif
}

// Another program holding the file: the write gives up after about a second,
// timers run meanwhile, and the reason says who is in the way.
void tst_name_file::in_use_by_another_program()
{
    start();
#ifdef Q_OS_UNIX
    const QByteArray before = contents();
    const int holder = ::open(QFile::encodeName(path()).constData(), O_RDONLY | O_CLOEXEC);
    QVERIFY(holder >= 0);
    QCOMPARE(::flock(holder, LOCK_EX), 0);
    bool ticked = false;
    QTimer::singleShot(100, [&] { ticked = true; });
    QElapsedTimer clock;
    clock.start();
    names_failure failure;
    const int written = write_profile(path(), channel_section(u"1"_s),
        channel_key(u"3"_s, channel_kind::output), u"新名"_s, &failure);
    const qint64 waited = clock.elapsed();
    ::close(holder);
    QCOMPARE(written, 0);
    QVERIFY2(waited < 3000, qPrintable(QString::number(waited)));
    QCOMPARE(failure.problem, names_problem::in_use);
    QCOMPARE(names_problem_text_zh(failure), u"文件正被另一个程序使用"_s);
    QVERIFY(ticked);
    QCOMPARE(contents(), before);
#else
    QSKIP("needs flock");
#endif
}

// A save makes a new file in place of a single-named one, and removes the
// temporary files that killed saves left, only those.
void tst_name_file::save_replaces_and_cleans_up()
{
    start();
#ifdef Q_OS_UNIX
    const QStringList kept { u"name.txt"_s, u"name.txt.backup"_s, u"name.txt.orvalin-save-short"_s,
        u"other.txt.orvalin-save-Ab12Cd"_s };
    for (const QString &name : kept.mid(1) + QStringList { u"name.txt.orvalin-save-Ab12Cd"_s })
        QVERIFY(QFile(dir_->filePath(name)).open(QIODevice::WriteOnly));
    const ino_t before = inode_of(path());
    QCOMPARE(write_profile(path(), channel_section(u"1"_s),
                 channel_key(u"3"_s, channel_kind::output), u"新名"_s),
        1);
    QVERIFY(inode_of(path()) != before);
    QCOMPARE(QDir(dir_->path()).entryList(QDir::Files | QDir::Hidden, QDir::Name), kept);
#else
    QSKIP("needs inodes");
#endif
}

// Two processes renaming at once: every acknowledged write survives.
void tst_name_file::two_writers_lose_nothing()
{
    start();
#ifdef Q_OS_UNIX
    constexpr int writes = 100;
    pid_t children[2];
    for (int c = 0; c < 2; ++c) {
        children[c] = ::fork();
        QVERIFY(children[c] >= 0);
        if (children[c] == 0) {
            // A writer held off longer than the lock wait is told the file is
            // in use, never loses a write silently; it tries again, as a
            // user would.
            for (int i = 0; i < writes; ++i) {
                names_failure failure;
                int tries = 0;
                while (!write_profile(path(), channel_section(QString::number(c)), u"键%1"_s.arg(i),
                    u"值%1"_s.arg(i), &failure)) {
                    if (failure.problem != names_problem::in_use || ++tries == 20)
                        ::_exit(1);
                }
            }
            ::_exit(0);
        }
    }
    for (const pid_t child : children) {
        int status = 0;
        QCOMPARE(::waitpid(child, &status, 0), child);
        QVERIFY(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    int lost = 0;
    for (int c = 0; c < 2; ++c)
        for (int i = 0; i < writes; ++i)
            lost += read_profile(path(), channel_section(QString::number(c)), u"键%1"_s.arg(i))
                != u"值%1"_s.arg(i);
    QCOMPARE(lost, 0);
#else
    QSKIP("needs fork");
#endif
}

// A renaming child killed at random moments: the file is byte for byte the
// one before the interrupted rename or the one after it, never a mix, and no
// temporary file outlives the next save.
void tst_name_file::renames_survive_sigkill()
{
    start();
#ifdef Q_OS_UNIX
    // The same renames, uninterrupted, on a copy.
    const QString reference = dir_->filePath(u"reference.txt"_s);
    QVERIFY(QFile::copy(path(), reference));
    int in_reference = 0;
    const quint32 seed = QRandomGenerator::global()->generate();
    QRandomGenerator random(seed);
    const QString section = channel_section(u"1"_s);
    int reported = 0;
    for (int round = 0; round < 40; ++round) {
        int pipe_ends[2];
        QCOMPARE(::pipe(pipe_ends), 0);
        const pid_t child = ::fork();
        QVERIFY(child >= 0);
        if (child == 0) {
            ::close(pipe_ends[0]);
            for (int i = reported + 1;; ++i)
                if (!write_profile(path(), section, u"键%1"_s.arg(i), u"名%1"_s.arg(i))
                    || ::write(pipe_ends[1], &i, sizeof i) != sizeof i)
                    ::_exit(3);
        }
        ::close(pipe_ends[1]);
        const int wait_for = reported + random.bounded(1, 30);
        for (int last;
             reported < wait_for && ::read(pipe_ends[0], &last, sizeof last) == sizeof last;)
            reported = last;
        ::usleep(useconds_t(random.bounded(300)));
        QCOMPARE(::kill(child, SIGKILL), 0);
        int status = 0;
        QCOMPARE(::waitpid(child, &status, 0), child);
        QVERIFY2(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL, "the renamer failed");
        for (int last; ::read(pipe_ends[0], &last, sizeof last) == sizeof last;)
            reported = last;
        ::close(pipe_ends[0]);

        const QString note = u"seed %1, round %2"_s.arg(seed).arg(round);
        const auto rename_reference = [&] {
            ++in_reference;
            return write_profile(
                reference, section, u"键%1"_s.arg(in_reference), u"名%1"_s.arg(in_reference));
        };
        while (in_reference < reported)
            QVERIFY(rename_reference());
        // The rename it was killed in may have been done but not reported.
        if (contents() != contents(reference))
            QVERIFY(rename_reference());
        QVERIFY2(contents() == contents(reference), qPrintable(note));
    }
    QCOMPARE(write_profile(path(), section, u"键0"_s, u"名0"_s), 1);
    QCOMPARE(QDir(dir_->path()).entryList(QDir::Files | QDir::Hidden, QDir::Name),
        (QStringList { u"name.txt"_s, u"reference.txt"_s }));
#else
    QSKIP("needs fork and SIGKILL");
#endif
}

QTEST_GUILESS_MAIN(tst_name_file)
#include "tst_name_file.moc"
