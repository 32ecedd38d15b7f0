#include "names/profile.h"
#include "sim_process.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QStringEncoder>
#include <QTemporaryDir>
#include <QTest>

#include <signal.h>

// The built orvalinctl against three emulated modules (addresses 1, 2, 7)
// on one pseudo-terminal. Each row of run_commands starts from the same
// state of the modules, so it passes alone as well as in order.
class tst_cli_e2e : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void run_commands_data();
    void run_commands();
    void watch_reports_changes_in_order_and_holds_the_port();
    void lost_port_ends_watch_with_its_reason();
    void pulse_stopped_by_signal_leaves_output_off_data();
    void pulse_stopped_by_signal_leaves_output_off();
    void pulse_keeps_a_signal_its_caller_ignores_ignored();

private:
    struct result {
        int code = -1;
        QString out;
        QString err;
    };
    result run(const QStringList &arguments, const QStringList &environment = {});
    void start(QProcess &process, const QStringList &arguments);
    int outputs(int address);

    QTemporaryDir dir_;
    QString names_;
    sim_process sim_;
};

void tst_cli_e2e::initTestCase()
{
    if (!sim_process::available())
        QSKIP("the module emulator needs pseudo-terminals");
    // Noise before every reply, as on a long RS-485 line.
    QVERIFY2(sim_.start(dir_.path(), { "--address", "1,2,7", "--garbage", "2" }),
        qPrintable(sim_.error()));
    QVERIFY(sim_.command("in 5 on @9").startsWith("error")); // no module 9 to set
    QVERIFY(QDir(dir_.path()).mkdir("sub"));
    names_ = dir_.filePath("name.txt");
    QVERIFY(orvalin::write_profile_entries(names_,
        { { QStringLiteral("地址码1"), QStringLiteral("第3路输出名称"),
              QStringLiteral("水泵 \"A\"") },
            { QStringLiteral("地址码1"), QStringLiteral("第5路输入名称"),
                QStringLiteral("门") } }));
    // A header with blanks around it, which the panel reads as well.
    QFile blank(dir_.filePath("blank.txt"));
    QVERIFY(blank.open(QIODevice::WriteOnly));
    blank.write(QStringEncoder("GB18030").encode(u" [地址码1]\t\r\n第2路输出名称=阀\r\n"));
    // UTF-16 with an odd byte at the end, which a rewrite would lose.
    QFile damaged(dir_.filePath("damaged.txt"));
    QVERIFY(damaged.open(QIODevice::WriteOnly));
    damaged.write(
        "\xFF\xFE" + QStringEncoder(QStringConverter::Utf16LE).encode(u"[地址码1]\r\n") + 'x');
}

tst_cli_e2e::result tst_cli_e2e::run(const QStringList &arguments, const QStringList &environment)
{
    QProcess process;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("ORVALIN_PORT", sim_.link_path());
    env.remove("ORVALIN_ADDRESS");
    for (const QString &entry : environment)
        env.insert(entry.section(u'=', 0, 0), entry.section(u'=', 1));
    process.setProcessEnvironment(env);
    QStringList plain = arguments;
    for (const QString &argument : arguments) {
        if (argument.startsWith(u'>')) { // the shell's redirection of standard output
            process.setStandardOutputFile(argument.mid(1));
            plain.removeAll(argument);
        }
    }
    process.setWorkingDirectory(dir_.path());
    process.start(QStringLiteral(ORVALINCTL_PATH), plain);
    // Runs the event loop meanwhile, so the emulator's output keeps flowing.
    for (QDeadlineTimer limit(15000);
         process.state() != QProcess::NotRunning && !limit.hasExpired();)
        QTest::qWait(5);
    // A hang is a failure, not the exit code 0 a process that never ended
    // still reports.
    const bool ended = process.state() == QProcess::NotRunning;
    return { ended && process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1,
        QString::fromUtf8(process.readAllStandardOutput()),
        QString::fromUtf8(process.readAllStandardError()) };
}

void tst_cli_e2e::start(QProcess &process, const QStringList &arguments)
{
    process.start(QStringLiteral(ORVALINCTL_PATH),
        QStringList { "-p", sim_.link_path(), "--names", names_ } + arguments);
    QVERIFY(process.waitForStarted());
}

