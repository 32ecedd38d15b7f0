#pragma once

#include <QByteArray>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

// A broken invariant ends the run with a message the fuzzer keeps.
[[noreturn]] inline void fail(const char *what)
{
    std::fprintf(stderr, "invariant broken: %s\n", what);
    std::abort();
}

inline void expect(bool holds, const char *what)
{
    if (!holds)
        fail(what);
}

// Splits one fuzz input into choices and data: numbers are taken from the
// end, byte runs from the front, so that a change to one seldom shifts the
// other. Reading past either end gives the lowest number or no bytes.
class fuzz_input {
public:
    fuzz_input(const std::uint8_t *data, std::size_t size)
        : data_(reinterpret_cast<const char *>(data))
        , end_(qsizetype(size))
    {
    }

    bool empty() const { return front_ >= end_; }

    // A number from low to high (a span of at most 65535).
    int number(int low, int high)
    {
        const unsigned span = unsigned(high - low);
        unsigned value = 0;
        for (unsigned seen = 0; seen < span && front_ < end_; seen = (seen << 8) | 0xFF)
            value = (value << 8) | std::uint8_t(data_[--end_]);
        return low + int(value % (span + 1));
    }
    bool flag() { return number(0, 1) == 1; }

    // Up to count bytes from the front.
    QByteArray bytes(qsizetype count)
    {
        const qsizetype taken = std::min(count, end_ - front_);
        const QByteArray result(data_ + front_, std::max<qsizetype>(taken, 0));
        front_ += result.size();
        return result;
    }
    QByteArray rest() { return bytes(end_ - front_); }

private:
    const char *data_;
    qsizetype front_ = 0;
    qsizetype end_;
};
