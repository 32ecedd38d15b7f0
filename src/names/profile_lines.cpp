#include "names/profile_lines.h"

namespace orvalin::profile_lines {

bool is_line_end(char c)
{
    return c == '\r' || c == '\n';
}

bool is_blank(char c)
{
    return c == ' ' || c == '\t' || c == '\v' || c == '\f';
}

QByteArrayView trimmed(QByteArrayView bytes)
{
    while (!bytes.isEmpty() && is_blank(bytes.front()))
        bytes = bytes.sliced(1);
    while (!bytes.isEmpty() && is_blank(bytes.back()))
        bytes.chop(1);
    return bytes;
}

QString trimmed(const QString &text)
{
    const auto blank = [](QChar c) { return c.unicode() < 0x80 && is_blank(char(c.unicode())); };
    qsizetype begin = 0;
    qsizetype end = text.size();
    while (begin < end && blank(text[begin]))
        ++begin;
    while (end > begin && blank(text[end - 1]))
        --end;
    return text.sliced(begin, end - begin);
}

parsed_line parse_line(QByteArrayView data, qsizetype begin)
{
    parsed_line result;
    result.begin = begin;
    qsizetype end = begin;
    while (end < data.size() && !is_line_end(data[end]))
        ++end;
    result.end = end;
    result.next = end;
    if (end < data.size())
        result.next += data[end] == '\r' && end + 1 < data.size() && data[end + 1] == '\n' ? 2 : 1;

    qsizetype text = begin;
    while (text < end && is_blank(data[text]))
        ++text;
    const QByteArrayView content = data.sliced(text, end - text);
    if (content.startsWith('[')) {
        const qsizetype close = content.lastIndexOf(']');
        if (close > 0) {
            result.kind = line_kind::header;
            result.name = content.sliced(1, close - 1);
        }
    } else if (content.startsWith(';')) {
        // A comment, even with "=" in it.
    } else if (const qsizetype equals = content.indexOf('='); equals >= 0) {
        result.kind = line_kind::key;
        result.name = trimmed(content.first(equals));
        result.value_begin = text + equals + 1;
    }
    return result;
}

std::optional<parsed_line> next_header(QByteArrayView data, qsizetype from)
{
    while (from < data.size()) {
        const qsizetype bracket = data.indexOf('[', from);
        if (bracket < 0)
            break;
        qsizetype begin = bracket;
        while (begin > 0 && is_blank(data[begin - 1]))
            --begin;
        if (begin > 0 && !is_line_end(data[begin - 1])) {
            from = bracket + 1;
            continue;
        }
        const parsed_line candidate = parse_line(data, begin);
        if (candidate.kind == line_kind::header)
            return candidate;
        from = candidate.next;
    }
    return std::nullopt;
}

} // namespace orvalin::profile_lines
