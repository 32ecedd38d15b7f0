// orvalin-sim: the relay module (8 relay outputs, 8 inputs) on a
// pseudo-terminal, so the panel can be shown and tested without hardware.
//
// Usage: orvalin-sim --link PATH [--address N[,N...]] [--demo] [--verbose]
//                    [--monotonic] [--baud N] [--turnaround MS]
//                    [--drop FRACTION] [--garbage [N]] [--split MS]
//                    [--delay MS] [--silent] [--seed N]
//
// PATH becomes a symbolic link to the terminal (for example build/COM1, which
// the panel opens as port 1). Once it exists, "ready PATH -> DEVICE" is
// printed. Several addresses put several modules on the one line, each with
// its own outputs and inputs. Commands on standard input, one per line, each
// answered by one line ("ok", "error: ..." or the status line); those marked
// @ take an optional last word "@A" naming the module (default: the first):
//   in N on|off @    input N (1..8)          inputs HH @ / outputs HH @ (hex)
//   drop FRACTION    garbage N               split MS        delay MS
//   silent on|off    demo on|off             verbose on|off
//   status @         -> "outputs HH inputs HH frames N ignored N replies N"
//   quit
// frames counts the module's accepted commands, ignored the well-formed
// frames for addresses on no module, replies the module's replies sent (not
// dropped or silenced). End of input
// is not quit: the emulator also runs in the background with standard input
// closed. SIGINT, SIGTERM and SIGHUP end it cleanly too; the link goes with it.
//
// Faults: --drop leaves out that fraction of replies (at random, --seed
// fixes the choice); --garbage writes N noise bytes (3 if N is left out,
// never 0x22) ahead of each reply; --split writes a reply as 4 + 4 bytes
// with MS between; --delay holds each reply back MS; --silent answers
// nothing. Commands are carried out all the same.
//
// Line timing: without --baud bytes pass at once and a module answers at
// once. With --baud N each byte takes 10 bits of time in each direction (8N1),
// a command counts from the arrival of its last byte, and a module answers
// after --turnaround MS (default 2; also applied without --baud when given);
// replies share the line one after another.
//
// Verbose lines carry milliseconds since start, or with --monotonic the
// milliseconds of CLOCK_MONOTONIC (the clock std::chrono::steady_clock reads
// in other processes, so their own timestamps compare with these); a "tx"
// time is taken right before the write: "rx T 55 01 ..." (accepted),
// "rx T ... other-address", "skip T XX ..." (bytes given up while seeking a
// frame), "tx T ..." (each write, noise included), "drop T 22 ..." (a reply
// not sent), "demo T in N on|off".

#include "sim_module.h"
#include "sim_options.h"
#include "sim_terminal.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <deque>
#include <random>
#include <string>

namespace {

using namespace orvalin;
using namespace orvalin::sim;
using namespace std::chrono_literals;
using sim_clock = std::chrono::steady_clock;

constexpr auto demo_step = 1s;
// The part of a split reply written first.
constexpr std::size_t split_at = 4;
// How long to leave the master alone after it reports a hang-up, so a
// terminal without any reader cannot make the loop spin.
constexpr auto hangup_pause = 100ms;
constexpr auto default_turnaround = 2ms;

const sim_clock::time_point started = sim_clock::now();
// Timestamps count from clock zero instead of from the start.
bool monotonic_timestamps = false;
int signal_pipe[2] = { -1, -1 };

void on_signal(int)
{
    const int saved = errno;
    const char byte = 1;
    [[maybe_unused]] const auto written = ::write(signal_pipe[1], &byte, 1);
    errno = saved;
}

std::string timestamp()
{
    if (monotonic_timestamps) {
        timespec now {};
        ::clock_gettime(CLOCK_MONOTONIC, &now);
        const long long micros = static_cast<long long>(now.tv_sec) * 1000000 + now.tv_nsec / 1000;
        char text[32];
        std::snprintf(text, sizeof text, "%lld.%03lld", micros / 1000, micros % 1000);
        return text;
    }
    const auto elapsed = std::chrono::duration<double, std::milli>(sim_clock::now() - started);
    char text[32];
    std::snprintf(text, sizeof text, "%.3f", elapsed.count());
    return text;
}

// Bytes for the line: the first is written at due, each next one a byte
// time later (all at once without --baud).
struct scheduled_write {
    sim_clock::time_point due;
    bytes data;
    std::size_t written = 0;
};

struct arriving_byte {
    sim_clock::time_point due;
    std::uint8_t value;
};

class emulator {
public:
    explicit emulator(options settings)
        : settings_(std::move(settings))
    {
        std::random_device entropy;
        random_.seed(settings_.seed ? *settings_.seed : entropy());
        for (const std::uint8_t address : settings_.addresses)
            modules_.push_back(module_state { address });
        turnaround_ = settings_.turnaround ? *settings_.turnaround
            : settings_.byte_time > 0ns    ? default_turnaround
                                           : 0ms;
    }

