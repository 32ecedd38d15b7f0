// The emulator's command line and the words of its standard-input commands.

#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace orvalin::sim {

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

extern const char usage[];

// A whole number as every Orvalin program reads one.
std::optional<long> parse_integer(const std::string &text, int low, int high);
// A byte in one or two hex digits, as the status line prints it ("0f").
std::optional<std::uint8_t> parse_hex_byte(const std::string &text);
std::optional<double> parse_fraction(const std::string &text);
std::optional<bool> parse_switch(const std::string &text);
// "1,2,7": distinct addresses 0..255, in the order given.
std::optional<std::vector<std::uint8_t>> parse_addresses(const std::string &text);
// Nothing on --help or a bad command line (said on standard error).
std::optional<options> parse_options(int argc, char *argv[]);

void say(const std::string &line);
void complain(const std::string &line);

} // namespace orvalin::sim
