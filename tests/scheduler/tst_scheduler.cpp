// The scheduler as a pure function of its inputs and the time it is
// given: polls, commands, pulses and link loss; the command queue; the
// log's summary of repeated lines.
#include "service/command_queue.h"
#include "service/config.h"
#include "service/log_summary.h"
#include "service/payload.h"
#include "service/scheduler.h"

#include <QTest>

#include <map>

using namespace orvalin;
using namespace orvalin::service;
using namespace std::chrono_literals;

class tst_scheduler : public QObject {
    Q_OBJECT

private slots:
    void scheduling_data();
    void scheduling();
    void queued_commands_data();
    void queued_commands();
    void the_command_queue_is_bounded();
    void repeated_log_lines_data();
    void repeated_log_lines();
};

void tst_scheduler::scheduling_data()
{
    // The config's [line] modules and interval and its [safety] lines; then
    // events on a fake clock: "@ms" sets the time, "set A/K PAYLOAD" is a set
    // message, "next" asks what goes out ("poll A", "on A/K", "off A/K",
    // "all A=V", "wait MS" until a poll or an interlock wait, "idle"),
    // "reply HEX" and "timeout" end the exchange on the line, "due" queues
    // the pulse offs fallen due and "pulse" shows when the next one does;
    // "periods A" shows the times between the polls of module A so far.
    // The trace also shows "online A" and "offline A" as they happen.
    QTest::addColumn<QString>("config");
    QTest::addColumn<QStringList>("events");
    QTest::addColumn<QStringList>("expected");
    const auto row = [](const char *name, const char *config, const QStringList &events,
                         const QStringList &expected) {
        QTest::newRow(name) << QString::fromLatin1(config) << events << expected;
    };
    // clang-format off
    row("commands jump the polls, a due poll goes between two", "modules = 1, 2\ninterval = 20",
        { "@0", "next", "reply 00", "next", "@5", "timeout", "set 1/3 ON", "set 1/4 ON", "next",
          "reply 04", "next", "reply 0c", "next", "@20", "set 1/3 OFF", "set 1/4 OFF", "next",
          "reply 08", "next", "reply 08", "next", "reply 00", "next", "reply 00", "next" },
        { "poll 1", "online 1", "poll 2", "on 1/3", "on 1/4", "wait 15", "off 1/3", "poll 1",
          "off 1/4", "poll 2", "online 2", "wait 20" });
    row("the line is kept busy while modules are due", "modules = 1, 2, 7\ninterval = 50",
        { "@0", "next", "@19", "reply 00", "next", "@38", "reply 00", "next", "@57", "reply 00",
          "next", "@76", "reply 00", "next", "@95", "reply 00", "next", "@114", "reply 00", "next",
          "@133", "reply 00", "next", "periods 1", "periods 7" },
        { "poll 1", "online 1", "poll 2", "online 2", "poll 7", "online 7", "poll 1", "poll 2",
          "poll 7", "poll 1", "poll 2", "periods 57,57", "periods 57" });
    row("one module keeps its beat through a late timer", "modules = 1\ninterval = 50",
        { "@0", "next", "@19", "reply 00", "next", "@51", "next", "reply 00", "next", "@103",
          "next", "reply 00", "next" },
        { "poll 1", "online 1", "wait 31", "poll 1", "wait 49", "poll 1", "wait 50" });
    row("interlock: the partner's off, then the delay", "modules = 7\ninterval = 200\n"
        "[safety]\ninterlock = 7/1+7/2\ninterlock_delay = 60",
        { "@0", "next", "reply 02", "set 7/1 ON", "next", "@10", "reply 00", "next", "@69", "next",
          "@70", "next", "reply 01", "next" },
        { "poll 7", "online 7", "off 7/2", "wait 60", "wait 1", "on 7/1", "wait 130" });
    row("a pulse ends on_time after the reply showing it on", "modules = 1\ninterval = 200",
        { "@0", "next", "reply 00", R"(set 1/4 {"state":"ON","on_time":0.1})", "@5", "next",
          "reply 08", "pulse", "next", "@104", "due", "next", "@105", "due", "next", "reply 00", "pulse" },
        { "poll 1", "online 1", "on 1/4", "pulse at 105", "wait 195", "wait 96", "off 1/4", "pulse at none" });
    row("a newer command cancels the pulse's off", "modules = 1\ninterval = 200",
        { "@0", "next", "reply 00", R"(set 1/4 {"state":"ON","on_time":0.1})", "next", "reply 08",
          "set 1/4 ON", "next", "pulse", "reply 08", "@300", "due", "next" },
        { "poll 1", "online 1", "on 1/4", "on 1/4", "pulse at none", "poll 1" });
    row("offline after link_loss_after misses in a row", "modules = 1\ninterval = 20\n"
        "[safety]\nlink_loss_after = 3",
        { "@0", "next", "reply 00", "@20", "next", "timeout", "@40", "next", "timeout",
          "set 1/2 ON", "next", "timeout", "next", "@60", "next", "reply 00", "next" },
        { "poll 1", "online 1", "poll 1", "poll 1", "on 1/2", "offline 1", "wait 20", "poll 1",
          "online 1", "wait 20" });
    // A reply showing the output still off, late for an earlier exchange:
    // the ON goes again; given up, the partner may be on and goes off first.
    row("a late reply never confirms a switch", "modules = 7\ninterval = 200\n"
        "[safety]\ninterlock = 7/1+7/2\ninterlock_delay = 0",
        { "@0", "next", "reply 00", "set 7/2 ON", "set 7/1 ON", "next", "reply 00", "next",
          "reply 02", "next", "reply 00", "next", "reply 01", "next" },
        { "poll 7", "online 7", "on 7/2", "on 7/2", "off 7/2", "on 7/1", "wait 200" });
    row("a switch given up after late replies", "modules = 7\ninterval = 200\n"
        "[safety]\ninterlock = 7/1+7/2\ninterlock_delay = 0",
        { "@0", "next", "reply 00", "set 7/2 ON", "set 7/1 ON", "next", "reply 00", "next",
          "reply 00", "next", "reply 00", "next", "reply 00", "next", "reply 01", "next" },
        { "poll 7", "online 7", "on 7/2", "on 7/2", "on 7/2", "off 7/2", "on 7/1", "wait 200" });
    // The partner's off is tried three times, each sent three times; then the ON is dropped.
    QStringList partner_stuck { "@0", "next", "reply 02", "set 7/1 ON" };
    for (int i = 0; i < 9; ++i)
        partner_stuck << "next" << "reply 02";
    row("a partner that never goes off", "modules = 7\ninterval = 200\n"
        "[safety]\ninterlock = 7/1+7/2\ninterlock_delay = 0", partner_stuck + QStringList { "next" },
        QStringList { "poll 7", "online 7" } + QStringList(9, "off 7/2") + QStringList { "wait 200" });
    row("all_off on return", "modules = 1\ninterval = 20\n[safety]\nlink_loss_after = 1\n"
        "on_link_loss = all_off",
        { "@0", "next", "reply 05", "@20", "next", "timeout", "@40", "next", "reply 05", "next",
          "reply 00", "next" },
        { "poll 1", "online 1", "poll 1", "offline 1", "poll 1", "online 1", "all 1=0", "wait 20" });
    row("keep on return", "modules = 1\ninterval = 20\n[safety]\nlink_loss_after = 1",
        { "@0", "next", "reply 05", "@20", "next", "timeout", "@40", "next", "reply 05", "next" },
        { "poll 1", "online 1", "poll 1", "offline 1", "poll 1", "online 1", "wait 20" });
    row("a pulse's off due while offline goes on return", "modules = 1\ninterval = 200\n"
        "[safety]\nlink_loss_after = 1",
        { "@0", "next", "reply 00", R"(set 1/4 {"state":"ON","on_time":0.1})", "@5", "next",
          "reply 08", "@200", "next", "timeout", "@205", "due", "pulse", "@400", "next",
          "reply 08", "next" },
        { "poll 1", "online 1", "on 1/4", "poll 1", "offline 1", "pulse at none", "poll 1",
          "online 1", "off 1/4" });
    // clang-format on
}

