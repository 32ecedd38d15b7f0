#include "web/request_guard.h"

#include <algorithm>
#include <iterator>
#include <limits>
#include <string_view>

namespace orvalin::web {

namespace {

using namespace std::string_view_literals;

// The header names the guard acts on, in lower case; bit i of a candidate set
// stands for watched_names[i].
constexpr std::string_view watched_names[] = { "content-length"sv, "transfer-encoding"sv };
constexpr unsigned content_length_bit = 1u << 0;
constexpr unsigned transfer_encoding_bit = 1u << 1;
constexpr unsigned all_names = (1u << std::size(watched_names)) - 1;

bool is_blank(char c)
{
    return c == ' ' || c == '\t';
}
bool is_digit(char c)
{
    return c >= '0' && c <= '9';
}
char lower(char c)
{
    return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c;
}

} // namespace

request_guard::request_guard(request_limits limits)
    : limits_(limits)
{
}

request_guard::verdict request_guard::feed(QByteArrayView bytes)
{
    for (qsizetype i = 0; i < bytes.size() && verdict_ == verdict::ok;) {
        if (now_.where == at::body) {
            // The body is only counted, in whole runs.
            const qsizetype taken = std::min(now_.body_left, bytes.size() - i);
            now_.body_left -= taken;
            i += taken;
            if (now_.body_left == 0) {
                end_request();
            }
            continue;
        }
        step(bytes[i++]);
    }
    return verdict_;
}

void request_guard::step(char byte)
{
    if (++now_.head_bytes > limits_.max_head)
        return fail(verdict::head_too_large);
    if (byte == '\0')
        return fail(verdict::bad_request);
    if (now_.after_cr && byte != '\n')
        return fail(verdict::bad_request); // a bare CR ends a line for some parsers only
    if (byte == '\r') {
        now_.after_cr = true;
        return;
    }
    now_.after_cr = false;
    if (byte == '\n')
        return end_line();

    switch (now_.where) {
    case at::line_start:
        if (!now_.seen_request_line) {
            now_.seen_request_line = true;
            now_.where = at::request_line;
            return;
        }
        now_.where = at::name;
        now_.name_length = 0;
        now_.name_candidates = all_names;
        [[fallthrough]];
    case at::name:
        if (byte == ':') {
            const auto named = [this](unsigned bit, std::string_view name) {
                return (now_.name_candidates & bit) && now_.name_length == qsizetype(name.size());
            };
            if (named(transfer_encoding_bit, watched_names[1]))
                return fail(verdict::bad_request);
            if (named(content_length_bit, watched_names[0])) {
                now_.where = at::length_lead;
                now_.value = 0;
            } else {
                now_.where = at::other_value;
            }
            return;
        }
        // Blanks before a name fold the line into the one before; blanks
        // after it are read as part of the name by some parsers only.
        if (is_blank(byte))
            return fail(verdict::bad_request);
        for (unsigned k = 0; k < std::size(watched_names); ++k) {
            const std::string_view name = watched_names[k];
            if (now_.name_length >= qsizetype(name.size())
                || name[size_t(now_.name_length)] != lower(byte))
                now_.name_candidates &= ~(1u << k);
        }
        ++now_.name_length;
        return;
    case at::length_lead:
    case at::length_digits:
        if (is_digit(byte)) {
            now_.where = at::length_digits;
            // Capped just past the limit: any larger value is refused the same way.
            const qsizetype cap
                = std::min(limits_.max_body, std::numeric_limits<qsizetype>::max() / 16) + 1;
            now_.value = std::min(now_.value * 10 + (byte - '0'), cap);
            return;
        }
        if (is_blank(byte)) {
            if (now_.where == at::length_digits)
                now_.where = at::length_trail;
            return;
        }
        return fail(verdict::bad_request);
    case at::length_trail:
        if (!is_blank(byte))
            return fail(verdict::bad_request);
        return;
    case at::request_line:
    case at::other_value:
    case at::body:
        return;
    }
}

void request_guard::end_line()
{
    switch (now_.where) {
    case at::line_start:
        // Empty lines before the request line are skipped, as servers do.
        if (now_.seen_request_line)
            end_head();
        return;
    case at::name:
    case at::length_lead:
        return fail(verdict::bad_request);
    case at::length_digits:
    case at::length_trail:
        end_length();
        break;
    case at::request_line:
    case at::other_value:
    case at::body:
        break;
    }
    if (verdict_ == verdict::ok)
        now_.where = at::line_start;
}

void request_guard::end_length()
{
    if (now_.has_length && now_.value != now_.length)
        return fail(verdict::bad_request);
    now_.has_length = true;
    now_.length = now_.value;
    if (now_.length > limits_.max_body)
        fail(verdict::body_too_large);
}

void request_guard::end_head()
{
    if (now_.length > 0) {
        now_.where = at::body;
        now_.body_left = now_.length;
        return;
    }
    end_request();
}

void request_guard::end_request()
{
    ++ended_;
    now_ = {};
}

} // namespace orvalin::web
