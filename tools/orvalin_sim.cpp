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

#include "link/frame.h"
#include "system/numbers.h"

#include <QString>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <vector>

namespace {

using namespace orvalin;
using namespace std::chrono_literals;
using sim_clock = std::chrono::steady_clock;
using bytes = std::vector<std::uint8_t>;

constexpr auto demo_step = 1s;
constexpr int default_garbage = 3;
// The part of a split reply written first.
constexpr std::size_t split_at = 4;
// How long to leave the master alone after it reports a hang-up, so a
// terminal without any reader cannot make the loop spin.
constexpr auto hangup_pause = 100ms;

struct fault_settings {
    double drop = 0; // fraction of replies not sent
    int garbage = 0; // noise bytes written before each reply
    std::chrono::milliseconds split {}; // gap between the halves of a reply
    std::chrono::milliseconds delay {}; // from command to reply
    bool silent = false; // no replies at all
};

struct options {
    std::string link;
    std::vector<std::uint8_t> addresses { 1 };
    // Time of one byte on the line; zero without --baud.
    std::chrono::nanoseconds byte_time {};
    std::optional<std::chrono::milliseconds> turnaround;
    bool demo = false;
    bool verbose = false;
    bool monotonic = false;
    std::optional<unsigned> seed;
    fault_settings faults;
};

struct module_state {
    std::uint8_t address = 0;
    std::uint8_t outputs = 0;
    std::uint8_t inputs = 0;
    long long frames = 0;
    long long replies = 0;
};

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

void say(const std::string &line)
{
    // stdout may be a closed pipe; SIGPIPE is ignored and so is the error.
    std::fputs((line + '\n').c_str(), stdout);
    std::fflush(stdout);
}

void complain(const std::string &line)
{
    std::fputs(("orvalin-sim: " + line + '\n').c_str(), stderr);
}

std::string hex(const std::uint8_t *data, std::size_t size)
{
    static const char digits[] = "0123456789abcdef";
    std::string text;
    for (std::size_t i = 0; i < size; ++i) {
        if (i)
            text += ' ';
        text += digits[data[i] >> 4];
        text += digits[data[i] & 15];
    }
    return text;
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

// A whole number as every Orvalin program reads one.
std::optional<long> parse_integer(const std::string &text, int low, int high)
{
    const auto value = orvalin::parse_whole(QString::fromStdString(text), low, high);
    return value ? std::optional<long>(*value) : std::nullopt;
}

// A byte in one or two hex digits, as the status line prints it ("0f").
std::optional<std::uint8_t> parse_hex_byte(const std::string &text)
{
    const auto hex = [](char c) { return std::isxdigit(static_cast<unsigned char>(c)) != 0; };
    if (text.empty() || text.size() > 2 || !std::all_of(text.begin(), text.end(), hex))
        return std::nullopt;
    return std::uint8_t(std::stoi(text, nullptr, 16));
}

std::optional<double> parse_fraction(const std::string &text)
{
    if (text.empty())
        return std::nullopt;
    char *end = nullptr;
    errno = 0;
    const double value = std::strtod(text.c_str(), &end);
    if (errno || *end || !(value >= 0 && value <= 1))
        return std::nullopt;
    return value;
}

std::optional<bool> parse_switch(const std::string &text)
{
    if (text == "on")
        return true;
    if (text == "off")
        return false;
    return std::nullopt;
}

// Takes command frames out of the received byte stream. A window that does
// not start with 0x55 and end with its checksum slides on by one byte, so
// noise or a torn frame costs only itself and the next whole frame is found.
class frame_scanner {
public:
    void feed(const std::uint8_t *data, std::size_t size)
    {
        pending_.insert(pending_.end(), data, data + size);
    }

    // The next whole frame; bytes given up on the way go to skipped.
    std::optional<frame> next(bytes &skipped)
    {
        while (!pending_.empty()) {
            if (pending_.front() != command_start) {
                skip(skipped);
                continue;
            }
            if (pending_.size() < 8)
                return std::nullopt;
            frame candidate;
            std::copy_n(pending_.begin(), 8, candidate.begin());
            if (frame_checksum(candidate) == candidate[7]) {
                pending_.erase(pending_.begin(), pending_.begin() + 8);
                return candidate;
            }
            skip(skipped);
        }
        return std::nullopt;
    }

private:
    void skip(bytes &skipped)
    {
        skipped.push_back(pending_.front());
        pending_.pop_front();
    }

    std::deque<std::uint8_t> pending_;
};

// Carries out one command for this module and returns the status reply,
// which shows the state after the command.
frame carry_out(module_state &state, const frame &command)
{
    const std::uint8_t code = command[2];
    const std::uint8_t data1 = command[5];
    const std::uint8_t data2 = command[6];
    if ((code == switch_off || code == switch_on) && data2 >= 1 && data2 <= 8) {
        const auto bit = static_cast<std::uint8_t>(1u << (data2 - 1));
        state.outputs = code == switch_on ? state.outputs | bit : state.outputs & ~bit;
    } else if (code == set_all_outputs && data1 == data2 && (data1 == 0 || data1 == 255)) {
        state.outputs = data1;
    }
    frame reply { reply_start, state.address, code, 0, state.inputs, 0, state.outputs, 0 };
    reply[7] = frame_checksum(reply);
    return reply;
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

    ~emulator()
    {
        remove_link();
        if (slave_ >= 0)
            ::close(slave_);
        if (master_ >= 0)
            ::close(master_);
    }

    bool open_terminal()
    {
        master_ = ::posix_openpt(O_RDWR | O_NOCTTY);
        if (master_ < 0 || ::grantpt(master_) != 0 || ::unlockpt(master_) != 0) {
            complain(std::string("cannot open a pseudo-terminal: ") + std::strerror(errno));
            return false;
        }
        const char *name = ::ptsname(master_);
        if (!name) {
            complain(std::string("no name for the pseudo-terminal: ") + std::strerror(errno));
            return false;
        }
        slave_name_ = name;
        // Holding the slave open keeps the master from reporting a hang-up
        // each time the panel closes its side, and keeps the settings.
        slave_ = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
        termios settings {};
        if (slave_ < 0 || ::tcgetattr(slave_, &settings) != 0) {
            complain(slave_name_ + ": " + std::strerror(errno));
            return false;
        }
        // Raw: every byte passes unchanged and nothing is echoed.
        ::cfmakeraw(&settings);
        ::cfsetispeed(&settings, B9600);
        ::cfsetospeed(&settings, B9600);
        if (::tcsetattr(slave_, TCSANOW, &settings) != 0) {
            complain(slave_name_ + ": " + std::strerror(errno));
            return false;
        }
        ::fcntl(master_, F_SETFL, ::fcntl(master_, F_GETFL) | O_NONBLOCK);
        ::fcntl(master_, F_SETFD, FD_CLOEXEC);
        return true;
    }

    // Points the link at the terminal. A link left behind by an earlier run
    // is replaced; anything else at that path is left alone.
    bool create_link()
    {
        const std::string &link = settings_.link;
        struct stat entry { };
        if (::lstat(link.c_str(), &entry) == 0) {
            if (!S_ISLNK(entry.st_mode)) {
                complain(link + " exists and is not a symbolic link; not replacing it");
                return false;
            }
            const std::string target = read_link(link);
            struct stat device { };
            const bool live = ::stat(link.c_str(), &device) == 0;
            if (live && target.rfind("/dev/pts/", 0) != 0) {
                complain(link + " points to " + target + "; not replacing it");
                return false;
            }
        }
        // Made under a temporary name and renamed, so the path never
        // points anywhere else in between.
        const std::string temporary = link + ".new" + std::to_string(::getpid());
        ::unlink(temporary.c_str());
        if (::symlink(slave_name_.c_str(), temporary.c_str()) != 0
            || ::rename(temporary.c_str(), link.c_str()) != 0) {
            complain(link + ": " + std::strerror(errno));
            ::unlink(temporary.c_str());
            return false;
        }
        link_made_ = true;
        return true;
    }

    const std::string &device() const { return slave_name_; }

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
                { master_paused ? -1 : master_, POLLIN, 0 },
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
    static std::string read_link(const std::string &path)
    {
        char target[4096];
        const ssize_t size = ::readlink(path.c_str(), target, sizeof target - 1);
        return size < 0 ? std::string() : std::string(target, std::size_t(size));
    }

    void remove_link()
    {
        // Only our own link: another emulator may have taken the path over.
        if (link_made_ && read_link(settings_.link) == slave_name_)
            ::unlink(settings_.link.c_str());
        link_made_ = false;
    }

    // False when the master reports a hang-up or an error instead of data.
    bool read_master()
    {
        std::uint8_t chunk[256];
        const ssize_t got = ::read(master_, chunk, sizeof chunk);
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
            if (::write(master_, next.data.data() + next.written, count) < 0 && errno != EAGAIN)
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
    int master_ = -1;
    int slave_ = -1;
    std::string slave_name_;
    bool link_made_ = false;
    bool quit_ = false;
};

const char usage[]
    = "usage: orvalin-sim --link PATH [--address N[,N...]] [--demo] [--verbose]\n"
      "                   [--monotonic] [--baud N] [--turnaround MS]\n"
      "                   [--drop FRACTION] [--garbage [N]] [--split MS] [--delay MS]\n"
      "                   [--silent] [--seed N]\n";

// "1,2,7": distinct addresses 0..255, in the order given.
std::optional<std::vector<std::uint8_t>> parse_addresses(const std::string &text)
{
    std::vector<std::uint8_t> addresses;
    std::istringstream items(text);
    for (std::string item; std::getline(items, item, ',');) {
        const auto address = parse_integer(item, 0, 255);
        if (!address || std::count(addresses.begin(), addresses.end(), *address))
            return std::nullopt;
        addresses.push_back(std::uint8_t(*address));
    }
    if (addresses.empty() || text.back() == ',')
        return std::nullopt;
    return addresses;
}

std::optional<options> parse_options(int argc, char *argv[])
{
    options parsed;
    for (int i = 1; i < argc; ++i) {
        const std::string name = argv[i];
        const bool has_value = i + 1 < argc;
        const std::string value = has_value ? argv[i + 1] : std::string();
        const auto bad = [&] {
            complain("bad or missing value for " + name);
            return std::nullopt;
        };
        if (name == "--help" || name == "-h") {
            return std::nullopt;
        } else if (name == "--demo") {
            parsed.demo = true;
        } else if (name == "--verbose") {
            parsed.verbose = true;
        } else if (name == "--monotonic") {
            parsed.monotonic = true;
        } else if (name == "--silent") {
            parsed.faults.silent = true;
        } else if (name == "--garbage") {
            // The count is optional.
            const auto count = parse_integer(value, 0, 1000);
            parsed.faults.garbage = count ? int(*count) : default_garbage;
            if (count)
                ++i;
        } else if (!has_value) {
            complain("unknown option or missing value: " + name);
            return std::nullopt;
        } else if (name == "--link") {
            parsed.link = value;
            ++i;
        } else if (name == "--address") {
            const auto addresses = parse_addresses(value);
            if (!addresses)
                return bad();
            parsed.addresses = *addresses;
            ++i;
        } else if (name == "--baud") {
            const auto baud = parse_integer(value, 50, 4000000);
            if (!baud)
                return bad();
            // 8N1: a start bit, 8 data bits and a stop bit per byte.
            parsed.byte_time = std::chrono::nanoseconds(10 * 1000000000LL / *baud);
            ++i;
        } else if (name == "--turnaround") {
            const auto ms = parse_integer(value, 0, 60000);
            if (!ms)
                return bad();
            parsed.turnaround = std::chrono::milliseconds(*ms);
            ++i;
        } else if (name == "--drop") {
            const auto fraction = parse_fraction(value);
            if (!fraction)
                return bad();
            parsed.faults.drop = *fraction;
            ++i;
        } else if (name == "--split" || name == "--delay") {
            const auto ms = parse_integer(value, 0, 60000);
            if (!ms)
                return bad();
            (name == "--split" ? parsed.faults.split : parsed.faults.delay)
                = std::chrono::milliseconds(*ms);
            ++i;
        } else if (name == "--seed") {
            const auto seed = parse_integer(value, 0, 0x7fffffff);
            if (!seed)
                return bad();
            parsed.seed = unsigned(*seed);
            ++i;
        } else {
            complain("unknown option " + name);
            return std::nullopt;
        }
    }
    if (parsed.link.empty()) {
        complain("--link PATH is required");
        return std::nullopt;
    }
    return parsed;
}

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
    if (!module.open_terminal() || !module.create_link())
        return 1;
    say("ready " + parsed->link + " -> " + module.device());
    return module.run();
}
