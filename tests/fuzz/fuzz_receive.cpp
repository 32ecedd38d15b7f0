// The receive path under arbitrary bytes, splits and interleavings with ticks,
// opening/closing, address changes and a lost port. After every step:
// the 16 lamps show one kind of state, each with its own text; an on/off
// pattern was carried by some valid reply in the stream; six ticks after the
// last possible reply every lamp shows unknown; each open tick discards the
// input, with or without an address, and writes exactly one well-formed frame
// (none without an address).
#include "control/controller.h"
#include "control/indicator_panel.h"
#include "fake_panel_view.h"
#include "fake_serial_port.h"
#include "link/frame.h"
#include "system/toolkit.h"

#include "fuzz_input.h"

#include <QCoreApplication>
#include <QEvent>

#include <cstdio>
#include <cstdlib>
#include <set>
#include <utility>

using namespace orvalin;

namespace {

unsigned frame_checksum_of(const QByteArray &bytes, qsizetype at = 0)
{
    unsigned sum = 0;
    for (qsizetype i = at; i < at + 7; ++i)
        sum += std::uint8_t(bytes[i]);
    return sum & 0xFF;
}

bool valid_reply_at(const QByteArray &bytes, qsizetype at)
{
    return std::uint8_t(bytes[at]) == reply_start
        && frame_checksum_of(bytes, at) == std::uint8_t(bytes[at + 7]);
}

struct oracle {
    QByteArray stream; // every byte ever received, in order
    std::set<std::pair<int, int>> reported; // (inputs byte, outputs byte)
    int ticks_since_reply = 0; // active ticks since bytes that could be one

    // Feeds bytes to an open port, recording every valid reply they complete.
    void deliver(fake_serial_port &port, const QByteArray &bytes)
    {
        if (!port.is_open())
            return;
        const qsizetype from = stream.size();
        stream.append(bytes);
        for (qsizetype end = std::max<qsizetype>(from, 7); end < stream.size(); ++end) {
            if (valid_reply_at(stream, end - 7)) {
                reported.insert({ std::uint8_t(stream[end - 3]), std::uint8_t(stream[end - 1]) });
                ticks_since_reply = 0;
            }
        }
        port.receive(bytes);
    }
};

const QString address_texts[]
    = { QStringLiteral("1"), QStringLiteral("0"), QStringLiteral("255"), QStringLiteral("300"),
          QStringLiteral(" 7 "), QStringLiteral("-1"), QStringLiteral("abc"), QString() };

void check_lamps(controller &control, const fake_panel_view &view, const oracle &seen)
{
    const indicator_state first = control.panel().state(1);
    const bool showing = first == indicator_state::on || first == indicator_state::off;
    int inputs = 0;
    int outputs = 0;
    for (int k = 1; k <= 16; ++k) {
        const indicator_state state = control.panel().state(k);
        expect(view.lamps.at(k) == indicator_panel::colour_of(state)
                && view.texts.at(k) == indicator_panel::text_of(state),
            "a lamp's text does not match its colour");
        const bool shows = state == indicator_state::on || state == indicator_state::off;
        expect(shows == showing && (showing || state == first), "lamps show mixed kinds of state");
        if (state == indicator_state::on) {
            if (k <= 8)
                outputs |= 1 << (k - 1);
            else
                inputs |= 1 << (16 - k);
        }
    }
    if (showing)
        expect(seen.reported.count({ inputs, outputs }) == 1,
            "lamps show a state no valid reply carried");
    if (seen.ticks_since_reply > 5)
        expect(first == indicator_state::unknown || first == indicator_state::closed,
            "lamps kept a state after six silent ticks");
}

void tick(controller &control, fake_serial_port &port, const fake_panel_view &view, oracle &seen)
{
    if (!control.timer1().isActive()) // Timer1 only ticks while enabled
        return;
    const bool open = port.is_open();
    const qsizetype frames = port.written.size();
    control.timer1_tick();
    ++seen.ticks_since_reply;
    if (!open) {
        expect(port.written.size() == frames, "a frame written to a closed port");
        return;
    }
    // Also without an address: bytes left waiting would be read as a reply
    // long after the module sent them.
    expect(port.waiting.isEmpty(), "input left waiting after an open tick");
    const auto address = address_byte(view.address);
    expect(port.written.size() == frames + (address ? 1 : 0), "not one frame per tick");
    if (!address)
        return;
    const frame &sent = port.written.back();
    expect(sent[0] == command_start && sent[1] == *address && sent[3] == 0 && sent[4] == 0
            && sent[7] == frame_checksum(sent),
        "a malformed frame");
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    static QCoreApplication app(*argc, *argv);
    toolkit::set_message_sink([](const toolkit::message &) {});
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    fuzz_input input(data, size);
    fake_panel_view view;
    fake_serial_port port;
    controller control(view, port);
    oracle seen;

    while (!input.empty()) {
        switch (input.number(0, 9)) {
        case 0:
            port.open_fails = input.number(0, 7) == 0;
            view.port = input.flag() ? QStringLiteral("1") : QStringLiteral("x");
            control.open_comm_click();
            break;
        case 1:
        case 2:
            tick(control, port, view, seen);
            break;
        case 3:
        case 4:
            seen.deliver(port, input.bytes(input.number(0, 12)));
            break;
        case 5: {
            // A valid reply, cut in two at any point.
            QByteArray reply(8, 0);
            reply[0] = char(reply_start);
            for (int i = 1; i < 7; ++i)
                reply[i] = char(input.number(0, 255));
            reply[7] = char(frame_checksum_of(reply));
            const int cut = input.number(0, 8);
            seen.deliver(port, reply.first(cut));
            seen.deliver(port, reply.sliced(cut));
            break;
        }
        case 6: // clicks once: they change only what is sent; kept so the seeds mean the same
            break;
        case 7:
            view.address = address_texts[input.number(0, int(std::size(address_texts)) - 1)];
            break;
        case 8: {
            // A receive event of another cause, or one raised again.
            port.event = input.flag() ? comm_event_receive : 1;
            if (!port.is_open())
                break;
            emit port.on_comm();
            port.event = comm_event_receive;
            break;
        }
        default:
            if (port.is_open()) {
                port.lose(QStringLiteral("gone"));
                QCoreApplication::sendPostedEvents(&control, QEvent::MetaCall);
                expect(
                    !port.is_open() && !control.timer1().isActive(), "a lost port left polling on");
            }
            break;
        }
        check_lamps(control, view, seen);
    }
    return 0;
}