    bool open_terminal() { return terminal_.open() && terminal_.link(settings_.link); }
    const std::string &device() const { return terminal_.device(); }

    int run()
    {
        auto next_demo = sim_clock::now() + demo_step;
        bool stdin_open = true;
        std::string stdin_text;
        sim_clock::time_point master_paused_until {};

        while (!quit_) {
            const auto now = sim_clock::now();
            std::optional<sim_clock::time_point> wake;
            if (!outbox_.empty())
                wake = next_write_due();
            if (!arriving_.empty())
                wake = wake ? std::min(*wake, arriving_.front().due) : arriving_.front().due;
            if (settings_.demo)
                wake = wake ? std::min(*wake, next_demo) : next_demo;
            const bool master_paused = now < master_paused_until;
            if (master_paused)
                wake = wake ? std::min(*wake, master_paused_until) : master_paused_until;
            // Nanoseconds, so bytes at 9600 baud keep their 1.04 ms pace.
            timespec timeout {};
            if (wake) {
                const auto left = std::max<std::chrono::nanoseconds>(0ns, *wake - now);
                timeout.tv_sec = time_t(left.count() / 1000000000);
                timeout.tv_nsec = long(left.count() % 1000000000);
            }

            pollfd watched[3] = {
                { signal_pipe[0], POLLIN, 0 },
                { master_paused ? -1 : terminal_.master(), POLLIN, 0 },
                { stdin_open ? STDIN_FILENO : -1, POLLIN, 0 },
            };
            if (::ppoll(watched, 3, wake ? &timeout : nullptr, nullptr) < 0 && errno != EINTR) {
                complain(std::string("poll: ") + std::strerror(errno));
                return 1;
            }
            if (watched[0].revents)
                break;
            if (watched[1].revents && !read_master())
                master_paused_until = sim_clock::now() + hangup_pause;
            if (watched[2].revents) {
                char chunk[512];
                const ssize_t got = ::read(STDIN_FILENO, chunk, sizeof chunk);
                if (got <= 0 && !(got < 0 && (errno == EINTR || errno == EAGAIN))) {
                    stdin_open = false;
                } else if (got > 0) {
                    stdin_text.append(chunk, std::size_t(got));
                    std::size_t end;
                    while (!quit_ && (end = stdin_text.find('\n')) != std::string::npos) {
                        const std::string line = stdin_text.substr(0, end);
                        stdin_text.erase(0, end + 1);
                        obey(line);
                    }
                }
            }
            take_arrived_bytes();
            flush_due_writes();
            if (settings_.demo && sim_clock::now() >= next_demo) {
                demo_toggle();
                next_demo += demo_step;
                if (next_demo < sim_clock::now())
                    next_demo = sim_clock::now() + demo_step;
            }
        }
        return 0;
    }

private:
    // False when the master reports a hang-up or an error instead of data.
    bool read_master()
    {
        std::uint8_t chunk[256];
        const ssize_t got = ::read(terminal_.master(), chunk, sizeof chunk);
        if (got < 0 && (errno == EAGAIN || errno == EINTR))
            return true;
        if (got <= 0)
            return false;
        // On a real line the bytes trickle in; the command is complete when
        // its last byte has arrived.
        const auto now = sim_clock::now();
        for (ssize_t i = 0; i < got; ++i) {
            rx_free_ = std::max(rx_free_, now) + settings_.byte_time;
            arriving_.push_back({ rx_free_, chunk[i] });
        }
        take_arrived_bytes();
        return true;
    }

    void take_arrived_bytes()
    {
        const auto now = sim_clock::now();
        bytes arrived;
        while (!arriving_.empty() && arriving_.front().due <= now) {
            arrived.push_back(arriving_.front().value);
            arriving_.pop_front();
        }
        if (arrived.empty())
            return;
        scanner_.feed(arrived.data(), arrived.size());
        bytes skipped;
        while (const auto command = scanner_.next(skipped)) {
            if (!skipped.empty()) {
                log("skip", skipped.data(), skipped.size());
                skipped.clear();
            }
            receive(*command);
        }
        if (!skipped.empty())
            log("skip", skipped.data(), skipped.size());
    }

