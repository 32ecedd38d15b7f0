#pragma once

// The text codec of profile files: which encoding a file's bytes are in, and
// the conversion between them and the bytes the parser works on.

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
// encoding; all others are GB18030.
enum class file_encoding { gb18030, utf8, utf16le, utf16be };

// Length of the GB18030 character at i: 1, 2 or 4 bytes. A byte that starts
// no valid sequence counts alone.
qsizetype char_length(QByteArrayView bytes, qsizetype i);

// Converters for one call. Stateless, so a damaged sequence at the end of one
// text never carries into the next. Names and values are handled as GB18030,
// or as UTF-8 for files with a byte-order mark (UTF-16 files are worked on as
// UTF-8 and converted back).
class codec {
public:
    explicit codec(file_encoding encoding = file_encoding::gb18030)
        : gb_(encoding == file_encoding::gb18030)
        , encoder_(gb_ ? "GB18030" : "UTF-8", QStringConverter::Flag::Stateless)
        , decoder_(gb_ ? "GB18030" : "UTF-8", QStringConverter::Flag::Stateless)
    {
    }

    // Nothing for text that the encoding cannot hold (a lone surrogate, which
    // the encoder would silently drop).
    std::optional<QByteArray> encode(QStringView text)
    {
        if (!text.isValidUtf16())
            return std::nullopt;
        return QByteArray(encoder_.encode(text));
    }

    QString decode(QByteArrayView bytes) { return decoder_.decode(bytes); }

    // A value as a 255-byte GB18030 buffer returns it: its first 254 bytes,
    // never cut inside a character.
    QString cut_value(QByteArrayView value)
    {
        QByteArray gb_bytes;
        if (!gb_) {
            gb_bytes = QStringEncoder("GB18030", QStringConverter::Flag::Stateless)
                           .encode(decode(value));
            value = gb_bytes;
        }
        qsizetype cut = 0;
        while (cut < value.size() && cut + char_length(value, cut) <= value_limit)
            cut += char_length(value, cut);
        if (gb_)
            return decode(value.first(cut));
        return QStringDecoder("GB18030", QStringConverter::Flag::Stateless)
            .decode(value.first(cut));
    }

    // Two names are the same section or key when their folded forms are equal.
    QByteArray fold(QByteArrayView name)
    {
        // Among ASCII only letters have case, and the two-byte ideographs and
        // private-use characters of GB18030 have none, so names made of these
        // (all the names of the name file) fold without decoding.
        QByteArray folded(name.size(), Qt::Uninitialized);
        for (qsizetype i = 0; i < name.size();) {
            const auto lead = uchar(name[i]);
            if (lead < 0x80) {
                folded[i] = char(lead >= 'A' && lead <= 'Z' ? lead + ('a' - 'A') : lead);
                ++i;
            } else if (gb_ && char_length(name, i) == 2 && (lead <= 0xA0 || lead >= 0xAA)) {
                folded[i] = name[i];
                folded[i + 1] = name[i + 1];
                i += 2;
            } else {
                // A damaged name decodes to nothing certain, so it equals
                // only itself. (hasError() never resets, hence a fresh decoder.)
                QStringDecoder decoder(
                    gb_ ? "GB18030" : "UTF-8", QStringConverter::Flag::Stateless);
                const QString text = decoder.decode(name);
                if (decoder.hasError())
                    return name.toByteArray();
                return encoder_.encode(text.toCaseFolded());
            }
        }
        return folded;
    }

private:
    bool gb_;
    QStringEncoder encoder_;
    QStringDecoder decoder_;
};

// A profile file's text as the parser sees it.
struct profile_text {
    file_encoding encoding = file_encoding::gb18030;
    QByteArray bytes; // GB18030, or UTF-8 for a file with a byte-order mark
    // False when the text would not convert back to the file's bytes (a
    // damaged UTF-16 file): such a file is read but never rewritten.
    bool convertible = true;
};

// The text of a file's bytes, in the encoding they show.
profile_text decode_file(QByteArray data);

// The file's bytes for text in the given encoding, its byte-order mark first.
QByteArray encode_file(file_encoding encoding, const QByteArray &bytes);

} // namespace orvalin::profile_codec
