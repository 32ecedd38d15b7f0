#include "link/frame.h"
#include "link/serial_port.h"

#include <benchmark/benchmark.h>

using namespace orvalin;

namespace {

// An open port that swallows what it is given, so send_frame does its whole
// work (address text to byte, frame, hand-over) without a device.
class null_port final : public serial_port {
public:
    void set_comm_port(std::int16_t) override { }
    bool open() override { return true; }
    void close() override { }
    bool is_open() const override { return true; }
    void set_rthreshold(int) override { }
    void discard_input() override { }
    qint64 in_buffer_count() const override { return 0; }
    void output(const frame &bytes) override { benchmark::DoNotOptimize(bytes.data()); }
    int comm_event() const override { return 0; }
    std::optional<std::uint8_t> input() override { return std::nullopt; }
    QString device() const override { return {}; }
    QString error_string() const override { return {}; }
    port_problem problem() const override { return port_problem::none; }
};

receive_buffer reply_buffer(const frame &reply)
{
    receive_buffer buffer {};
    for (std::size_t i = 0; i < reply.size(); ++i)
        buffer[i] = reply[i];
    return buffer;
}

void build_status_poll(benchmark::State &state)
{
    std::uint8_t address = 1;
    for (auto _ : state) {
        benchmark::DoNotOptimize(address);
        benchmark::DoNotOptimize(build_frame(address, status_poll, 0, 0));
    }
}
BENCHMARK(build_status_poll);

// What every tick does: the address box's text to a byte, then the frame.
void send_frame_from_text(benchmark::State &state)
{
    null_port port;
    frame tx_buf {};
    const QString address = QStringLiteral("255");
    for (auto _ : state)
        benchmark::DoNotOptimize(send_frame(port, tx_buf, address, status_poll, 0, 0));
}
BENCHMARK(send_frame_from_text);

void check_valid_reply(benchmark::State &state)
{
    const receive_buffer buffer = reply_buffer({ 0x22, 0, 0, 0, 0x05, 0, 0x03, 0x2a });
    for (auto _ : state) {
        benchmark::DoNotOptimize(buffer.data());
        benchmark::DoNotOptimize(check_reply(buffer));
    }
}
BENCHMARK(check_valid_reply);

void check_bad_checksum(benchmark::State &state)
{
    const receive_buffer buffer = reply_buffer({ 0x22, 0, 0, 0, 0x05, 0, 0x03, 0x2b });
    for (auto _ : state) {
        benchmark::DoNotOptimize(buffer.data());
        benchmark::DoNotOptimize(check_reply(buffer));
    }
}
BENCHMARK(check_bad_checksum);

} // namespace