    void receive(const frame &command)
    {
        module_state *state = module_at(command[1]);
        if (!state) {
            ++ignored_;
            log("rx", command.data(), command.size(), " other-address");
            return;
        }
        ++state->frames;
        log("rx", command.data(), command.size());
        const frame reply = carry_out(*state, command);
        const fault_settings &faults = settings_.faults;
        if (faults.silent || std::bernoulli_distribution(faults.drop)(random_)) {
            log("drop", reply.data(), reply.size());
            return;
        }
        bytes first;
        // Noise never holds a reply start byte, so no batch that begins
        // inside it can pass as a reply.
        std::uniform_int_distribution<int> noise(0, 254);
        for (int i = 0; i < faults.garbage; ++i) {
            const int byte = noise(random_);
            first.push_back(std::uint8_t(byte >= reply_start ? byte + 1 : byte));
        }
        const auto due = sim_clock::now() + faults.delay + turnaround_;
        if (faults.split > 0ms) {
            first.insert(first.end(), reply.begin(), reply.begin() + split_at);
            schedule(due, std::move(first));
            schedule(due + faults.split, bytes(reply.begin() + split_at, reply.end()));
        } else {
            first.insert(first.end(), reply.begin(), reply.end());
            schedule(due, std::move(first));
        }
        ++state->replies;
    }

    module_state *module_at(long address)
    {
        for (module_state &module : modules_)
            if (module.address == address)
                return &module;
        return nullptr;
    }

    sim_clock::time_point next_write_due() const
    {
        const scheduled_write &next = outbox_.front();
        return next.due + settings_.byte_time * long(next.written);
    }

    void schedule(sim_clock::time_point due, bytes data)
    {
        // Replies leave in the order their commands came, even when the
        // delay is shortened in between, and share the line: the first byte
        // of one follows the last byte of the one before.
        due += settings_.byte_time;
        if (!outbox_.empty()) {
            const scheduled_write &last = outbox_.back();
            due = std::max(due, last.due + settings_.byte_time * long(last.data.size()));
        }
        outbox_.push_back({ due, std::move(data) });
    }

    void flush_due_writes()
    {
        const auto now = sim_clock::now();
        while (!outbox_.empty() && next_write_due() <= now) {
            scheduled_write &next = outbox_.front();
            // Every byte whose time has come, in one write.
            std::size_t count = next.data.size() - next.written;
            if (settings_.byte_time > 0ns) {
                const auto late = now - next_write_due();
                count = std::min<std::size_t>(count, std::size_t(late / settings_.byte_time) + 1);
            }
            // The time is taken right before the write and the line printed
            // after it, so printing does not hold the bytes back and the
            // reader never sees them before the time stamped on them.
            const std::string written_at = timestamp();
            // Without a reader the terminal fills up; what does not fit is
            // lost, as on a line with nobody listening.
            if (::write(terminal_.master(), next.data.data() + next.written, count) < 0
                && errno != EAGAIN)
                complain(std::string("write: ") + std::strerror(errno));
            next.written += count;
            if (next.written < next.data.size())
                continue;
            // Logged once the last byte is out.
            log("tx", next.data.data(), next.data.size(), "", written_at);
            outbox_.pop_front();
        }
    }

    void demo_toggle()
    {
        // Inputs fill up one by one, then empty again.
        const int input = demo_counter_++ % 8;
        for (module_state &module : modules_) {
            module.inputs ^= std::uint8_t(1u << input);
            if (settings_.verbose)
                say("demo " + timestamp() + " in " + std::to_string(input + 1)
                    + (module.inputs & (1u << input) ? " on" : " off")
                    + (modules_.size() > 1 ? " @" + std::to_string(module.address) : ""));
        }
    }

    void log(const char *what, const std::uint8_t *data, std::size_t size, const char *suffix = "",
        const std::string &at = {})
    {
        if (settings_.verbose)
            say(std::string(what) + ' ' + (at.empty() ? timestamp() : at) + ' ' + hex(data, size)
                + suffix);
    }

    std::string status_line(const module_state &state) const
    {
        char text[160];
        std::snprintf(text, sizeof text,
            "outputs %02x inputs %02x frames %lld ignored %lld replies %lld", state.outputs,
            state.inputs, state.frames, ignored_, state.replies);
        return text;
    }