int tst_cli_e2e::outputs(int address)
{
    const QString line = sim_.command(QStringLiteral("status @%1").arg(address));
    const auto match = QRegularExpression("^outputs ([0-9a-f]{2})").match(line);
    return match.hasMatch() ? match.captured(1).toInt(nullptr, 16) : -1;
}

void tst_cli_e2e::run_commands_data()
{
    // Lines for the emulator first, split at ";"; or "wait MS" with no
    // program on the line, or "run ARGS" for an orvalinctl run before.
    QTest::addColumn<QString>("emulator");
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("out"); // pattern on standard output
    QTest::addColumn<QString>("err"); // pattern on standard error
    QTest::addColumn<int>("outputs_1"); // outputs of module 1 afterwards
    const auto row = [](const char *name, const char *emulator, const QStringList &arguments,
                         int code, const QString &out, const QString &err, int outputs) {
        QTest::newRow(name) << emulator << arguments << code << out << err << outputs;
    };
    const QString quiet = "^$", help = "--help";
    // clang-format off
    row("status", "", { "status" }, 0, "^(output [1-8] (on|off).*\\n){8}(input [1-8] (on|off).*\\n){8}$", quiet, 0x00);
    // A result that cannot be written is no result, even when the module answered.
    row("status to a full disk", "", { "status", ">/dev/full" }, 1, quiet, "^orvalinctl: cannot write to standard output\\n$", 0x00);
    row("on", "", { "on", "1", "3" }, 0, quiet, quiet, 0x05);
    row("status named", "outputs 05;in 5 on", { "status" }, 0, "output 1 on\\n.*output 3 on 水泵 \"A\"\\n.*input 5 on 门\\n", quiet, 0x05);
    row("status json", "outputs 05;in 5 on", { "--json", "status" }, 0,
        "^\\{\"address\":1,\"outputs\":\\[true,false,true(,false){5}\\],\"inputs\":\\[(false,){4}true(,false){3}\\],"
        "\"names\":\\{\"outputs\":\\[\"\",\"\",\"水泵 \\\\\"A\\\\\"\".*\\],\"inputs\":\\[(\"\",){4}\"门\"(,\"\"){3}\\]\\}\\}\\n$", quiet, 0x05);
    row("toggle", "outputs 05", { "toggle", "3", "4" }, 0, quiet, quiet, 0x09);
    row("off", "outputs 09", { "off", "1" }, 0, quiet, quiet, 0x08);
    row("all on", "", { "all", "on" }, 0, quiet, quiet, 0xFF);
    row("all off", "outputs ff", { "all", "off" }, 0, quiet, quiet, 0x00);
    // Numbers have one form everywhere: leading zeros and blanks around, never a sign.
    row("channel with a leading zero", "", { "on", "03" }, 0, quiet, quiet, 0x04);
    row("channel with blanks", "outputs 04", { "off", " 3 " }, 0, quiet, quiet, 0x00);
    row("address with a sign", "", { "-a", "+1", "on", "4" }, 2, quiet, "--address '\\+1' is not an address", 0x00);
    row("other address", "", { "-a", "7", "on", "2" }, 0, quiet, quiet, 0x00);
    row("empty address", "", { "-a", "", "on", "4" }, 2, quiet, "--address", 0x00);
    row("address from environment", "", { "status", "ORVALIN_ADDRESS=7" }, 0, "^output 1 off\\noutput 2 on\\n", "no section \\[地址码7\\]; names left blank", 0x00);
    row("pulse", "", { "pulse", "5", "200ms" }, 0, quiet, quiet, 0x00);
    row("pulse the first output", "", { "pulse", "1", "200ms" }, 0, quiet, quiet, 0x00);
    row("scan", "in 5 on", { "scan", "0-20", "--timeout", "150" }, 0,
        "^1 outputs 00000000 inputs 00001000\\n2 outputs 00000000 inputs 00000000\\n7 outputs 01000000 inputs 00000000\\n$", quiet, 0x00);
    row("scan json", "", { "--json", "scan", "7" }, 0, "^\\{\"address\":7,\"outputs\":\\[false,true(,false){6}\\],\"inputs\":\\[false(,false){7}\\]\\}\\n$", quiet, 0x00);
    row("scan none", "", { "scan", "3-5", "--timeout", "20" }, 1, quiet, quiet, 0x00);
    row("scan past 255", "", { "scan", "250-256" }, 2, quiet, help, 0x00);
    row("scan from past 255", "", { "scan", "256-5" }, 2, quiet, help, 0x00);
    row("names", "", { "names", "1" }, 0, "^output 1\\n.*output 3 水泵 \"A\"\\n.*input 5 门\\n", quiet, 0x00);
    row("names json", "", { "--json", "names", "1" }, 0, "^\\{\"address\":1,\"outputs\":\\[\"\",\"\",\"水泵 .*\\],\"inputs\":\\[.*\"门\".*\\]\\}\\n$", quiet, 0x00);
    row("rename", "", { "names", "1", "in8", "泵, \"B\"" }, 0, quiet, quiet, 0x00);
    row("name with line break", "", { "names", "1", "out1", "a\nb" }, 2, quiet, "line break.*\\n.*--help", 0x00);
    row("names under a header with blanks", "", { "--names", dir_.filePath("blank.txt"), "names", "1" }, 0, "^output 1\noutput 2 阀\n", quiet, 0x00);
    row("section missing", "", { "names", "9" }, 1, quiet, "no section \\[地址码9\\]", 0x00);
    row("rename refused", "", { "--names", dir_.filePath("damaged.txt"), "names", "1", "out1", "x" }, 1, quiet, "^orvalinctl: could not write .*damaged\\.txt \\(damaged UTF-16 text\\); the name was not saved\\n$", 0x00);
    row("name file missing", "", { "--names", dir_.filePath("absent.txt"), "names", "1", "out1", "x" }, 2, quiet, "no name file", 0x00);
    row("absent address", "", { "-a", "5", "status" }, 1, quiet, "module 5 on .*COM1 did not answer.*55 05 10 00 00 00 00 6a", 0x00);
    // A reply later than its exchange waits in the terminal; the next program must not take it.
    row("late reply", "delay 150", { "status", "--timeout", "50" }, 1, quiet, "did not answer", 0x00);
    row("late reply left behind", "delay 150;run status --timeout 50;wait 300;silent on", { "status", "--timeout", "100" }, 1, quiet, "did not answer", 0x00);
    row("silent module", "silent on", { "on", "1", "--timeout", "50" }, 1, quiet,
        "did not confirm output 1 on.*no reply\\n.*sent:\\n +55 01 12 00 00 00 01 69\\n( +55 01 10 00 00 00 00 66\\n){3}$", 0x01);
    row("answering again", "outputs 01", { "off", "1" }, 0, quiet, quiet, 0x00);
    row("bad channel", "", { "on", "9" }, 2, quiet, help, 0x00);
    row("bad duration", "", { "pulse", "1", "soon" }, 2, quiet, help, 0x00);
    row("unknown command", "", { "frobnicate" }, 2, quiet, help, 0x00);
    row("options before serve", "", { "-p", "1", "serve", "--check" }, 2, quiet, "does not apply to serve", 0x00);
    // Relative to the current folder (the emulator's), as the shell takes it.
    row("port path through a folder", "", { "-p", "sub/../" + QFileInfo(sim_.link_path()).fileName(), "status" }, 0, "^output 1 ", quiet, 0x00);
    row("missing port", "", { "-p", "/nonexistent/tty", "status" }, 3, quiet, "/nonexistent/tty: no such device", 0x00);
    row("version", "", { "--version" }, 0, "^orvalinctl \\d+\\.\\d+", quiet, 0x00);
    row("help", "", { "--help" }, 0, "pulse CH DURATION.*\\n.*Exit codes", quiet, 0x00);
    // clang-format on
}

