#include "runs.h"
#include "sim_run.h"

#include "control/controller.h"
#include "control/indicator_panel.h"
#include "link/qt_serial_port.h"
#include "system/toolkit.h"
#include "ui/controls.h"
#include "ui/main_form.h"

#include <QDir>
#include <QEvent>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <cmath>

namespace orvalin::live {

namespace {

// Reports when a widget starts to paint.
class paint_watch final : public QObject {
public:
    std::function<void()> on_paint;

protected:
    bool eventFilter(QObject *, QEvent *event) override
    {
        if (event->type() == QEvent::Paint && on_paint)
            on_paint();
        return false;
    }
};

QJsonObject failed(const QString &why)
{
    return QJsonObject { { QStringLiteral("error"), why } };
}

} // namespace

QJsonObject run_lamp(const programs &with, std::chrono::seconds duration)
{
    using namespace std::chrono_literals;
    QTemporaryDir dir(QDir(with.work).filePath(QStringLiteral("orvalin-lamp-XXXXXX")));
    if (!dir.isValid())
        return failed(dir.errorString());
    // The name file is made at start-up as on a first start; its messages
    // go nowhere.
    toolkit::set_program_directory(QDir::toNativeSeparators(dir.path()));
    toolkit::set_message_sink([](const toolkit::message &) {});

    sim_run sim(with.sim);
    if (!sim.start(dir.filePath(QStringLiteral("COM1"))))
        return failed(sim.error());

    qt_serial_port port(port_folders { dir.path() });
    main_form form(port);
    form.show_centred();
    auto *control = form.findChild<controller *>();
    auto *open_comm = form.findChild<QPushButton *>(QStringLiteral("open_comm"));
    // Input 1: it follows bit 0 of the module's inputs.
    auto *watched_lamp = form.findChild<lamp *>(QStringLiteral("Picture1(16)"));
    if (!control || !open_comm || !watched_lamp)
        return failed(QStringLiteral("the main window lacks its controller or controls"));

    struct change {
        double shown_ms = 0;
        double painted_ms = 0;
    };
    std::vector<change> changes;
    std::optional<double> shown_at;
    QColor shown_colour = watched_lamp->colour();

    QObject::connect(control, &controller::reply_shown, &form, [&] {
        const double now = monotonic_ms();
        if (watched_lamp->colour() != shown_colour) {
            shown_colour = watched_lamp->colour();
            shown_at = now;
        }
    });
    paint_watch watch;
    watch.on_paint = [&] {
        if (!shown_at)
            return;
        changes.push_back({ *shown_at, monotonic_ms() });
        shown_at.reset();
        // The next reply brings the opposite state; told only after the
        // paint, so the emulator's answer line never delays this one.
        const bool lamp_on = shown_colour == indicator_panel::colour_of(indicator_state::on);
        QTimer::singleShot(0, &form, [&sim, lamp_on] {
            sim.send(lamp_on ? QStringLiteral("inputs 00") : QStringLiteral("inputs ff"));
        });
    };
    watched_lamp->installEventFilter(&watch);
    // The ticks as the panel sends them, to tell its own timing from the way
    // through the pseudo-terminal to the emulator.
    std::vector<double> sent;
    QObject::connect(
        control, &controller::frame_sent, &form, [&] { sent.push_back(monotonic_ms()); });

    open_comm->click();
    if (!wait_until([&] { return sim.frames().size() >= 3; }, 5s))
        return failed(QStringLiteral("no frames after opening the port"));
    pause_for(duration);
    watched_lamp->removeEventFilter(&watch);
    open_comm->click();
    sim.stop();
    toolkit::set_message_sink({});
    toolkit::set_program_directory({});

    // Each change belongs to the last reply written before it was shown.
    const std::vector<double> &replies = sim.replies();
    std::vector<double> to_lamp;
    std::vector<double> to_state;
    for (const change &c : changes) {
        const auto after = std::upper_bound(replies.begin(), replies.end(), c.shown_ms);
        if (after == replies.begin())
            continue;
        const double written = *(after - 1);
        // Anything older than a tick is not the reply that was shown.
        if (c.shown_ms - written > poll_interval_ms)
            continue;
        to_state.push_back(c.shown_ms - written);
        to_lamp.push_back(c.painted_ms - written);
    }
    std::vector<double> deviations;
    for (const double interval : intervals_of(sent))
        deviations.push_back(std::abs(interval - poll_interval_ms));
    // Frame n that the emulator took in is frame n the panel sent: the port
    // was opened with both lists empty, and no frame is lost on the way.
    std::vector<double> to_emulator;
    const auto &received = sim.frames();
    if (received.size() == sent.size()) {
        for (std::size_t i = 0; i < sent.size(); ++i)
            to_emulator.push_back(received[i].at_ms - sent[i]);
    }
    return QJsonObject {
        { QStringLiteral("display"),
            QStringLiteral("offscreen, main_form in the measuring process") },
        { QStringLiteral("sent_interval_ms"), to_json(spread_of(intervals_of(sent))) },
        { QStringLiteral("sent_deviation_from_50ms"), to_json(spread_of(deviations)) },
        { QStringLiteral("sent_to_emulator_ms"), to_json(spread_of(to_emulator)) },
        { QStringLiteral("from"), QStringLiteral("the emulator's write of the 8th reply byte") },
        { QStringLiteral("replies"), qint64(replies.size()) },
        { QStringLiteral("reply_to_state_ms"), to_json(spread_of(to_state)) },
        { QStringLiteral("reply_to_lamp_ms"), to_json(spread_of(to_lamp)) },
    };
}

} // namespace orvalin::live
