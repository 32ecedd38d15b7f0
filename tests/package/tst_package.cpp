// The Debian package, built from this build tree into a directory of the
// test's own (never one left by an earlier run), read with dpkg-deb, checked
// by lintian where it is installed, and its orvalinctl run unpacked. The
// installed programs are tried by make install-check.

#include <QDir>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

using namespace Qt::StringLiterals;

namespace {

struct run_result {
    int exit_code = -1;
    QString out;
    QString err;
    QString text() const { return u"exit %1\n%2%3"_s.arg(exit_code).arg(out, err); }
};

run_result run(const QString &program, const QStringList &arguments)
{
    QProcess process;
    process.start(program, arguments);
    run_result result;
    if (process.waitForFinished(120'000) && process.exitStatus() == QProcess::NormalExit)
        result.exit_code = process.exitCode();
    process.kill();
    process.waitForFinished();
    result.out = QString::fromUtf8(process.readAllStandardOutput());
    result.err = QString::fromUtf8(process.readAllStandardError());
    return result;
}

QString tool(const char *name)
{
    return QStandardPaths::findExecutable(QString::fromLatin1(name));
}

// Everything the package installs; a file missing here is a file nobody
// maintains.
const QStringList expected_files { u"/etc/orvalin/orvalin.conf"_s,
    u"/lib/systemd/system/orvalin.service"_s, u"/lib/udev/rules.d/70-orvalin.rules"_s,
    u"/usr/bin/orvalin"_s, u"/usr/bin/orvalinctl"_s, u"/usr/share/applications/orvalin.desktop"_s,
    u"/usr/share/bash-completion/completions/orvalinctl"_s,
    u"/usr/share/doc/orvalin/changelog.gz"_s, u"/usr/share/doc/orvalin/copyright"_s,
    u"/usr/share/icons/hicolor/128x128/apps/orvalin.png"_s,
    u"/usr/share/icons/hicolor/256x256/apps/orvalin.png"_s,
    u"/usr/share/icons/hicolor/32x32/apps/orvalin.png"_s,
    u"/usr/share/icons/hicolor/64x64/apps/orvalin.png"_s,
    u"/usr/share/icons/hicolor/scalable/apps/orvalin.svg"_s,
    u"/usr/share/lintian/overrides/orvalin"_s, u"/usr/share/man/man1/orvalin.1.gz"_s,
    u"/usr/share/man/man1/orvalinctl.1.gz"_s };

} // namespace

class tst_package : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void contents();
    void unpacked_orvalinctl();

private:
    QString path(const QString &name) const { return work_.filePath(name); }

    QTemporaryDir work_;
    QString deb_;
};

void tst_package::initTestCase()
{
#ifndef ORVALIN_CPACK
    QSKIP("the Debian package is made on Linux only");
#else
    if (tool("dpkg-deb").isEmpty())
        QSKIP("dpkg-deb is not installed: no Debian package can be built or read here");
    QVERIFY(work_.isValid());
    // cpack stages below -B, so a parallel "make package" cannot mix in.
    const run_result cpack = run(QStringLiteral(ORVALIN_CPACK),
        { u"--config"_s, QStringLiteral(ORVALIN_BUILD_DIR "/CPackConfig.cmake"), u"-G"_s, u"DEB"_s,
            u"-B"_s, path(u"out"_s) });
    QVERIFY2(cpack.exit_code == 0, qPrintable(cpack.text()));
    const QString name = u"orvalin_%1_%2.deb"_s.arg(QStringLiteral(ORVALIN_VERSION),
        run(tool("dpkg"), { u"--print-architecture"_s }).out.trimmed());
    QCOMPARE(QDir(path(u"out"_s)).entryList({ u"*.deb"_s }), QStringList { name });
    deb_ = path(u"out/"_s + name);
    QCOMPARE(run(tool("dpkg-deb"), { u"-x"_s, deb_, path(u"root"_s) }).exit_code, 0);
#endif
}

void tst_package::contents()
{
    const QStringList fields = run(tool("dpkg-deb"),
        { u"--show"_s,
            u"--showformat=${Package}\n${Version}\n${Section}\n${Recommends}\n${Maintainer}\n"
            "${Depends}\n${Description}"_s,
            deb_ })
                                   .out.split(u'\n');
    QVERIFY(fields.size() > 8); // a summary and a long description
    QCOMPARE(fields.mid(0, 4),
        (QStringList { u"orvalin"_s, QStringLiteral(ORVALIN_VERSION), u"electronics"_s,
            u"mosquitto-clients"_s }));
    QVERIFY2(fields[4].contains(QRegularExpression(u"^.+ <.+@.+>$"_s)), qPrintable(fields[4]));
    // From the programs (dpkg-shlibdeps), and the font of the Chinese texts.
    for (const QString &package : { u"fonts-wqy-microhei"_s, u"libc6 "_s, u"libqt6core6 "_s,
             u"libqt6widgets6 "_s, u"libqt6serialport6 "_s })
        QVERIFY2(fields[5].contains(package), qPrintable(fields[5]));

    // Files with the owners and modes Debian expects.
    QStringList files;
    const QString listing = run(tool("dpkg-deb"), { u"--contents"_s, deb_ }).out;
    for (const QString &line : listing.split(u'\n', Qt::SkipEmptyParts)) {
        const QStringList columns = line.split(u' ', Qt::SkipEmptyParts);
        const QString file = columns.last().mid(1); // "./usr/bin/orvalin"
        const QString mode = columns[0].startsWith(u'd') || file.startsWith(u"/usr/bin/"_s)
            ? u"rwxr-xr-x"_s
            : u"rw-r--r--"_s;
        QVERIFY2(columns[0].mid(1) == mode && columns[1] == u"root/root"_s, qPrintable(line));
        if (!columns[0].startsWith(u'd'))
            files << file;
    }
    files.sort();
    QCOMPARE(files, expected_files);

    // The configuration survives upgrades; no maintainer script enables or
    // starts anything.
    QCOMPARE(run(tool("dpkg-deb"), { u"--control"_s, deb_, path(u"control"_s) }).exit_code, 0);
    QCOMPARE(QDir(path(u"control"_s)).entryList(QDir::Files),
        (QStringList { u"conffiles"_s, u"control"_s, u"md5sums"_s }));
    QFile conffiles(path(u"control/conffiles"_s));
    QVERIFY(conffiles.open(QIODevice::ReadOnly));
    QCOMPARE(conffiles.readAll(), "/etc/orvalin/orvalin.conf\n");

    if (tool("lintian").isEmpty())
        QSKIP("lintian is not installed (sh scripts/deps.sh lint); the rest passed");
#ifdef ORVALIN_SANITIZED
    QSKIP("a sanitizer build makes no package to ship: lintian left out; the rest passed");
#endif
    const run_result lint = run(tool("lintian"), { u"--fail-on=error,warning"_s, deb_ });
    QVERIFY2(lint.exit_code == 0, qPrintable(lint.text()));
}

void tst_package::unpacked_orvalinctl()
{
    // It starts outside the build tree: every library it needs is found.
    QCOMPARE(run(path(u"root/usr/bin/orvalinctl"_s), { u"--version"_s }).out,
        u"orvalinctl "_s + QStringLiteral(ORVALIN_VERSION "\n"));
}

QTEST_GUILESS_MAIN(tst_package)
#include "tst_package.moc"
