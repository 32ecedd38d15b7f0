#include "names/name_file.h"
#include "names/profile.h"
#include "system/toolkit.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
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

QByteArray contents(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

struct rename_step {
    QString section, key, name;
};

rename_step step(int i)
{
    return { channel_section(i % 3 ? u"1"_s : u"255"_s),
        channel_key(QString::number(i % 8 + 1), i % 5 < 3),
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
    void oversized_file_is_never_rewritten();
    void renames_survive_sigkill();

private:
    QString path() const { return name_file_path(); }

    std::unique_ptr<QTemporaryDir> dir_;
    QList<toolkit::message> messages_;
};

void tst_name_faults::init()
{
    dir_ = std::make_unique<QTemporaryDir>();
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
    ::chmod(QFile::encodeName(dir_->path()).constData(), 0700);
    ::chmod(QFile::encodeName(path()).constData(), 0600);
#endif
    toolkit::set_message_sink({});
    toolkit::set_program_directory({});
    QVERIFY(messages_.isEmpty());
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

// Unstorable rename: unreported, old name (or nothing) shown, file unchanged.
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

    constexpr int unreachable = 64;
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
        ::_exit(result != 0 || messages > 0      ? 1
                : view.captions[3] == u"输出3"_s ? 2
                                                 : 10 + view.shown());
    }
    int status = 0;
    QCOMPARE(::waitpid(child, &status, 0), child);
    QVERIFY(WIFEXITED(status));
    if (WEXITSTATUS(status) == unreachable)
        QSKIP("no unprivileged user can reach the temporary directory");
    QCOMPARE(WEXITSTATUS(status), readable ? 2 : 10); // old name, or nothing shown
    QCOMPARE(contents(path()), before);
    QCOMPARE(
        QDir(dir_->path()).entryList(QDir::Files | QDir::Hidden), QStringList { u"name.txt"_s });
#else
    QSKIP("needs POSIX permissions");
#endif
}

// Larger than any name file: shown as empty and never rewritten.
void tst_name_faults::oversized_file_is_never_rewritten()
{
    QVERIFY(QFile(path()).resize(70 << 20));
    caption_view view;
    load_names(view, u"1"_s);
    QCOMPARE(view.shown(), 0);
    QCOMPARE(write_profile(path(), channel_section(u"1"_s), channel_key(u"3"_s, true), u"x"_s), 0);
    QCOMPARE(QFileInfo(path()).size(), qint64(70 << 20));
}

// A renaming child killed at random moments: the file always equals the
// renames completed, with or without the one under way.
void tst_name_faults::renames_survive_sigkill()
{
#ifdef Q_OS_UNIX
    constexpr int total = 1000;
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

        const int wait_for = random.bounded(1, std::min(50, total - done) + 1);
        int reported = done;
        int last = done;
        while (
            reported < done + wait_for && ::read(pipe_ends[0], &last, sizeof last) == sizeof last)
            reported = last;
        ::usleep(useconds_t(random.bounded(300)));
        QCOMPARE(::kill(child, SIGKILL), 0);
        int status = 0;
        QCOMPARE(::waitpid(child, &status, 0), child);
        QVERIFY2(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL, "the renamer failed");
        while (::read(pipe_ends[0], &last, sizeof last) == sizeof last)
            reported = last;
        ::close(pipe_ends[0]);

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
    const rename_step last = step(done);
    QCOMPARE(read_profile(path(), last.section, last.key), last.name);
#else
    QSKIP("needs fork and SIGKILL");
#endif
}

QTEST_GUILESS_MAIN(tst_name_faults)
#include "tst_name_faults.moc"
