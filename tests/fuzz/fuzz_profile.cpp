// The profile reader and writer over arbitrary file bytes and text. Checks: a
// refused write leaves the file as it was, a write edits one line, a storable
// value reads back, other entries keep their values, and a missing file gives
// one message per call and is never created.
#include "names/profile.h"
#include "system/toolkit.h"

#include "fuzz_input.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QStringDecoder>
#include <QStringEncoder>
#include <QTemporaryDir>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>

using namespace orvalin;

namespace {

std::unique_ptr<QTemporaryDir> work_dir;
QString path;
int messages = 0;

// UTF-8, Latin-1 or raw UTF-16 (lone surrogates included), as the input says.
QString text(fuzz_input &input)
{
    const int form = input.number(0, 2);
    const QByteArray bytes = input.bytes(input.number(0, 600));
    switch (form) {
    case 0:
        return QString::fromUtf8(bytes);
    case 1:
        return QString::fromLatin1(bytes);
    default:
        return QString(reinterpret_cast<const QChar *>(bytes.constData()), bytes.size() / 2);
    }
}

QByteArray contents()
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// Storable: at most 254 GB18030 bytes, no edge blanks, line breaks or
// enclosing quotes.
bool reads_back(const QString &value)
{
    if (!value.isValidUtf16() || value.contains(u'\r') || value.contains(u'\n')
        || value.contains(QChar(0)))
        return false;
    if (!value.isEmpty()
        && (value.front().isSpace() || value.back().isSpace()
            || (value.size() > 1 && (value.front() == u'"' || value.front() == u'\'')
                && value.back() == value.front())))
        return false;
    return QByteArray(QStringEncoder("GB18030").encode(value)).size() <= 254;
}

// Could the two names be one entry of the file? Errs towards yes.
bool may_be_same(const QString &a, const QString &b)
{
    return a.trimmed().toCaseFolded() == b.trimmed().toCaseFolded();
}

// A UTF-16 file as UTF-8, so that its line ends show as bytes. Without a
// byte-order mark, order says which UTF-16 it may be (zero bytes tell).
QByteArray as_text(const QByteArray &file, std::optional<QStringConverter::Encoding> order = {})
{
    if (file.startsWith("\xFF\xFE") || file.startsWith("\xFE\xFF"))
        order = file[0] == '\xFF' ? QStringConverter::Utf16LE : QStringConverter::Utf16BE;
    if (!order)
        return file;
    QStringDecoder decoder(*order);
    return QString(decoder.decode(file)).toUtf8();
}

// New equals old with one stretch, free of line ends, replaced.
bool one_edit_in(const QByteArray &before, const QByteArray &after)
{
    const qsizetype shorter = std::min(before.size(), after.size());
    qsizetype prefix = 0;
    while (prefix < shorter && before[prefix] == after[prefix])
        ++prefix;
    qsizetype suffix = 0;
    while (suffix < shorter - prefix
        && before[before.size() - 1 - suffix] == after[after.size() - 1 - suffix])
        ++suffix;
    const QByteArray removed = before.sliced(prefix, before.size() - prefix - suffix);
    return !removed.contains('\r') && !removed.contains('\n');
}

bool one_edit_in_one_line(const QByteArray &before, const QByteArray &after)
{
    if (one_edit_in(as_text(before), as_text(after)))
        return true;
    if (!before.contains('\0'))
        return false;
    // UTF-16 without a mark, either order.
    for (const auto order : { QStringConverter::Utf16LE, QStringConverter::Utf16BE })
        if (one_edit_in(as_text(before, order), as_text(after, order)))
            return true;
    return false;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    static QCoreApplication app(*argc, *argv);
    // Prefer a memory file system: the writer syncs every file.
    const QString base = QDir(QStringLiteral("/dev/shm")).exists()
        ? QStringLiteral("/dev/shm/orvalin-fuzz-XXXXXX")
        : QDir::temp().filePath(QStringLiteral("orvalin-fuzz-XXXXXX"));
    work_dir = std::make_unique<QTemporaryDir>(base);
    path = work_dir->filePath(QStringLiteral("name.txt"));
    toolkit::set_message_sink([](const toolkit::message &) { ++messages; });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    fuzz_input input(data, size);
    const bool missing = input.number(0, 15) == 0;
    input.flag(); // keeps the corpus layout
    const QString section = text(input);
    const QString key = text(input);
    const QString value = text(input);
    const QString other_section = input.flag() ? section : text(input);
    const QString other_key = text(input);
    text(input); // keeps the corpus layout
    const QByteArray before = input.rest();

    QFile::remove(path);
    if (!missing) {
        QFile out(path);
        if (!out.open(QIODevice::WriteOnly) || out.write(before) != before.size())
            fail("cannot set up the file");
    }
    messages = 0;

    const QString read = read_profile(path, section, key);
    const bool found = section_exists(path, section);
    const QString other_read = read_profile(path, other_section, other_key);
    const int written = write_profile(path, section, key, value);

    if (missing) {
        expect(messages == 4, "one message per call on a missing file");
        expect(read.isEmpty() && !found && other_read.isEmpty() && written == 0,
            "neutral results on a missing file");
        expect(!QFile::exists(path), "write_profile created a missing file");
    } else {
        expect(messages == 0, "a message for a file that exists");
        const QByteArray after = contents();
        if (written == 0) {
            expect(after == before, "a refused write changed the file");
        } else {
            expect(one_edit_in_one_line(before, after), "a write touched other lines");
            if (reads_back(value))
                expect(read_profile(path, section, key) == value, "a value did not read back");
            if (!may_be_same(section, other_section) || !may_be_same(key, other_key))
                expect(read_profile(path, other_section, other_key) == other_read,
                    "a write changed another entry");
        }
    }

    return 0;
}
