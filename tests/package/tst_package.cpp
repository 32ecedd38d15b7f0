// The Debian package, built from this build tree into a directory of the
// test's own (never one left by an earlier run), read with dpkg-deb, checked
// by lintian where it is installed, and run unpacked: orvalinctl against the
// emulator, the panel from a read-only directory.

#include "names/name_file.h"
#include "names/profile.h"
#include "sim_process.h"
#include "system/toolkit.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <map>

#ifdef Q_OS_UNIX
#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

using namespace Qt::StringLiterals;

namespace {

struct run_result {
    int exit_code = -1;
    QString out;
    QString err;
};

run_result run(const QString &program, const QStringList &arguments,
    const QProcessEnvironment &environment = QProcessEnvironment::systemEnvironment(),
    int timeout_ms = 120'000)
{
    QProcess process;
    process.setProcessEnvironment(environment);
    process.start(program, arguments);
    run_result result;
    if (!process.waitForFinished(timeout_ms)) {
        process.kill();
        process.waitForFinished();
        result.err = u"%1 did not finish: %2"_s.arg(program, process.errorString());
        return result;
    }
    result.exit_code = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    result.out = QString::fromUtf8(process.readAllStandardOutput());
    result.err = QString::fromUtf8(process.readAllStandardError());
    return result;
}

QString describe(const run_result &r)
{
    return u"exit %1\n%2%3"_s.arg(r.exit_code).arg(r.out, r.err);
}

// The control file's fields; a continued field keeps its line breaks.
std::map<QString, QString> control_fields(const QString &text)
{
    std::map<QString, QString> fields;
    QString last;
    for (const QString &line : text.split(u'\n', Qt::SkipEmptyParts)) {
        if (line.startsWith(u' ') && !last.isEmpty()) {
            fields[last] += u'\n' + line.trimmed();
            continue;
        }
        const qsizetype colon = line.indexOf(u':');
        last = line.left(colon);
        fields[last] = line.mid(colon + 1).trimmed();
    }
    return fields;
}

// What a Debian user may expect to find, and nothing else: an installed
// program that is not in this list is a file nobody maintains.
const QStringList expected_files {
    u"/etc/orvalin/orvalin.conf"_s,
    u"/lib/systemd/system/orvalin.service"_s,
    u"/lib/udev/rules.d/70-orvalin.rules"_s,
    u"/usr/bin/orvalin"_s,
    u"/usr/bin/orvalinctl"_s,
    u"/usr/share/applications/orvalin.desktop"_s,
    u"/usr/share/bash-completion/completions/orvalinctl"_s,
    u"/usr/share/doc/orvalin/changelog.gz"_s,
    u"/usr/share/doc/orvalin/copyright"_s,
    u"/usr/share/icons/hicolor/128x128/apps/orvalin.png"_s,
    u"/usr/share/icons/hicolor/256x256/apps/orvalin.png"_s,
    u"/usr/share/icons/hicolor/32x32/apps/orvalin.png"_s,
    u"/usr/share/icons/hicolor/64x64/apps/orvalin.png"_s,
    u"/usr/share/icons/hicolor/scalable/apps/orvalin.svg"_s,
    u"/usr/share/lintian/overrides/orvalin"_s,
    u"/usr/share/man/man1/orvalin.1.gz"_s,
    u"/usr/share/man/man1/orvalinctl.1.gz"_s,
};

} // namespace

class tst_package : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void contents();
    void unpacked_orvalinctl();
    void unpacked_panel_keeps_names_under_xdg_data_home();

private:
    QString tool(const char *name) const;
    QString unpacked(const QString &path) const { return work_.filePath(u"root"_s + path); }

    QTemporaryDir work_;
    QString deb_;
};

QString tst_package::tool(const char *name) const
{
    return QStandardPaths::findExecutable(QString::fromLatin1(name));
}