void tst_scheduler::scheduling()
{
    QFETCH(QString, config);
    QFETCH(QStringList, events);
    QFETCH(QStringList, expected);
    const auto parsed
        = parse_config(("[line]\nport = x\n" + config + u'\n').toUtf8(), QStringLiteral("t.conf"));
    QVERIFY2(parsed.config, qPrintable(parsed.error.text()));
    QStringList trace;
    scheduler_events sink { [](const QString &) {}, [](const module_state &, bool, int, bool) {},
        [&](module_state &module, bool changed) {
            if (changed)
                trace.append(QStringLiteral("%1 %2")
                                 .arg(module.online() ? "online" : "offline")
                                 .arg(module.address));
        },
        {} };
    scheduler schedule(*parsed.config, sink);
    const scheduler::time_point start {};
    auto now = start;
    const auto ms = [&](scheduler::time_point t) {
        return QString::number(std::chrono::ceil<std::chrono::milliseconds>(t - start).count());
    };
    schedule.line_open(now);
    std::uint8_t on_line = 0;
    for (const QString &event : events) {
        const QString what = event.section(u' ', 0, 0);
        const QString rest = event.section(u' ', 1);
        if (what.startsWith(u'@')) {
            now = start + std::chrono::milliseconds(what.mid(1).toInt());
        } else if (what == u"set") {
            const QString payload = rest.section(u' ', 1);
            const auto target = parse_set_topic(QStringLiteral("orvalin"),
                QStringLiteral("orvalin/%1/set")
                    .arg(rest.section(u' ', 0, 0)
                             .replace(QStringLiteral("/"), QStringLiteral("/output/"))));
            QVERIFY2(target, qPrintable(event));
            const auto request
                = target->output ? parse_set(payload.toUtf8()) : parse_set_all(payload.toUtf8());
            QVERIFY2(request, qPrintable(event));
            command_step command { target->address, target->output, *request, event };
            command.cancels_pulse = true;
            schedule.enqueue(command);
        } else if (what == u"next") {
            const next_action action = schedule.next(now);
            const frame &f = action.bytes;
            on_line = action.address;
            switch (action.what) {
            case next_action::kind::poll:
                trace.append(QStringLiteral("poll %1").arg(f[1]));
                break;
            case next_action::kind::command:
                trace.append(f[2] == set_all_outputs
                        ? QStringLiteral("all %1=%2").arg(f[1]).arg(f[5])
                        : QStringLiteral("%1 %2/%3")
                              .arg(f[2] == switch_on ? "on" : "off")
                              .arg(f[1])
                              .arg(f[6]));
                break;
            case next_action::kind::none:
                trace.append(
                    action.wake ? QStringLiteral("wait %1").arg(
                        (std::chrono::ceil<std::chrono::milliseconds>(*action.wake - now)).count())
                                : QStringLiteral("idle"));
                break;
            case next_action::kind::drained:
                trace.append(QStringLiteral("drained"));
                break;
            }
        } else if (what == u"reply") {
            module_status status;
            status.address = on_line;
            status.outputs = std::uint8_t(rest.toUInt(nullptr, 16));
            schedule.finished(now, on_line, status);
        } else if (what == u"timeout") {
            schedule.finished(now, on_line, std::nullopt);
        } else if (what == u"due") {
            schedule.offs_due(now);
        } else if (what == u"periods") {
            QStringList periods;
            for (const double period : schedule.find(std::uint8_t(rest.toUInt()))->poll_period_ms)
                periods.append(QString::number(period));
            trace.append(QStringLiteral("periods ") + periods.join(u','));
        } else if (what == u"pulse") {
            const auto off = schedule.next_off();
            trace.append(
                QStringLiteral("pulse at %1").arg(off ? ms(*off) : QStringLiteral("none")));
        } else {
            QFAIL(qPrintable(event));
        }
    }
    QCOMPARE(trace, expected);
}