    void obey(const std::string &line)
    {
        std::istringstream stream(line);
        std::vector<std::string> words;
        for (std::string word; stream >> word;)
            words.push_back(word);
        if (words.empty())
            return;
        const auto answer
            = [&](bool done) { say(done ? std::string("ok") : "error: cannot do '" + line + "'"); };
        // "@A" at the end picks the module; only the module's own commands
        // take it.
        module_state *target = &modules_.front();
        const bool addressed = words.back().size() > 1 && words.back()[0] == '@';
        if (addressed) {
            const auto address = parse_integer(words.back().substr(1), 0, 255);
            target = address ? module_at(*address) : nullptr;
            words.pop_back();
            static const std::vector<std::string> own = { "in", "inputs", "outputs", "status" };
            if (!target || words.empty()
                || std::find(own.begin(), own.end(), words.front()) == own.end()) {
                answer(false);
                return;
            }
        }
        if (words.size() > 3) {
            answer(false);
            return;
        }
        words.resize(3);
        const std::string &verb = words[0], &first = words[1], &second = words[2];
        module_state &module = *target;
        fault_settings &faults = settings_.faults;
        if (verb == "quit" && first.empty()) {
            say("ok");
            quit_ = true;
        } else if (verb == "status" && first.empty()) {
            say(status_line(module));
        } else if (verb == "in") {
            const auto input = parse_integer(first, 1, 8);
            const auto on = parse_switch(second);
            if (input && on) {
                const auto bit = std::uint8_t(1u << (*input - 1));
                module.inputs = *on ? module.inputs | bit : module.inputs & ~bit;
            }
            answer(input && on);
        } else if ((verb == "inputs" || verb == "outputs") && second.empty()) {
            const auto value = parse_hex_byte(first);
            if (value)
                (verb == "inputs" ? module.inputs : module.outputs) = *value;
            answer(value.has_value());
        } else if (verb == "drop" && second.empty()) {
            const auto value = parse_fraction(first);
            if (value)
                faults.drop = *value;
            answer(value.has_value());
        } else if ((verb == "garbage" || verb == "split" || verb == "delay") && second.empty()) {
            const auto value = parse_integer(first, 0, 60000);
            if (value && verb == "garbage")
                faults.garbage = int(std::min(*value, 1000L));
            else if (value)
                (verb == "split" ? faults.split : faults.delay) = std::chrono::milliseconds(*value);
            answer(value.has_value());
        } else if ((verb == "silent" || verb == "demo" || verb == "verbose") && second.empty()) {
            bool &flag = verb == "silent" ? faults.silent
                : verb == "demo"          ? settings_.demo
                                          : settings_.verbose;
            const auto on = parse_switch(first);
            if (on)
                flag = *on;
            answer(on.has_value());
        } else {
            answer(false);
        }
    }

    options settings_;
    std::vector<module_state> modules_;
    long long ignored_ = 0;
    std::chrono::milliseconds turnaround_ {};
    std::deque<arriving_byte> arriving_;
    sim_clock::time_point rx_free_ {};
    frame_scanner scanner_;
    std::deque<scheduled_write> outbox_;
    std::mt19937 random_;
    int demo_counter_ = 0;
    linked_terminal terminal_;
    bool quit_ = false;
};

bool catch_signals()
{
    if (::pipe(signal_pipe) != 0)
        return false;
    for (const int end : signal_pipe) {
        ::fcntl(end, F_SETFL, ::fcntl(end, F_GETFL) | O_NONBLOCK);
        ::fcntl(end, F_SETFD, FD_CLOEXEC);
    }
    struct sigaction action { };
    action.sa_handler = on_signal;
    sigemptyset(&action.sa_mask);
    for (const int number : { SIGINT, SIGTERM, SIGHUP })
        ::sigaction(number, &action, nullptr);
    ::signal(SIGPIPE, SIG_IGN);
    return true;
}

} // namespace

int main(int argc, char *argv[])
{
    const auto parsed = parse_options(argc, argv);
    if (!parsed) {
        std::fputs(usage, stderr);
        return 2;
    }
    if (!catch_signals()) {
        complain(std::string("cannot catch signals: ") + std::strerror(errno));
        return 1;
    }
    monotonic_timestamps = parsed->monotonic;
    emulator module(*parsed);
    if (!module.open_terminal())
        return 1;
    say("ready " + parsed->link + " -> " + module.device());
    return module.run();
}