void tst_package::initTestCase()
{
    if (tool("dpkg-deb").isEmpty())
        QSKIP("dpkg-deb is not installed: no Debian package can be built or read here");
    QVERIFY(work_.isValid());

    // cpack installs this build tree into its own staging area below -B,
    // so a parallel "make package" or an old package cannot mix in.
    QElapsedTimer clock;
    clock.start();
    const QString out = work_.filePath(u"out"_s);
    const run_result cpack = run(QStringLiteral(ORVALIN_CPACK),
        { u"--config"_s, QStringLiteral(ORVALIN_BUILD_DIR "/CPackConfig.cmake"), u"-G"_s, u"DEB"_s,
            u"-B"_s, out });
    QVERIFY2(cpack.exit_code == 0, qPrintable(describe(cpack)));
    qInfo("package built in %.1f s", clock.elapsed() / 1000.0);

    const run_result arch = run(tool("dpkg"), { u"--print-architecture"_s });
    QCOMPARE(arch.exit_code, 0);
    const QString name
        = u"orvalin_%1_%2.deb"_s.arg(QStringLiteral(ORVALIN_VERSION), arch.out.trimmed());
    QCOMPARE(QDir(out).entryList({ u"*.deb"_s }, QDir::Files), QStringList { name });
    deb_ = QDir(out).filePath(name);

    const run_result unpack = run(tool("dpkg-deb"), { u"-x"_s, deb_, work_.filePath(u"root"_s) });
    QVERIFY2(unpack.exit_code == 0, qPrintable(describe(unpack)));
}

void tst_package::contents()
{
    const run_result info = run(tool("dpkg-deb"), { u"--field"_s, deb_ });
    QVERIFY2(info.exit_code == 0, qPrintable(describe(info)));
    const auto fields = control_fields(info.out);
    const auto field = [&fields](const QString &key) {
        const auto found = fields.find(key);
        return found == fields.end() ? QString() : found->second;
    };
    QCOMPARE(field(u"Package"_s), u"orvalin"_s);
    QCOMPARE(field(u"Version"_s), QStringLiteral(ORVALIN_VERSION));
    QCOMPARE(field(u"Section"_s), u"electronics"_s);
    QCOMPARE(field(u"Recommends"_s), u"mosquitto-clients"_s);
    QVERIFY2(field(u"Maintainer"_s).contains(QRegularExpression(u"^.+ <.+@.+>$"_s)),
        qPrintable(field(u"Maintainer"_s)));
    // A summary line and a long description after it.
    QVERIFY(field(u"Description"_s).count(u'\n') >= 3);
    // From the binaries (dpkg-shlibdeps), plus the font for the Chinese texts.
    const QStringList depends = field(u"Depends"_s).split(u", "_s);
    for (const QString &package : { u"fonts-wqy-microhei"_s, u"libc6"_s, u"libqt6core6"_s,
             u"libqt6widgets6"_s, u"libqt6serialport6"_s }) {
        QVERIFY2(depends.indexOf(QRegularExpression(u"^%1( \\(.*\\))?$"_s.arg(package))) >= 0,
            qPrintable(u"%1 not in Depends: %2"_s.arg(package, depends.join(u", "_s))));
    }

    // The files, with the modes and owners Debian expects.
    const run_result listing = run(tool("dpkg-deb"), { u"--contents"_s, deb_ });
    QVERIFY2(listing.exit_code == 0, qPrintable(describe(listing)));
    QStringList files;
    for (const QString &line : listing.out.split(u'\n', Qt::SkipEmptyParts)) {
        const QStringList columns = line.split(u' ', Qt::SkipEmptyParts);
        const QString path = columns.last().mid(1); // "./usr/bin/orvalin"
        const QString &mode = columns[0];
        QVERIFY2(columns[1] == u"root/root"_s, qPrintable(line));
        if (mode.startsWith(u'd')) {
            QVERIFY2(mode == u"drwxr-xr-x"_s, qPrintable(line));
            continue;
        }
        files << path;
        const bool program = path.startsWith(u"/usr/bin/"_s);
        QVERIFY2(mode == (program ? u"-rwxr-xr-x"_s : u"-rw-r--r--"_s), qPrintable(line));
    }
    files.sort();
    QCOMPARE(files, expected_files);

    // The configuration survives upgrades and removal; no maintainer script
    // enables or starts anything.
    const run_result conffiles = run(tool("dpkg-deb"), { u"--info"_s, deb_, u"conffiles"_s });
    QCOMPARE(conffiles.out, u"/etc/orvalin/orvalin.conf\n"_s);
    const run_result control_tar
        = run(tool("dpkg-deb"), { u"--control"_s, deb_, work_.filePath(u"control"_s) });
    QVERIFY2(control_tar.exit_code == 0, qPrintable(describe(control_tar)));
    QCOMPARE(QDir(work_.filePath(u"control"_s)).entryList(QDir::Files),
        (QStringList { u"conffiles"_s, u"control"_s, u"md5sums"_s }));

    // The programs are stripped; the man pages are manual pages.
    QVERIFY(QFileInfo(unpacked(u"/usr/bin/orvalin"_s)).size() < 1024 * 1024);
    const QString man = tool("man");
    if (!man.isEmpty()) {
        for (const QString &page : { u"orvalin.1.gz"_s, u"orvalinctl.1.gz"_s }) {
            QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
            environment.insert(u"MANWIDTH"_s, u"80"_s);
            environment.insert(u"LC_ALL"_s, u"C.UTF-8"_s);
            const run_result shown = run(man,
                { u"--warnings"_s, u"-E"_s, u"UTF-8"_s, u"-l"_s,
                    unpacked(u"/usr/share/man/man1/"_s + page) },
                environment);
            QVERIFY2(shown.exit_code == 0 && shown.err.isEmpty(), qPrintable(describe(shown)));
            QVERIFY2(shown.out.contains(u"EXIT STATUS"_s), qPrintable(page));
        }
    }

    const QString lintian = tool("lintian");
    if (lintian.isEmpty()) {
        qInfo("lintian is not installed; the package was not checked by it");
        return;
    }
    const run_result lint = run(lintian, { u"--fail-on"_s, u"error,warning"_s, u"--info"_s, deb_ });
    QVERIFY2(lint.exit_code == 0, qPrintable(describe(lint)));
}