namespace {

// "1/3 ON", "1/all OFF", "1/3 TOGGLE"; "written" and "pulse-off" mark steps
// already on the line and the offs of pulses.
command_step step_from(const QString &text)
{
    const QStringList words = text.split(u' ');
    const QStringList where = words[0].split(u'/');
    command_step step;
    step.address = std::uint8_t(where[0].toInt());
    step.output = where[1] == u"all" ? 0 : where[1].toInt();
    step.origin = text;
    if (words[1] == u"pulse-off") {
        step.pulse_end = true;
        return step;
    }
    step.request.what = words[1] == u"ON" ? set_request::action::on
        : words[1] == u"OFF"              ? set_request::action::off
                                          : set_request::action::toggle;
    step.cancels_pulse = true;
    step.written = words.contains(u"written");
    return step;
}

QString text_of(const command_step &step)
{
    if (step.pulse_end)
        return QStringLiteral("%1/%2 pulse-off").arg(step.address).arg(step.output);
    const char *what = step.request.what == set_request::action::on ? "ON"
        : step.request.what == set_request::action::off             ? "OFF"
                                                                    : "TOGGLE";
    return QStringLiteral("%1/%2 %3")
        .arg(step.address)
        .arg(step.output == 0 ? QStringLiteral("all") : QString::number(step.output), what);
}

} // namespace

