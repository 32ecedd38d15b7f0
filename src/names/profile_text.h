#pragma once

// The text codec of profile files: which encoding a file's bytes are in, and
// the conversion between them and the bytes the parser works on.

#include "names/names_problem.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QString>
#include <QStringDecoder>
#include <QStringEncoder>
#include <QStringView>

#include <optional>

namespace orvalin::profile_codec {

// The reader this replaces filled a 255-byte buffer: 254 bytes and a NUL.
inline constexpr qsizetype value_limit = 254;

// How a file stores its text. Files with a byte-order mark keep it and their
// encoding, as does UTF-16 without a mark (some editors save it so); all
// others are GB18030.
enum class file_encoding { gb18030, utf8, utf16le, utf16be, utf16le_unmarked, utf16be_unmarked };

// Length of the GB18030 character at i: 1, 2 or 4 bytes. A byte that starts
// no valid sequence counts alone.
qsizetype char_length(QByteArrayView bytes, qsizetype i);

// GB18030 as code page 936 writes it: the single byte 0x80 is the euro sign
// there, and files from that platform use it. So 0x80 reads as the euro sign
// (as does GB18030's own 0xA2E3) and the euro sign is written as 0x80, which
// both read. Damaged sequences become U+FFFD; damaged (when given) says so.
QByteArray encode_gb(QStringEncoder &encoder, QStringView text);
QString decode_gb(QStringDecoder &decoder, QByteArrayView bytes, bool *damaged = nullptr);

// Converters for one call. Stateless, so a damaged sequence at the end of one
// text never carries into the next. Names and values are handled as GB18030,
// or as UTF-8 for files in a Unicode encoding (UTF-16 files are worked on as
// UTF-8 and converted back).
class codec {
public:
    explicit codec(file_encoding encoding = file_encoding::gb18030);

    // Nothing for text that the encoding cannot hold (a lone surrogate, which
    // the encoder would silently drop).
    std::optional<QByteArray> encode(QStringView text);

    QString decode(QByteArrayView bytes);

    // A value as a 255-byte GB18030 buffer returns it: its first 254 bytes,
    // never cut inside a character.
    QString cut_value(QByteArrayView value);

    // Two names are the same section or key when their folded forms are equal.
    QByteArray fold(QByteArrayView name);

private:
    bool gb_;
    QStringEncoder encoder_;
    QStringDecoder decoder_;
};

// A profile file's text as the parser sees it.
struct profile_text {
    file_encoding encoding = file_encoding::gb18030;
    QByteArray bytes; // GB18030, or UTF-8 for a file in a Unicode encoding
    // Why the text would not convert back to the file's bytes (a damaged
    // UTF-16 file, or one whose encoding cannot be told); none when it
    // would. Such a file is read but never rewritten.
    names_problem unwritable = names_problem::none;
};

// The text of a file's bytes, in the encoding they show: a byte-order mark,
// or the zero bytes of UTF-16 without one. Zero bytes that show no encoding
// leave the text read as GB18030, to be read but never rewritten; a few
// stray ones in GB18030 text are read as they are.
profile_text decode_file(QByteArray data);

// The file's bytes for text in the given encoding, its byte-order mark first.
QByteArray encode_file(file_encoding encoding, const QByteArray &bytes);

// Why file, made by encode_file of bytes, would not read back as those bytes
// in that encoding (encoding_would_change); none when it would. UTF-16 without a mark is told only
// by its zero bytes, and new text (many characters U+xx00) can spread them over both lanes, so that
// the file would read as GB18030.
names_problem rewrite_fault(
    const QByteArray &file, file_encoding encoding, const QByteArray &bytes);

} // namespace orvalin::profile_codec
