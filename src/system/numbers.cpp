#include "system/numbers.h"

#include <QString>

#include <cmath>

namespace orvalin {

namespace {

bool is_blank(QChar c)
{
    return c == u' ' || c == u'\t' || c == u'\n' || c == u'\r' || c == u'\v' || c == u'\f';
}

bool is_digit(QChar c)
{
    return c >= u'0' && c <= u'9';
}

QStringView without_blanks(QStringView text)
{
    while (!text.isEmpty() && is_blank(text.front()))
        text = text.sliced(1);
    while (!text.isEmpty() && is_blank(text.back()))
        text.chop(1);
    return text;
}

// The leading digits of text, taken off it.
QStringView take_digits(QStringView &text)
{
    qsizetype count = 0;
    while (count < text.size() && is_digit(text[count]))
        ++count;
    const QStringView digits = text.first(count);
    text = text.sliced(count);
    return digits;
}

} // namespace

std::optional<int> parse_whole(QStringView text, int min, int max)
{
    text = without_blanks(text);
    if (text.isEmpty())
        return std::nullopt;
    long long value = 0;
    for (const QChar c : text) {
        if (!is_digit(c))
            return std::nullopt;
        value = value * 10 + (c.unicode() - u'0');
        // max is an int, so this stops long before value could overflow.
        if (value > max)
            return std::nullopt;
    }
    if (value < min)
        return std::nullopt;
    return int(value);
}

std::optional<std::uint8_t> parse_address(QStringView text)
{
    const auto value = parse_whole(text, 0, 255);
    return value ? std::optional(std::uint8_t(*value)) : std::nullopt;
}

std::optional<std::chrono::milliseconds> parse_duration(
    QStringView text, std::chrono::milliseconds min, std::chrono::milliseconds max)
{
    text = without_blanks(text);
    const QStringView whole = take_digits(text);
    QStringView fraction;
    if (text.startsWith(u'.')) {
        text = text.sliced(1);
        fraction = take_digits(text);
        if (fraction.isEmpty())
            return std::nullopt;
    }
    if (whole.isEmpty())
        return std::nullopt;
    double scale = 1000;
    if (text == u"ms")
        scale = 1;
    else if (text == u"m")
        scale = 60000;
    else if (!text.isEmpty() && text != u"s")
        return std::nullopt;
    // ASCII digits and at most one point, read the same in every locale; a
    // very long run of digits comes out huge and fails the bound.
    QString number = whole.toString();
    if (!fraction.isEmpty())
        number += u'.' + fraction.toString();
    bool ok = false;
    const double millis = std::round(number.toDouble(&ok) * scale);
    if (!ok || !(millis >= double(min.count()) && millis <= double(max.count())))
        return std::nullopt;
    return std::chrono::milliseconds(static_cast<long long>(millis));
}

} // namespace orvalin
