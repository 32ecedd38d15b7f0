#include "sim_process.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>

// The built orvalinctl's ports command on this machine, with the user's data
// folder in a temporary folder: the emulator serves port 7 from there.
class tst_ports_e2e : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void lists_the_emulator_under_its_number();
    void assign_and_unassign_data();
    void assign_and_unassign();
    void broken_entry_is_named_and_never_hangs_data();
    void broken_entry_is_named_and_never_hangs();
    void probe_finds_the_modules_and_skips_a_held_port();

private:
    struct result {
        int code = -1;
        QString out;
        QString err;
    };
    result run(const QStringList &arguments);
    QString data(const QString &name) const { return dir_.filePath("xdg/orvalin/" + name); }

    QTemporaryDir dir_;
    sim_process sim_;
};

void tst_ports_e2e::initTestCase()
{
    if (!sim_process::available())
        QSKIP("the module emulator needs pseudo-terminals");
    QVERIFY(QDir(dir_.path()).mkpath("xdg/orvalin"));
    QVERIFY(QDir(dir_.path()).mkpath("folder"));
    QCOMPARE(::mkfifo(QFile::encodeName(dir_.filePath("fifo")).constData(), 0600), 0);
    QVERIFY2(sim_.start(dir_.filePath("xdg/orvalin"), { "--address", "2,9" }, "COM7"),
        qPrintable(sim_.error()));
}

tst_ports_e2e::result tst_ports_e2e::run(const QStringList &arguments)
{
    QProcess process;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("XDG_DATA_HOME", dir_.filePath("xdg"));
    process.setProcessEnvironment(env);
    process.setWorkingDirectory(dir_.path());
    process.start(QStringLiteral(ORVALINCTL_PATH), arguments);
    for (QDeadlineTimer limit(15000);
         process.state() != QProcess::NotRunning && !limit.hasExpired();)
        QTest::qWait(5);
    const bool ended = process.state() == QProcess::NotRunning;
    if (!ended)
        process.kill();
    return { ended && process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1,
        QString::fromUtf8(process.readAllStandardOutput()),
        QString::fromUtf8(process.readAllStandardError()) };
}

void tst_ports_e2e::lists_the_emulator_under_its_number()
{
    const result plain = run({ "ports" });
    QCOMPARE(plain.code, 0);
    const QString line = QStringLiteral("7 %1 entry=%2 free\n").arg(sim_.device(), data("COM7"));
    QVERIFY2(plain.out.contains(line), qPrintable(plain.out));

    const result json = run({ "ports", "--json" });
    QCOMPARE(json.code, 0);
    bool found = false;
    for (const QString &text : json.out.split(u'\n', Qt::SkipEmptyParts)) {
        const QJsonObject object = QJsonDocument::fromJson(text.toUtf8()).object();
        QVERIFY2(!object.isEmpty(), qPrintable(text));
        QCOMPARE(object.keys().size(), 15);
        if (object["device"].toString() == sim_.device()) {
            found = true;
            QCOMPARE(object["ports"].toArray().first().toInt(), 7);
            QCOMPARE(object["in_use"].toString(), "free");
            QVERIFY(object["pid"].isNull());
        }
    }
    QVERIFY(found);
}

void tst_ports_e2e::assign_and_unassign_data()
{
    QTest::addColumn<QStringList>("arguments"); // <sim>: the emulator's link, <dir>: the test's
    QTest::addColumn<QString>("before"); // COM12 in the data folder: "", "link", "file"
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("said"); // in the output, standard error included
    QTest::addColumn<QString>("after"); // COM12 then: "", "link to <sim>", "file"
    // clang-format off
    QTest::newRow("assign") << QStringList { "assign", "12", "<sim>" } << "" << 0 << "port 12: " << "<sim>";
    QTest::newRow("assign over a link") << QStringList { "assign", "12", "<sim>" } << "link" << 0 << "(was -> /dev/null)" << "<sim>";
    QTest::newRow("number 0") << QStringList { "assign", "0", "<sim>" } << "" << 2 << "'0' is not a port number 1-255" << "";
    QTest::newRow("number 256") << QStringList { "assign", "256", "<sim>" } << "" << 2 << "'256' is not" << "";
    QTest::newRow("not a number") << QStringList { "assign", "x", "<sim>" } << "" << 2 << "'x' is not" << "";
    QTest::newRow("missing device") << QStringList { "assign", "12", "<dir>/nothing" } << "" << 3 << "<dir>/nothing: no such device; nothing changed" << "";
    QTest::newRow("folder") << QStringList { "assign", "12", "<dir>/folder" } << "" << 2 << "<dir>/folder: a folder, not a character device" << "";
    QTest::newRow("fifo") << QStringList { "assign", "12", "<dir>/fifo" } << "" << 2 << "<dir>/fifo: a FIFO, not a character device" << "";
    QTest::newRow("not serial") << QStringList { "assign", "12", "/dev/null" } << "link" << 2 << "/dev/null: not a serial device" << "/dev/null";
    QTest::newRow("file in the way") << QStringList { "assign", "12", "<sim>" } << "file" << 3 << "COM12 is not a symbolic link; left alone" << "file";
    QTest::newRow("unassign") << QStringList { "unassign", "12" } << "link" << 0 << "port 12: removed" << "";
    QTest::newRow("unassign nothing") << QStringList { "unassign", "12" } << "" << 0 << "nothing removed" << "";
    QTest::newRow("unassign a file") << QStringList { "unassign", "12" } << "file" << 3 << "not a symbolic link; left alone" << "file";
    QTest::newRow("unassign 300") << QStringList { "unassign", "300" } << "" << 2 << "'300' is not" << "";
    // clang-format on
}

