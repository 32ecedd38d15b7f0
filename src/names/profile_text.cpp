#include "names/profile_text.h"

namespace orvalin::profile_codec {

// Length of the GB18030 character at i: 1, 2 or 4 bytes. A byte that starts
// no valid sequence counts alone.
qsizetype char_length(QByteArrayView bytes, qsizetype i)
{
    const auto lead = uchar(bytes[i]);
    if (lead <= 0x80 || lead == 0xFF || i + 1 >= bytes.size())
        return 1;
    const auto second = uchar(bytes[i + 1]);
    if (second >= 0x40 && second <= 0xFE && second != 0x7F)
        return 2;
    if (second >= 0x30 && second <= 0x39 && i + 3 < bytes.size()) {
        const auto third = uchar(bytes[i + 2]);
        const auto fourth = uchar(bytes[i + 3]);
        if (third >= 0x81 && third <= 0xFE && fourth >= 0x30 && fourth <= 0x39)
            return 4;
    }
    return 1;
}

namespace {

constexpr char16_t euro_sign = 0x20AC;
constexpr char cp936_euro = '\x80';

// UTF-16 without a byte-order mark shows in its zero bytes: every profile
// line has ASCII characters ("[", "]", "=", a line end), whose high byte is
// zero, so nearly all zero bytes fall in the lane of the high bytes. GB18030
// text has no zero byte at all, but for a stray one.
enum class zero_pattern { none, stray, utf16le, utf16be, unclear };

bool is_structural(char c)
{
    return c == '[' || c == ']' || c == '=' || c == '\r' || c == '\n';
}

zero_pattern zero_bytes(QByteArrayView data)
{
    if (!data.contains('\0'))
        return zero_pattern::none;
    qsizetype zeros[2] = { 0, 0 }; // at even and at odd offsets
    qsizetype structural[2] = { 0, 0 }; // ASCII units whose high byte is odd, even
    for (qsizetype i = 0; i < data.size(); ++i) {
        if (data[i] != 0)
            continue;
        ++zeros[i % 2];
        // The character unit this zero is the high byte of, little end first
        // (zero at an odd offset) or big end first (at an even one).
        const qsizetype low = i % 2 ? i - 1 : i + 1;
        if (low < data.size() && is_structural(data[low]))
            ++structural[i % 2];
    }
    const qsizetype total = zeros[0] + zeros[1];
    if (total == 0)
        return zero_pattern::none;
    for (const int lane : { 1, 0 }) {
        // Characters U+xx00 and U+0000 put a few zeros in the other lane.
        const bool one_lane = zeros[1 - lane] * 4 <= zeros[lane];
        // Structure is ASCII: a good share of the text, in the other lane.
        const bool plenty = zeros[lane] * 32 >= data.size();
        if (one_lane && plenty && structural[lane] >= 2)
            return lane == 1 ? zero_pattern::utf16le : zero_pattern::utf16be;
    }
    return total * 32 < data.size() ? zero_pattern::stray : zero_pattern::unclear;
}

void decode_utf16(profile_text &text, const QByteArray &data, bool little, bool marked)
{
    text.encoding = little ? (marked ? file_encoding::utf16le : file_encoding::utf16le_unmarked)
                           : (marked ? file_encoding::utf16be : file_encoding::utf16be_unmarked);
    QStringDecoder decoder(little ? QStringConverter::Utf16LE : QStringConverter::Utf16BE,
        QStringConverter::Flag::Stateless);
    text.bytes = QString(decoder.decode(QByteArrayView(data).sliced(marked ? 2 : 0))).toUtf8();
    // Whatever the decoder mended (an odd byte, a lone surrogate) would be
    // lost by a rewrite.
    if (encode_file(text.encoding, text.bytes) != data)
        text.unwritable = names_problem::damaged_utf16;
}

} // namespace

QByteArray encode_gb(QStringEncoder &encoder, QStringView text)
{
    QByteArray bytes;
    for (qsizetype from = 0;;) {
        const qsizetype euro = text.indexOf(QChar(euro_sign), from);
        bytes += encoder.encode(text.sliced(from, (euro < 0 ? text.size() : euro) - from));
        if (euro < 0)
            return bytes;
        bytes += cp936_euro;
        from = euro + 1;
    }
}

QString decode_gb(QStringDecoder &decoder, QByteArrayView bytes, bool *damaged)
{
    QString text;
    qsizetype from = 0;
    const auto decode_to
        = [&](qsizetype end) { text += decoder.decode(bytes.sliced(from, end - from)); };
    // Only where a character starts: 0x80 also trails two-byte characters.
    if (bytes.contains(cp936_euro)) {
        for (qsizetype i = 0; i < bytes.size(); i += char_length(bytes, i)) {
            if (bytes[i] == cp936_euro) {
                decode_to(i);
                text += QChar(euro_sign);
                from = i + 1;
            }
        }
    }
    decode_to(bytes.size());
    if (damaged)
        *damaged = decoder.hasError();
    return text;
}

codec::codec(file_encoding encoding)
    : gb_(encoding == file_encoding::gb18030)
    , encoder_(gb_ ? "GB18030" : "UTF-8", QStringConverter::Flag::Stateless)
    , decoder_(gb_ ? "GB18030" : "UTF-8", QStringConverter::Flag::Stateless)
{
}

std::optional<QByteArray> codec::encode(QStringView text)
{
    if (!text.isValidUtf16())
        return std::nullopt;
    if (gb_)
        return encode_gb(encoder_, text);
    return QByteArray(encoder_.encode(text));
}

QString codec::decode(QByteArrayView bytes)
{
    return gb_ ? decode_gb(decoder_, bytes) : QString(decoder_.decode(bytes));
}

QString codec::cut_value(QByteArrayView value)
{
    QByteArray gb_bytes;
    if (!gb_) {
        QStringEncoder encoder("GB18030", QStringConverter::Flag::Stateless);
        gb_bytes = encode_gb(encoder, decode(value));
        value = gb_bytes;
    }
    qsizetype cut = 0;
    while (cut < value.size() && cut + char_length(value, cut) <= value_limit)
        cut += char_length(value, cut);
    if (gb_)
        return decode(value.first(cut));
    QStringDecoder decoder("GB18030", QStringConverter::Flag::Stateless);
    return decode_gb(decoder, value.first(cut));
}

QByteArray codec::fold(QByteArrayView name)
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
            // A damaged name decodes to nothing certain, so it equals only
            // itself. (hasError() never resets, hence a fresh decoder.)
            QStringDecoder decoder(gb_ ? "GB18030" : "UTF-8", QStringConverter::Flag::Stateless);
            bool damaged = false;
            const QString text
                = gb_ ? decode_gb(decoder, name, &damaged) : QString(decoder.decode(name));
            if (damaged || decoder.hasError())
                return name.toByteArray();
            return *encode(text.toCaseFolded());
        }
    }
    return folded;
}