void tst_scheduler::queued_commands_data()
{
    QTest::addColumn<QStringList>("already");
    QTest::addColumn<QString>("added");
    QTest::addColumn<QStringList>("expected");
    const auto row = [](const char *name, const QStringList &already, const char *added,
                         const QStringList &expected) {
        QTest::newRow(name) << already << QString::fromLatin1(added) << expected;
    };
    // clang-format off
    row("other outputs keep their order", { "1/3 ON", "2/3 OFF" }, "1/4 ON", { "1/3 ON", "2/3 OFF", "1/4 ON" });
    row("newer replaces older", { "1/3 ON", "1/4 ON" }, "1/3 OFF", { "1/4 ON", "1/3 OFF" });
    row("all replaces the module's", { "1/3 ON", "2/3 ON", "1/all ON", "1/4 OFF" }, "1/all OFF", { "2/3 ON", "1/all OFF" });
    row("an output after all stays", { "1/all OFF" }, "1/3 ON", { "1/all OFF", "1/3 ON" });
    row("TOGGLE after ON is OFF", { "1/3 ON", "1/4 ON" }, "1/3 TOGGLE", { "1/4 ON", "1/3 OFF" });
    row("TOGGLE after OFF is ON", { "1/3 OFF" }, "1/3 TOGGLE", { "1/3 ON" });
    row("two TOGGLEs cancel", { "1/3 TOGGLE", "1/4 ON" }, "1/3 TOGGLE", { "1/4 ON" });
    row("TOGGLE alone waits", { "1/all ON" }, "1/3 TOGGLE", { "1/all ON", "1/3 TOGGLE" });
    row("sent ones stay", { "1/3 ON written" }, "1/3 OFF", { "1/3 ON", "1/3 OFF" });
    row("pulse offs stay", { "1/3 pulse-off", "1/3 ON" }, "1/all OFF", { "1/3 pulse-off", "1/all OFF" });
    // clang-format on
}

void tst_scheduler::queued_commands()
{
    QFETCH(QStringList, already);
    QFETCH(QString, added);
    QFETCH(QStringList, expected);
    std::deque<command_step> queue;
    for (const QString &text : already)
        queue.push_back(step_from(text));
    enqueue_command(queue, step_from(added), false);
    QStringList result;
    for (const auto &step : queue)
        result.append(text_of(step));
    QCOMPARE(result, expected);
}

void tst_scheduler::the_command_queue_is_bounded()
{
    std::deque<command_step> queue;
    int full = 0;
    for (int address = 0; address < 256; ++address) {
        for (int k = 1; k <= 8; ++k) {
            if (enqueue_command(
                    queue, step_from(QStringLiteral("%1/%2 ON").arg(address).arg(k)), false)
                == enqueue_result::full)
                ++full;
        }
    }
    QCOMPARE(queue.size(), max_queued_commands);
    QCOMPARE(full, 256 * 8 - int(max_queued_commands));
    // The off of a pulse is never refused.
    command_step off = step_from(QStringLiteral("1/1 pulse-off"));
    queue.push_back(off);
    QCOMPARE(enqueue_command(queue, step_from(QStringLiteral("0/1 OFF")), false),
        enqueue_result::replaced);
}

void tst_scheduler::repeated_log_lines_data()
{
    // Events: "kind@ms" notes one (text "kind at ms"), "flush@ms" and
    // "all@ms" flush.
    QTest::addColumn<QStringList>("events");
    QTest::addColumn<QStringList>("expected");
    const auto row = [](const char *name, const QStringList &events, const QStringList &expected) {
        QTest::newRow(name) << events << expected;
    };
    // clang-format off
    row("first at once", { "a@0", "b@1" }, { "a at 0", "b at 1" });
    row("the rest counted", { "a@0", "a@1", "a@9999", "a@10000", "a@10001" },
        { "a at 0", "a at 10000; 2 more like it not logged" });
    row("flushed after the period", { "a@0", "a@5", "flush@9999", "flush@10000", "flush@30000" },
        { "a at 0", "a: 1 more not logged" });
    row("a flush starts a period", { "a@0", "a@5", "flush@10000", "a@10001", "a@20000" },
        { "a at 0", "a: 1 more not logged", "a at 20000; 1 more like it not logged" });
    row("all at once when stopping", { "a@0", "a@1", "b@2", "all@3" },
        { "a at 0", "b at 2", "a: 1 more not logged" });
    // clang-format on
}

void tst_scheduler::repeated_log_lines()
{
    QFETCH(QStringList, events);
    QFETCH(QStringList, expected);
    log_summary summary;
    const log_summary::clock::time_point start {};
    QStringList lines;
    for (const QString &event : events) {
        const QString what = event.section(u'@', 0, 0);
        const auto now = start + std::chrono::milliseconds(event.section(u'@', 1).toInt());
        if (what == u"flush" || what == u"all")
            lines += summary.flush(now, what == u"all");
        else if (const auto line
            = summary.note(what, what + QStringLiteral(" at ") + event.section(u'@', 1), now))
            lines.append(*line);
    }
    QCOMPARE(lines, expected);
}

QTEST_GUILESS_MAIN(tst_scheduler)
#include "tst_scheduler.moc"