void tst_cli_e2e::run_commands()
{
    QFETCH(QString, emulator);
    QFETCH(QStringList, arguments);
    QFETCH(int, code);
    QFETCH(QString, out);
    QFETCH(QString, err);
    QFETCH(int, outputs_1);
    if (arguments.contains(">/dev/full") && !QFile::exists("/dev/full"))
        QSKIP("no /dev/full here");
    const QStringList baseline { "silent off", "delay 0", "outputs 00", "inputs 00",
        "outputs 00 @2", "inputs 00 @2", "outputs 02 @7", "inputs 00 @7" };
    for (const QString &line : baseline + emulator.split(u';', Qt::SkipEmptyParts)) {
        if (line.startsWith("wait "))
            QTest::qWait(line.mid(5).toInt());
        else if (line.startsWith("run "))
            run(QStringList { "--names=" + names_ } + line.mid(4).split(u' '));
        else
            QCOMPARE(sim_.command(line), "ok");
    }
    QStringList environment = arguments.filter(QRegularExpression("^[A-Z_]+="));
    for (const QString &entry : environment)
        arguments.removeAll(entry);
    if (!arguments.contains("--names"))
        arguments.prepend("--names=" + names_);
    const result got = run(arguments, environment);
    const auto dotall = QRegularExpression::DotMatchesEverythingOption;
    QVERIFY2(QRegularExpression(out, dotall).match(got.out).hasMatch(), qPrintable(got.out));
    QVERIFY2(QRegularExpression(err, dotall).match(got.err).hasMatch(), qPrintable(got.err));
    QCOMPARE(got.code, code);
    QCOMPARE(outputs(1), outputs_1);
    QVERIFY(!QFile::exists(dir_.filePath("absent.txt"))); // never created
}

