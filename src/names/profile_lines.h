#pragma once

#include <QByteArrayView>
#include <QString>

#include <optional>

// The lines of a profile file as the profile operations see them: where a
// line starts and ends, and whether it is a header, a key line or neither.
// Works on the file's text as bytes (GB18030, or UTF-8 for a marked file).
namespace orvalin::profile_lines {

bool is_line_end(char c);
// The blanks around keys, values and headers: space, tab, VT, FF.
bool is_blank(char c);
QByteArrayView trimmed(QByteArrayView bytes);
// Only the blanks above, never other white space.
QString trimmed(const QString &text);

struct line {
    qsizetype begin = 0; // first byte
    qsizetype end = 0; // behind the text, where the line end starts
    qsizetype next = 0; // behind the line end
};

enum class line_kind { other, header, key };

struct parsed_line : line {
    line_kind kind = line_kind::other;
    QByteArrayView name; // section of a header, key of a key line
    qsizetype value_begin = 0; // behind the "=" of a key line
};

// Lines end at CR LF, LF or a lone CR. Blanks may stand before a header or a
// key, and around "=". A header runs to the last "]" of its line; a line
// starting with "[" is never a key line, one starting with ";" is a comment.
parsed_line parse_line(QByteArrayView data, qsizetype begin);

// The first header line that starts at or behind from, found through its "["
// so that the lines in between are not parsed one by one.
std::optional<parsed_line> next_header(QByteArrayView data, qsizetype from);

} // namespace orvalin::profile_lines
