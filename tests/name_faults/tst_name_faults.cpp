// The name file under faults: a file or directory that cannot be written, a
// file edited or grown while the panel runs, a renamer killed mid-write.
#include "names/name_file.h"
#include "names/profile.h"
#include "ui/toolkit.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QRandomGenerator>
#include <QStringEncoder>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>
#include <array>
#include <memory>

#ifdef Q_OS_UNIX
#include <csignal>
#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

using namespace orvalin;
using namespace Qt::StringLiterals;

namespace {

class caption_view final : public name_view {
public:
    std::array<QString, 17> captions; // index 1..16

    void set_title(const QString &) override { }
    void set_caption(int element, const QString &caption) override
    {
        captions.at(element) = caption;
    }
    int shown() const { return 16 - int(std::count(captions.begin() + 1, captions.end(), u""_s)); }
};

QByteArray gb(const QString &text)
{
    QStringEncoder encoder("GB18030");
    return encoder.encode(text);
}

QByteArray contents(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool put(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

// Rename number i of the kill run: every channel of four sections, one of
// them not in the created file, with names of changing length.
struct rename_step {
    QString section, key, name;
};

rename_step step(int i)
{
    static const QString addresses[] = { u"1"_s, u"0"_s, u"255"_s, u"01"_s };
    const int channel = (i * 7 + i / 16) % 16;
    return { channel_section(addresses[(i / 3) % 4]),
        channel_key(QString::number(channel % 8 + 1), channel < 8),
        u"名%1"_s.arg(i) + QString(i % 9, u'长') };
}

} // namespace

class tst_name_faults : public QObject {
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void unwritable_data();
    void unwritable();
    void file_changes_while_running();
    void renames_survive_sigkill();

private:
    QString path() const { return name_file_path(); }

    std::unique_ptr<QTemporaryDir> dir_;
    QList<toolkit::message> messages_;
};

void tst_name_faults::init()
{
    dir_ = std::make_unique<QTemporaryDir>();
    QVERIFY(dir_->isValid());
    toolkit::set_program_directory(QDir::toNativeSeparators(dir_->path()));
    messages_.clear();
    toolkit::set_message_sink([this](const toolkit::message &m) { messages_.append(m); });
    caption_view view;
    ensure_name_file(view);
    messages_.clear();
}

void tst_name_faults::cleanup()
{
#ifdef Q_OS_UNIX
    // Give back what a row took away, so the directory can be removed.
    ::chmod(QFile::encodeName(dir_->path()).constData(), 0700);
    ::chmod(QFile::encodeName(path()).constData(), 0600);
#endif
    toolkit::set_message_sink({});
    toolkit::set_program_directory({});
}

void tst_name_faults::unwritable_data()
{
    QTest::addColumn<int>("file_mode");
    QTest::addColumn<int>("dir_mode");
    QTest::addColumn<bool>("readable");

    QTest::newRow("read-only file") << 0444 << 0755 << true;
    QTest::newRow("read-only directory") << 0644 << 0555 << true;
    QTest::newRow("unreadable file") << 0200 << 0755 << false;
}

// A rename that cannot be stored goes unreported; the reload shows the old
// name, or nothing where the file cannot be read, and the file stays as it was.
void tst_name_faults::unwritable()
{
#ifdef Q_OS_UNIX
    QFETCH(int, file_mode);
    QFETCH(int, dir_mode);
    QFETCH(bool, readable);

    const QByteArray before = contents(path());
    const QByteArray dir = QFile::encodeName(dir_->path());
    const QByteArray file = QFile::encodeName(path());
    // Permissions do not bind root: a child tries it, as nobody if need be.
    const bool as_root = ::geteuid() == 0;
    const uid_t nobody = 65534;
    if (as_root) {
        QCOMPARE(::chown(dir.constData(), nobody, nobody), 0);
        QCOMPARE(::chown(file.constData(), nobody, nobody), 0);
    }
    QCOMPARE(::chmod(file.constData(), mode_t(file_mode)), 0);
    QCOMPARE(::chmod(dir.constData(), mode_t(dir_mode)), 0);

    constexpr int stored = 1, shown = 2, old_name = 4, all_empty = 8, unreachable = 64;
    const pid_t child = ::fork();
    QVERIFY(child >= 0);
    if (child == 0) {
        if ((as_root
                && (::setgroups(0, nullptr) != 0 || ::setgid(nobody) != 0 || ::setuid(nobody) != 0))
            || ::access(dir.constData(), X_OK) != 0)
            ::_exit(unreachable);
        int messages = 0;
        toolkit::set_message_sink([&messages](const toolkit::message &) { ++messages; });
        const int result
            = write_profile(path(), channel_section(u"1"_s), channel_key(u"3"_s, true), u"新名"_s);
        caption_view view;
        load_names(view, u"1"_s);
        ::_exit((result != 0 ? stored : 0) | (messages > 0 ? shown : 0)
            | (view.captions[3] == u"输出3"_s ? old_name : 0)
            | (view.shown() == 0 ? all_empty : 0));
    }
    int status = 0;
    QCOMPARE(::waitpid(child, &status, 0), child);
    QVERIFY(WIFEXITED(status));
    if (WEXITSTATUS(status) == unreachable)
        QSKIP("no unprivileged user can reach the temporary directory");
    QCOMPARE(WEXITSTATUS(status), readable ? old_name : all_empty);
    QCOMPARE(contents(path()), before);
    QCOMPARE(
        QDir(dir_->path()).entryList(QDir::Files | QDir::Hidden), QStringList { u"name.txt"_s });
#else
    QSKIP("needs POSIX permissions");
#endif
}

// What the operator does to the file behind the running panel's back shows at
// the next reload, and a later rename keeps every byte it does not change.
void tst_name_faults::file_changes_while_running()
{
    caption_view view;
    const QString section = channel_section(u"1"_s);
    const QString output3 = channel_key(u"3"_s, true);
    QVERIFY(write_profile(path(), section, output3, u"进水泵"_s));

    // Edited in a text editor: LF line ends, a comment, blanks around "=",
    // one name changed and one key removed.
    QByteArray edited = contents(path()).replace("\r\n", "\n");
    edited.replace(gb(u"[地址码1]\n"_s), gb(u"; pumps\n\n[地址码1]\n"_s));
    edited.replace(gb(u"第3路输出名称=进水泵"_s), gb(u"第3路输出名称 = 排水泵"_s));
    edited.replace(gb(u"[地址码1]\n第1路输出名称=输出1\n"_s), gb(u"[地址码1]\n"_s));
    QVERIFY(put(path(), edited));
    load_names(view, u"1"_s);
    QCOMPARE(view.captions[3], u"排水泵"_s);
    QCOMPARE(view.captions[1], QString());
    QCOMPARE(view.captions[16], u"输入1"_s);
    QVERIFY(write_profile(path(), section, channel_key(u"1"_s, true), u"回来"_s));
    load_names(view, u"1"_s);
    QCOMPARE(view.captions[1], u"回来"_s);
    QVERIFY(!contents(path()).contains('\r'));

    // 20 MB of sections before the one shown: found, and renamed in place.
    QByteArray big;
    for (int s = 0; big.size() < (20 << 20); ++s) {
        big += gb(u"[其他%1]\r\n"_s.arg(s));
        for (int k = 1; k <= 16; ++k)
            big += "key" + QByteArray::number(k) + "=some longer value\r\n";
    }
    const QByteArray tail = gb(u"[地址码1]\r\n第3路输出名称=大\r\n第8路输入名称=尾\r\n"_s);
    QVERIFY(put(path(), big + tail));
    load_names(view, u"1"_s);
    QCOMPARE(view.shown(), 2);
    QCOMPARE(view.captions[9], u"尾"_s);
    QVERIFY(write_profile(path(), section, output3, u"改"_s));
    QCOMPARE(
        contents(path()), big + gb(u"[地址码1]\r\n第3路输出名称=改\r\n第8路输入名称=尾\r\n"_s));

    // Larger than any name file: shown as empty and never rewritten.
    QFile huge(path());
    QVERIFY(huge.resize(70 << 20));
    load_names(view, u"1"_s);
    QCOMPARE(view.shown(), 0);
    QCOMPARE(write_profile(path(), section, output3, u"x"_s), 0);
    QCOMPARE(QFileInfo(path()).size(), qint64(70 << 20));
    QVERIFY(messages_.isEmpty());
}

// A child renames through write_profile and is killed with SIGKILL at random
// moments. After every kill the file equals, byte for byte, the file of the
// renames completed, with or without the one under way.
void tst_name_faults::renames_survive_sigkill()
{
#ifdef Q_OS_UNIX
    constexpr int total = 1000;
    // The same renames applied without interruption, for comparison.
    QTemporaryDir reference_dir;
    const QString reference = reference_dir.filePath(u"name.txt"_s);
    QVERIFY(QFile::copy(path(), reference));
    int reference_done = 0;
    const auto advance = [&](int to) {
        for (; reference_done < to; ++reference_done) {
            const rename_step s = step(reference_done + 1);
            if (!write_profile(reference, s.section, s.key, s.name))
                return false;
        }
        return true;
    };

    const quint32 seed = QRandomGenerator::global()->generate();
    QRandomGenerator random(seed);
    const QByteArray seed_note = "seed " + QByteArray::number(seed);
    int done = 0;
    int kills = 0;
    qint64 step_us = 2000; // the time one rename takes, measured as the run goes
    while (done < total) {
        int pipe_ends[2];
        QCOMPARE(::pipe(pipe_ends), 0);
        const pid_t child = ::fork();
        QVERIFY(child >= 0);
        if (child == 0) {
            ::close(pipe_ends[0]);
            for (int i = done + 1;; ++i) {
                const rename_step s = step(i);
                if (!write_profile(path(), s.section, s.key, s.name))
                    ::_exit(3);
                if (::write(pipe_ends[1], &i, sizeof i) != sizeof i)
                    ::_exit(4);
            }
        }
        ::close(pipe_ends[1]);

        // Let it complete some renames, then kill it somewhere inside the next.
        const int wait_for = random.bounded(1, std::min(50, total - done) + 1);
        QElapsedTimer clock;
        clock.start();
        int reported = done;
        int last = done;
        while (
            reported < done + wait_for && ::read(pipe_ends[0], &last, sizeof last) == sizeof last)
            reported = last;
        if (reported > done)
            step_us = std::max<qint64>(50, clock.nsecsElapsed() / 1000 / (reported - done));
        ::usleep(useconds_t(random.bounded(int(step_us) + 1)));
        QCOMPARE(::kill(child, SIGKILL), 0);
        int status = 0;
        QCOMPARE(::waitpid(child, &status, 0), child);
        QVERIFY2(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL, "the renamer failed");
        while (::read(pipe_ends[0], &last, sizeof last) == sizeof last)
            reported = last;
        ::close(pipe_ends[0]);
        ++kills;

        const QByteArray file = contents(path());
        QVERIFY2(advance(reported), seed_note);
        if (file != contents(reference)) {
            QVERIFY2(advance(reported + 1), seed_note);
            QVERIFY2(file == contents(reference),
                qPrintable(u"after rename %1 the file is neither state, %2"_s.arg(reported).arg(
                    QString::fromLatin1(seed_note))));
            ++reported;
        }
        done = reported;
    }
    QVERIFY(messages_.isEmpty());
    QVERIFY(kills >= 20);
    const rename_step last = step(done);
    QCOMPARE(read_profile(path(), last.section, last.key), last.name);
#else
    QSKIP("needs fork and SIGKILL");
#endif
}

QTEST_GUILESS_MAIN(tst_name_faults)
#include "tst_name_faults.moc"