void tst_ports_e2e::assign_and_unassign()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, before);
    QFETCH(int, code);
    QFETCH(QString, said);
    QFETCH(QString, after);
    const QString entry = data("COM12");
    QFile::remove(entry);
    if (before == "link")
        QVERIFY(QFile::link("/dev/null", entry));
    if (before == "file") {
        QFile file(entry);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("mine");
    }
    for (QString &argument : arguments)
        argument.replace("<sim>", sim_.link_path()).replace("<dir>", dir_.path());
    said.replace("<dir>", dir_.path());
    const result done = run(QStringList { "ports" } + arguments);
    QCOMPARE(done.code, code);
    QVERIFY2((done.out + done.err).contains(said), qPrintable(done.out + done.err));
    const QFileInfo info(entry);
    if (after.isEmpty())
        QVERIFY(!info.exists() && !info.isSymLink());
    else if (after == "file")
        QVERIFY(info.isFile() && !info.isSymLink() && info.size() == 4);
    else
        QCOMPARE(info.symLinkTarget(), after.replace("<sim>", sim_.link_path()));
    if (after == "<sim>" || after == sim_.link_path()) {
        // The number now opens the emulator.
        const result status = run({ "-p", "12", "-a", "9", "status" });
        QCOMPARE(status.code, 0);
    }
    QFile::remove(entry);
}

void tst_ports_e2e::broken_entry_is_named_and_never_hangs_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QString>("reason");
    QTest::newRow("dangling") << "dangling"
                              << "no such device (a symbolic link to";
    QTest::newRow("loop") << "loop"
                          << "not a serial device (a loop of symbolic links";
    QTest::newRow("fifo") << "fifo"
                          << "not a serial device (a FIFO, not a character device)";
    QTest::newRow("file") << "file"
                          << "not a serial device (a regular file";
}

// The entry is named both by ports and when a command opens it; a FIFO
// never makes either wait.
void tst_ports_e2e::broken_entry_is_named_and_never_hangs()
{
    QFETCH(QString, kind);
    QFETCH(QString, reason);
    const QString entry = data("COM30");
    if (kind == "dangling") {
        QVERIFY(QFile::link(dir_.filePath("gone"), entry));
    } else if (kind == "loop") {
        QVERIFY(QFile::link(data("COM31"), entry));
        QVERIFY(QFile::link(entry, data("COM31")));
    } else if (kind == "fifo") {
        QCOMPARE(::mkfifo(QFile::encodeName(entry).constData(), 0600), 0);
    } else {
        QFile file(entry);
        QVERIFY(file.open(QIODevice::WriteOnly));
    }
    const result listed = run({ "ports" });
    const result opened = run({ "-p", "30", "status" });
    QFile::remove(data("COM31"));
    QFile::remove(entry);
    QCOMPARE(listed.code, 0);
    QVERIFY2(listed.out.contains(QStringLiteral("30 %1 wrong: %2").arg(entry, reason)),
        qPrintable(listed.out));
    QCOMPARE(opened.code, 3);
    QVERIFY2(opened.err.contains(QStringLiteral("cannot open port 30 (%1): %2").arg(entry, reason)),
        qPrintable(opened.err));
}

void tst_ports_e2e::probe_finds_the_modules_and_skips_a_held_port()
{
    const auto modules_on = [this](const QString &out) {
        const qsizetype start = out.indexOf(sim_.device() + ": addresses 0-12\n");
        if (start < 0)
            return QStringList();
        QStringList found;
        for (const QString &line : out.mid(start).split(u'\n').mid(1)) {
            if (!line.startsWith("  "))
                break;
            found.append(line.trimmed());
        }
        return found;
    };
    const result free = run({ "ports", "--probe", "0-12" });
    QCOMPARE(free.code, 0);
    QCOMPARE(modules_on(free.out),
        (QStringList {
            "2 outputs 00000000 inputs 00000000", "9 outputs 00000000 inputs 00000000" }));

    QProcess watch;
    watch.start(QStringLiteral(ORVALINCTL_PATH), { "-p", sim_.link_path(), "-a", "2", "watch" });
    QVERIFY(watch.waitForStarted());
    // Holding the port once its first reply is printed.
    QByteArray printed;
    QTRY_VERIFY2_WITH_TIMEOUT((printed += watch.readAllStandardOutput()).contains("output 1"),
        watch.readAllStandardError().constData(), 10000);
    const qint64 pid = watch.processId();
    const QString frames = sim_.command("status @9");
    const result held = run({ "ports", "--probe", "0-12" });
    watch.terminate();
    QVERIFY(watch.waitForFinished(5000));
    QCOMPARE(held.code, 0);
    const QString skipped
        = QStringLiteral("%1: skipped, in-use pid=%2\n").arg(sim_.device()).arg(pid);
    QVERIFY2(held.out.contains(skipped), qPrintable(held.out));
    QVERIFY(modules_on(held.out).isEmpty());
    // Never opened: module 9 saw no poll.
    QCOMPARE(sim_.command("status @9"), frames);
}

QTEST_GUILESS_MAIN(tst_ports_e2e)
#include "tst_ports_e2e.moc"
