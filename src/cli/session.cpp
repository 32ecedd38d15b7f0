#include "cli/session.h"

#include "link/port_device.h"
#include "system/toolkit.h"

#include <QCoreApplication>
#include <QTimer>

namespace orvalin::cli {

namespace {

// Between a reply that does not confirm yet and the next poll: the panel's
// poll interval, time for a relay to pull in.
constexpr std::chrono::milliseconds confirm_gap { 50 };

QString port_message(const QString &port, const QString &device, const port_failure &failure)
{
    QString text = device.isEmpty() || device == port
        ? QStringLiteral("cannot open port %1").arg(port)
        : QStringLiteral("cannot open port %1 (%2)").arg(port, device);
    text += QStringLiteral(": ") + problem_text_en(failure.problem);
    if (!failure.system_text.isEmpty())
        text += QStringLiteral(" (%1)").arg(failure.system_text);
    if (failure.problem == port_problem::no_permission)
        text += QStringLiteral("\n  On Debian, join the group that owns serial ports: "
                               "sudo adduser $USER dialout, then log in again.");
    return text;
}

} // namespace

struct session::confirm_run {
    QList<frame> commands;
    qsizetype next = 0;
    target goal;
    int polls_left = confirm_polls;
    std::optional<module_status> last;
    confirm_handler then;
    std::uint64_t generation = 0;
};

session::session(const settings &options, QObject *parent)
    : QObject(parent)
    , options_(options)
{
    connect(&link_, &module_link::finished, this, &session::on_finished);
    connect(&port_, &line_port::lost, this, &session::on_lost);
}

int session::open()
{
    const QString device = device_for(options_.port, installed_port_folders());
    if (const port_failure failure = port_.open(device)) {
        print_error(port_message(options_.port, device, failure));
        return exit_port;
    }
    return exit_ok;
}

int session::run()
{
    return QCoreApplication::exec();
}

void session::finish(int code)
{
    if (finished_)
        return;
    finished_ = true;
    link_.cancel();
    port_.close();
    // Queued, so a finish() before run() still ends the loop it starts.
    QMetaObject::invokeMethod(
        qApp, [code] { QCoreApplication::exit(code); }, Qt::QueuedConnection);
}

void session::exchange(const frame &command, std::chrono::milliseconds timeout, reply_handler then)
{
    if (finished_)
        return;
    pending_ = std::move(then);
    sent_.append(command);
    if (!link_.start(command, timeout)) {
        print_error(QStringLiteral("the port %1 is not open").arg(port_.device()));
        finish(exit_port);
    }
}

void session::poll(std::uint8_t address, reply_handler then)
{
    exchange(build_frame(address, status_poll, 0, 0), options_.timeout, std::move(then));
}

void session::send_confirmed(const QList<frame> &commands, target goal, confirm_handler then)
{
    auto run = std::make_shared<confirm_run>();
    run->commands = commands;
    run->goal = goal;
    run->then = std::move(then);
    run->generation = ++confirm_generation_;
    continue_confirm(run);
}

void session::abandon()
{
    ++confirm_generation_;
    pending_ = nullptr;
    link_.cancel();
}

void session::continue_confirm(std::shared_ptr<confirm_run> run)
{
    if (run->generation != confirm_generation_)
        return;
    const auto take = [this, run](const exchange_result &result) {
        if (result.status)
            run->last = result.status;
        continue_confirm(run);
    };
    if (run->next < run->commands.size()) {
        exchange(run->commands[run->next++], options_.timeout, take);
        return;
    }
    // A module answers a command with its state after it, so the last
    // command's reply usually confirms at once.
    if (run->last && run->goal.met_by(*run->last)) {
        run->then(true, run->last);
        return;
    }
    if (run->polls_left-- <= 0) {
        run->then(false, run->last);
        return;
    }
    QTimer::singleShot(confirm_gap, this, [this, run, take] {
        if (run->generation == confirm_generation_)
            poll(options_.address, take);
    });
}

void session::report_unconfirmed(
    const QString &what, const std::optional<module_status> &last) const
{
    QString text = QStringLiteral("module %1 on %2 did not confirm %3 (timeout %4 ms per reply)")
                       .arg(options_.address)
                       .arg(port_.device(), what)
                       .arg(options_.timeout.count());
    text += last ? QStringLiteral("; last reply: outputs %1 inputs %2")
                       .arg(states_text(last->outputs), states_text(last->inputs))
                 : QStringLiteral("; no reply");
    text += QStringLiteral("\n  sent:");
    for (const frame &bytes : sent_)
        text += QStringLiteral("\n    ") + hex_frame(bytes);
    print_error(text);
}

void session::on_finished(const exchange_result &result)
{
    // Taken first: the handler usually starts the next exchange.
    const reply_handler then = std::exchange(pending_, nullptr);
    if (then && !finished_)
        then(result);
}

void session::on_lost(const port_failure &failure)
{
    link_.cancel();
    QString text
        = QStringLiteral("lost port %1: ").arg(port_.device()) + problem_text_en(failure.problem);
    if (!failure.system_text.isEmpty())
        text += QStringLiteral(" (%1)").arg(failure.system_text);
    print_error(text);
    finish(exit_port);
}

} // namespace orvalin::cli
