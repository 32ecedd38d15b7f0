#include "fake_line_port.h"

using namespace orvalin;

void fake_line_port::write(const frame &bytes)
{
    written.append(bytes);
    if (!outputs.count(bytes[1]))
        return;
    auto &state = outputs[bytes[1]];
    if (bytes[2] == switch_on || bytes[2] == switch_off) {
        const auto bit = std::uint8_t(1u << (bytes[6] - 1));
        state = bytes[2] == switch_on ? state | bit : state & ~bit;
    } else if (bytes[2] == set_all_outputs) {
        state = bytes[5];
    }
    states.append(state);
    if (mute)
        return;
    frame reply { reply_start, bytes[1], bytes[2], 0, 0, 0, state, 0 };
    if (stale > 0 && stale--)
        reply[6] = stale_outputs;
    reply[7] = frame_checksum(reply);
    incoming_.append(reinterpret_cast<const char *>(reply.data()), 8);
    QMetaObject::invokeMethod(this, &line_port::ready_read, Qt::QueuedConnection);
}

void fake_line_port::deliver(const QByteArray &bytes)
{
    incoming_ += bytes;
    emit ready_read();
}
