#include "sim_options.h"

#include "system/numbers.h"

#include <QString>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <sstream>

namespace orvalin::sim {

namespace {
constexpr int default_garbage = 3;
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

std::optional<long> parse_integer(const std::string &text, int low, int high)
{
    const auto value = orvalin::parse_whole(QString::fromStdString(text), low, high);
    return value ? std::optional<long>(*value) : std::nullopt;
}

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

const char usage[]
    = "usage: orvalin-sim --link PATH [--address N[,N...]] [--demo] [--verbose]\n"
      "                   [--monotonic] [--baud N] [--turnaround MS]\n"
      "                   [--drop FRACTION] [--garbage [N]] [--split MS] [--delay MS]\n"
      "                   [--silent] [--seed N]\n";

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

} // namespace orvalin::sim