void tst_cli_e2e::watch_reports_changes_in_order_and_holds_the_port()
{
    QProcess watch;
    start(watch, { "--csv", "--timeout", "100", "watch" });
    QByteArray first_lines;
    QTRY_VERIFY2((first_lines += watch.readAllStandardOutput()).contains("input 8,off"),
        watch.readAllStandardError().constData());
    // The port is held: a second program gets "busy", never a turn.
    const result busy = run({ "status" });
    QCOMPARE(busy.code, 3);
    QVERIFY2(busy.err.contains(sim_.link_path() + ": busy"), qPrintable(busy.err));

    // Each change waits for its line, so the order seen is the order made.
    const QStringList changes { "in 2 on", "outputs 80", "outputs 84", "in 2 off", "silent on",
        "silent off" };
    const QStringList expected { "input 2,on,", "output 8,on,", R"(output 3,on,"水泵 ""A""")",
        "input 2,off,", "module,not answering,", "module,answering," };
    QString seen;
    for (qsizetype i = 0; i < changes.size(); ++i) {
        QCOMPARE(sim_.command(changes[i]), "ok");
        QTRY_VERIFY2(
            (seen += QString::fromUtf8(watch.readAllStandardOutput())).contains(expected[i]),
            qPrintable(seen));
    }
#ifdef Q_OS_UNIX
    ::kill(pid_t(watch.processId()), SIGINT); // Ctrl-C
#else
    watch.terminate();
#endif
    QVERIFY(watch.waitForFinished(5000));
    QCOMPARE(watch.exitStatus(), QProcess::NormalExit);
    QCOMPARE(watch.exitCode(), 0);
    QStringList events;
    for (const QString &line : seen.split('\n', Qt::SkipEmptyParts)) {
        QVERIFY2(QRegularExpression(R"(^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}(Z|[+-]\d\d:\d\d),1,)")
                     .match(line)
                     .hasMatch(),
            qPrintable(line));
        events << line.section(u',', 2);
    }
    QCOMPARE(events, expected);

    // JSON lines, names escaped by the JSON writer; SIGTERM ends it with 0 too.
    QCOMPARE(sim_.command("outputs 04"), "ok");
    start(watch, { "--json", "watch" });
    QString json;
    QTRY_VERIFY((json += QString::fromUtf8(watch.readAllStandardOutput())).count(u'\n') >= 4);
    const QJsonObject third = QJsonDocument::fromJson(json.section(u'\n', 3, 3).toUtf8()).object();
    QCOMPARE(third.value("name"), "水泵 \"A\"");
    // Keys in the same order as every other command writes them.
    QVERIFY2(QRegularExpression("^\\{\"time\":\"[^\"]+\",\"address\":1,\"kind\":\"output\","
                                "\"channel\":3,\"state\":\"on\",\"name\":")
                 .match(json.section(u'\n', 3, 3))
                 .hasMatch(),
        qPrintable(json));
    watch.terminate();
    QVERIFY(watch.waitForFinished(5000));
    QCOMPARE(watch.exitCode(), 0);
}

void tst_cli_e2e::lost_port_ends_watch_with_its_reason()
{
    QTemporaryDir dir;
    sim_process pulled;
    QVERIFY2(pulled.start(dir.path()), qPrintable(pulled.error()));
    QProcess watch;
    watch.start(QStringLiteral(ORVALINCTL_PATH), { "-p", pulled.link_path(), "watch" });
    QTRY_VERIFY(watch.canReadLine()); // polling
    pulled.kill();
    QVERIFY(watch.waitForFinished(5000));
    QCOMPARE(watch.exitCode(), 3);
    const QString err = QString::fromUtf8(watch.readAllStandardError());
    QVERIFY2(err.contains("lost port " + pulled.link_path()), qPrintable(err));
}

void tst_cli_e2e::pulse_stopped_by_signal_leaves_output_off_data()
{
    QTest::addColumn<int>("signal_number");
    QTest::addColumn<int>("reply_delay"); // ms the emulator holds each reply back
    QTest::newRow("SIGTERM") << int(SIGTERM) << 0;
    QTest::newRow("SIGINT") << int(SIGINT) << 0;
#ifdef Q_OS_UNIX
    QTest::newRow("SIGHUP") << int(SIGHUP) << 0;
    QTest::newRow("SIGALRM") << int(SIGALRM) << 0; // timeout -s ALRM
    QTest::newRow("SIGUSR1") << int(SIGUSR1) << 0;
    QTest::newRow("SIGUSR2") << int(SIGUSR2) << 0;
#ifdef SIGRTMIN
    QTest::newRow("SIGRTMIN+3") << int(SIGRTMIN + 3) << 0;
#endif
#endif
    // Signalled while the on waits for its reply: the off goes out at once,
    // not after the reply.
    QTest::newRow("SIGTERM while switching on") << int(SIGTERM) << 3000;
}

void tst_cli_e2e::pulse_stopped_by_signal_leaves_output_off()
{
    QFETCH(int, signal_number);
    QFETCH(int, reply_delay);
    QCOMPARE(sim_.command("outputs 00"), "ok");
    QCOMPARE(sim_.command(QStringLiteral("delay %1").arg(reply_delay)), "ok");
    const auto prompt_again = qScopeGuard([this, reply_delay] {
        sim_.command("delay 0");
        // Replies still held back must reach the terminal, where the next
        // program drops them, rather than arrive during its exchange.
        QTest::qWait(reply_delay > 0 ? reply_delay + 500 : 0);
    });
    QProcess pulse;
    start(pulse, { "pulse", "6", "10s", "--timeout", "8000" });
    // The emulator switches on when the frame comes in, before its reply.
    QTRY_COMPARE(outputs(1), 0x20);
    QElapsedTimer since_signal;
    since_signal.start();
#ifdef Q_OS_UNIX
    ::kill(pid_t(pulse.processId()), signal_number);
#else
    pulse.terminate();
#endif
    if (reply_delay > 0)
        QTRY_COMPARE_WITH_TIMEOUT(outputs(1), 0x00, reply_delay / 2);
    // The late reply to the on may be taken for the off's and cost one more
    // poll, with its own delay.
    QVERIFY(pulse.waitForFinished(2 * reply_delay + 5000));
    const QByteArray err = pulse.readAllStandardError();
    QVERIFY2(since_signal.elapsed() < 2 * reply_delay + 2000, err.constData());
    QCOMPARE(pulse.exitStatus(), QProcess::NormalExit);
    QCOMPARE(pulse.exitCode(), 128 + signal_number);
    QCOMPARE(err, QByteArray());
    QCOMPARE(outputs(1), 0x00);
}

// nohup: SIGHUP ignored from the start stays ignored; the pulse runs out.
void tst_cli_e2e::pulse_keeps_a_signal_its_caller_ignores_ignored()
{
#ifdef Q_OS_UNIX
    QCOMPARE(sim_.command("outputs 00"), "ok");
    QProcess pulse;
    pulse.setChildProcessModifier([] { ::signal(SIGHUP, SIG_IGN); });
    start(pulse, { "pulse", "6", "1s" });
    QTRY_COMPARE(outputs(1), 0x20);
    ::kill(pid_t(pulse.processId()), SIGHUP);
    QVERIFY(pulse.waitForFinished(10000));
    QCOMPARE(pulse.exitStatus(), QProcess::NormalExit);
    QVERIFY2(pulse.exitCode() == 0, pulse.readAllStandardError().constData());
    QCOMPARE(outputs(1), 0x00);
#else
    QSKIP("no SIGHUP here");
#endif
}

QTEST_GUILESS_MAIN(tst_cli_e2e)
#include "tst_cli_e2e.moc"