profile_text decode_file(QByteArray data)
{
    profile_text text;
    if (data.startsWith("\xEF\xBB\xBF")) {
        text.encoding = file_encoding::utf8;
        text.bytes = data.sliced(3);
    } else if (data.startsWith("\xFF\xFE") || data.startsWith("\xFE\xFF")) {
        decode_utf16(text, data, uchar(data[0]) == 0xFF, true);
    } else {
        switch (const zero_pattern zeros = zero_bytes(data)) {
        case zero_pattern::utf16le:
        case zero_pattern::utf16be:
            decode_utf16(text, data, zeros == zero_pattern::utf16le, false);
            return text;
        case zero_pattern::unclear:
            // Read as before; a rewrite could only mix encodings.
            text.unwritable = names_problem::encoding_unknown;
            break;
        case zero_pattern::none:
        case zero_pattern::stray:
            break;
        }
        text.bytes = std::move(data);
    }
    return text;
}

// The file's bytes for text in the given encoding, its byte-order mark first.
QByteArray encode_file(file_encoding encoding, const QByteArray &bytes)
{
    switch (encoding) {
    case file_encoding::gb18030:
        return bytes;
    case file_encoding::utf8:
        return "\xEF\xBB\xBF" + bytes;
    case file_encoding::utf16le:
    case file_encoding::utf16be:
    case file_encoding::utf16le_unmarked:
    case file_encoding::utf16be_unmarked:
        break;
    }
    const bool little
        = encoding == file_encoding::utf16le || encoding == file_encoding::utf16le_unmarked;
    const bool marked = encoding == file_encoding::utf16le || encoding == file_encoding::utf16be;
    QStringEncoder encoder(little ? QStringConverter::Utf16LE : QStringConverter::Utf16BE);
    QByteArray mark;
    if (marked)
        mark = little ? QByteArray("\xFF\xFE") : QByteArray("\xFE\xFF");
    return mark + QByteArray(encoder.encode(QString::fromUtf8(bytes)));
}

names_problem rewrite_fault(const QByteArray &file, file_encoding encoding, const QByteArray &bytes)
{
    const profile_text text = decode_file(file);
    if (text.encoding != encoding || text.bytes != bytes)
        return names_problem::encoding_would_change;
    return names_problem::none;
}

} // namespace orvalin::profile_codec
