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

profile_text decode_file(QByteArray data)
{
    profile_text text;
    if (data.startsWith("\xEF\xBB\xBF")) {
        text.encoding = file_encoding::utf8;
        text.bytes = data.sliced(3);
    } else if (data.startsWith("\xFF\xFE") || data.startsWith("\xFE\xFF")) {
        const bool little = uchar(data[0]) == 0xFF;
        text.encoding = little ? file_encoding::utf16le : file_encoding::utf16be;
        QStringDecoder decoder(little ? QStringConverter::Utf16LE : QStringConverter::Utf16BE,
            QStringConverter::Flag::Stateless);
        text.bytes = QString(decoder.decode(QByteArrayView(data).sliced(2))).toUtf8();
        // Whatever the decoder mended (an odd byte, a lone surrogate) would
        // be lost by a rewrite.
        text.convertible = encode_file(text.encoding, text.bytes) == data;
    } else {
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
        break;
    }
    const bool little = encoding == file_encoding::utf16le;
    QStringEncoder encoder(little ? QStringConverter::Utf16LE : QStringConverter::Utf16BE);
    return (little ? QByteArray("\xFF\xFE") : QByteArray("\xFE\xFF"))
        + QByteArray(encoder.encode(QString::fromUtf8(bytes)));
}

} // namespace orvalin::profile_codec