void tst_package::unpacked_orvalinctl()
{
    const QString orvalinctl = unpacked(u"/usr/bin/orvalinctl"_s);
    const run_result version = run(orvalinctl, { u"--version"_s });
    QCOMPARE(version.exit_code, 0);
    QCOMPARE(version.out.trimmed(), u"orvalinctl "_s + QStringLiteral(ORVALIN_VERSION));

    const run_result help = run(orvalinctl, { u"--help"_s });
    if (!(help.out + help.err).contains(u"status"_s))
        QSKIP("orvalinctl on this branch has no status command yet");
    if (!sim_process::available())
        QSKIP("the module emulator needs pseudo-terminals");
    sim_process sim;
    QVERIFY2(sim.start(work_.path(), { u"--address"_s, u"1"_s }), qPrintable(sim.error()));
    QCOMPARE(sim.command(u"outputs 05"_s), u"ok"_s);
    QCOMPARE(sim.command(u"in 2 on"_s), u"ok"_s);

    // States from the module over the wire, names from a file of the test's
    // own through the same profile layer.
    const QString names = work_.filePath(u"names.txt"_s);
    QList<orvalin::profile_entry> entries;
    for (int k = 1; k <= 8; ++k) {
        const QString channel = QString::number(k);
        entries.append({ orvalin::channel_section(u"1"_s), orvalin::channel_key(channel, true),
            k == 1 ? u"水泵"_s : u"输出"_s + channel });
        entries.append({ orvalin::channel_section(u"1"_s), orvalin::channel_key(channel, false),
            u"输入"_s + channel });
    }
    QVERIFY(orvalin::write_profile_entries(names, entries) != 0);
    const QStringList line = { u"-p"_s, sim.link_path(), u"-a"_s, u"1"_s, u"--names"_s, names };
    const run_result text = run(orvalinctl, line + QStringList { u"status"_s },
        QProcessEnvironment::systemEnvironment(), 10'000);
    QVERIFY2(text.exit_code == 0, qPrintable(describe(text)));
    const QStringList lines = text.out.split(u'\n', Qt::SkipEmptyParts);
    QCOMPARE(lines.size(), 16);
    for (const QString &expected :
        { u"output 1 on 水泵"_s, u"output 2 off 输出2"_s, u"output 3 on 输出3"_s,
            u"output 8 off 输出8"_s, u"input 1 off 输入1"_s, u"input 2 on 输入2"_s }) {
        QVERIFY2(lines.contains(expected), qPrintable(expected + u" not in:\n"_s + text.out));
    }

    const run_result json = run(orvalinctl, line + QStringList { u"--json"_s, u"status"_s },
        QProcessEnvironment::systemEnvironment(), 10'000);
    QVERIFY2(json.exit_code == 0, qPrintable(describe(json)));
    const QJsonObject status = QJsonDocument::fromJson(json.out.toUtf8()).object();
    QCOMPARE(status[u"address"_s].toInt(), 1);
    QCOMPARE(status[u"outputs"_s].toArray(),
        (QJsonArray { true, false, true, false, false, false, false, false }));
    QCOMPARE(status[u"inputs"_s].toArray(),
        (QJsonArray { false, true, false, false, false, false, false, false }));
    QCOMPARE(status[u"names"_s][u"outputs"_s][0].toString(), u"水泵"_s);
}

// An installed panel cannot write beside itself: its first start must leave
// the name file under XDG_DATA_HOME, with the usual two messages naming that
// path, and nothing in the program's directory.
void tst_package::unpacked_panel_keeps_names_under_xdg_data_home()
{
#ifdef Q_OS_UNIX
    const QString xdg = work_.filePath(u"xdg"_s);
    const QString expected = xdg + u"/orvalin/name.txt"_s;
    {
        // Ask the names layer where a panel in an unwritable (here: missing)
        // directory keeps its file.
        qputenv("XDG_DATA_HOME", QFile::encodeName(xdg));
        const QString missing = work_.filePath(u"missing/bin"_s);
        orvalin::toolkit::set_program_directory(missing);
        const QString chosen = orvalin::name_file_path();
        orvalin::toolkit::set_program_directory(QString());
        qunsetenv("XDG_DATA_HOME");
        QDir(xdg).removeRecursively();
        if (chosen.startsWith(missing))
            QSKIP("the name file on this branch is always beside the program; the "
                  "XDG_DATA_HOME fallback is not here yet");
    }

    // Permissions do not bind root: then the panel runs as nobody, which
    // needs to reach the test's directories.
    const bool as_root = ::geteuid() == 0;
    constexpr uid_t nobody = 65534;
    const QString bin = work_.filePath(u"readonly/bin"_s);
    const QString home = work_.filePath(u"home"_s);
    const QString plugins = work_.filePath(u"plugins/generic"_s);
    QVERIFY(
        QDir().mkpath(bin) && QDir().mkpath(xdg) && QDir().mkpath(home) && QDir().mkpath(plugins));
    QVERIFY(QFile::copy(unpacked(u"/usr/bin/orvalin"_s), bin + u"/orvalin"_s));
    QVERIFY(QFile::copy(QStringLiteral(ORVALIN_MESSAGE_CLOSER),
        plugins + u"/"_s + QFileInfo(QStringLiteral(ORVALIN_MESSAGE_CLOSER)).fileName()));
    QCOMPARE(::chmod(QFile::encodeName(work_.path()).constData(), 0755), 0);
    QCOMPARE(::chmod(QFile::encodeName(bin).constData(), 0555), 0);
    if (as_root) {
        for (const QString &dir : { xdg, home })
            QCOMPARE(::chown(QFile::encodeName(dir).constData(), nobody, nobody), 0);
    }

    QProcess panel;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(u"QT_QPA_PLATFORM"_s, u"offscreen"_s);
    environment.insert(u"QT_PLUGIN_PATH"_s, work_.filePath(u"plugins"_s));
    environment.insert(u"QT_QPA_GENERIC_PLUGINS"_s, u"orvalinmessagecloser"_s);
    environment.insert(u"HOME"_s, home);
    environment.insert(u"XDG_DATA_HOME"_s, xdg);
    environment.remove(u"XDG_RUNTIME_DIR"_s);
    panel.setProcessEnvironment(environment);
    if (as_root) {
        panel.setChildProcessModifier([] {
            if (::setgroups(0, nullptr) != 0 || ::setgid(nobody) != 0 || ::setuid(nobody) != 0)
                ::_exit(126);
        });
    }
    panel.start(bin + u"/orvalin"_s, {});
    QVERIFY2(panel.waitForStarted(), qPrintable(panel.errorString()));

    const QStringList messages { u"message: File Not Found: %1 not found."_s.arg(expected),
        u"message: Orvalin: 名称文件被创建。"_s };
    QString err;
    QDeadlineTimer deadline(20'000);
    while (!deadline.hasExpired() && panel.state() == QProcess::Running
        && err.count(u"message: "_s) < messages.size()) {
        panel.waitForReadyRead(100);
        err += QString::fromUtf8(panel.readAllStandardError());
    }
    // Still up after its messages: the main window is open.
    QTest::qWait(300);
    err += QString::fromUtf8(panel.readAllStandardError());
    const bool running = panel.state() == QProcess::Running;
    panel.kill();
    panel.waitForFinished();
    QVERIFY2(running, qPrintable(err));

    QStringList shown;
    for (const QString &line : err.split(u'\n'))
        if (line.startsWith(u"message: "_s))
            shown << line;
    QCOMPARE(shown, messages);
    QCOMPARE(QDir(bin).entryList(QDir::Files | QDir::Hidden), QStringList { u"orvalin"_s });
    QCOMPARE(read_profile(expected, u"地址码255"_s, u"第8路输入名称"_s), u"输入8"_s);
#else
    QSKIP("needs POSIX permissions");
#endif
}

QTEST_GUILESS_MAIN(tst_package)
#include "tst_package.moc"
