#include "names/profile.h"
#include "system/toolkit.h"

#include <QDir>
#include <QFile>
#include <QStringEncoder>
#include <QTemporaryDir>
#include <QTest>

#include <cerrno>
#include <memory>

#ifdef Q_OS_UNIX
#include <csignal>
#include <sys/resource.h>
#include <unistd.h>
#endif

using namespace orvalin;
using namespace Qt::StringLiterals;

namespace {

QByteArray gb(const QString &text)
{
    return QStringEncoder("GB18030").encode(text);
}

// UTF-16 without a byte-order mark, as some editors save it.
QByteArray utf16(const QString &text, QStringConverter::Encoding order)
{
    return QStringEncoder(order).encode(text);
}

} // namespace

class tst_profile : public QObject {
    Q_OBJECT

private slots:
    void init();
    void cleanup()
    {
        QVERIFY(messages_.isEmpty());
        toolkit::set_message_sink({});
    }

    void documented_rules_data();
    void documented_rules();
    void section_line_match();
    void value_limit();
    void gbk_bytes_and_round_trip();
    void euro_sign_as_code_page_936_data();
    void euro_sign_as_code_page_936();
    void encoding_told_by_zero_bytes_data();
    void encoding_told_by_zero_bytes();
    void write_data();
    void write();
    void failed_write_changes_nothing();
    void stale_interrupt_reads_on();

private:
    void put(const QByteArray &bytes)
    {
        QFile file(path_);
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size());
    }
    QByteArray contents() const
    {
        QFile file(path_);
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }

    std::unique_ptr<QTemporaryDir> dir_;
    QString path_;
    QList<toolkit::message> messages_;
};

void tst_profile::init()
{
    dir_ = std::make_unique<QTemporaryDir>();
    path_ = QDir::toNativeSeparators(dir_->filePath(u"name.txt"_s));
    messages_.clear();
    toolkit::set_message_sink([this](const toolkit::message &m) { messages_.append(m); });
}

// One row per rule that a hand-edited file can meet. A null value only
// reads; otherwise the value is written first and the file then equals after.
void tst_profile::documented_rules_data()
{
    QTest::addColumn<QString>("section");
    QTest::addColumn<QString>("key");
    QTest::addColumn<QString>("value");
    QTest::addColumn<QString>("expected");
    QTest::addColumn<QString>("before");
    QTest::addColumn<QString>("after");

    const QString file
        = u"top=0\r\n[General]\r\n; note=1\r\n  Title = Hello World \r\nempty=\r\n"
          "bare line\r\neq=a=b\r\n\r\n[地址码1]\r\n第1路输出名称=水泵\r\n[地址码1 ]\r\n"
          "第1路输出名称=b\r\n[Dup]\r\nk=first\r\nk=second\r\n[DUP]\r\nk=third\r\n"
          "only=2\r\n[Вода]\r\nключ=x\r\n  [Pad] trailing words\r\nk=p\r\n"
          "[q]\r\nd=\" padded \"\r\ns='single'\r\nm=\"mixed'\r\none=\"\r\n"
          "[z]\r\nn=\0hidden\r\n \t[地址码2]\t \r\n第1路输出名称=阀\r\n"
          "[Mixed]\nlf=1\rcr=2\r\nlast=3"_s;
    const QString none;
    // clang-format off
    QTest::newRow("section and key ignore case") << "GENERAL" << "title" << none << "Hello World" << file << none;
    QTest::newRow("case beyond ASCII") << "ВОДА" << "КЛЮЧ" << none << "x" << file << none;
    QTest::newRow("blanks around key, = and value") << "General" << " title " << none << "Hello World" << file << none;
    QTest::newRow("blanks inside brackets name another section") << "地址码1 " << "第1路输出名称" << none << "b" << file << none;
    QTest::newRow("blanks before a header, text behind it") << "pad" << "k" << none << "p" << file << none;
    QTest::newRow("blanks around a header") << "地址码2" << "第1路输出名称" << none << "阀" << file << none;
    QTest::newRow("first of duplicate keys") << "dup" << "k" << none << "first" << file << none;
    QTest::newRow("later duplicate section unread") << "Dup" << "only" << none << "" << file << none;
    QTest::newRow("comment line is no key") << "General" << "; note" << none << "" << file << none;
    QTest::newRow("line without = is no key") << "General" << "bare line" << none << "" << file << none;
    QTest::newRow("key before any section") << "" << "top" << none << "" << file << none;
    QTest::newRow("value behind the first =") << "General" << "eq" << none << "a=b" << file << none;
    QTest::newRow("empty value") << "General" << "empty" << none << "" << file << none;
    QTest::newRow("double quotes dropped") << "q" << "d" << none << " padded " << file << none;
    QTest::newRow("single quotes dropped") << "q" << "s" << none << "single" << file << none;
    QTest::newRow("unpaired quotes kept") << "q" << "m" << none << "\"mixed'" << file << none;
    QTest::newRow("lone quote kept") << "q" << "one" << none << "\"" << file << none;
    QTest::newRow("CR, LF and CR LF end lines") << "Mixed" << "cr" << none << "2" << file << none;
    QTest::newRow("a NUL ends the value") << "z" << "n" << none << "" << file << none;
    QTest::newRow("missing section") << "nowhere" << "k" << none << "" << file << none;
    QTest::newRow("write to first duplicate, any case") << "A" << "K" << "new" << "new"
        << "[a]\r\nk=1\r\nk=2\r\n[A]\r\nk=3\r\n" << "[a]\r\nk=new\r\nk=2\r\n[A]\r\nk=3\r\n";
    QTest::newRow("write past a comment that looks like the key") << "a" << "k" << "v" << "v"
        << "[a]\r\n;k=1\r\n" << "[a]\r\nk=v\r\n;k=1\r\n";
    QTest::newRow("write replaces a quoted value whole") << "a" << "k" << "v" << "v"
        << "[a]\r\nk = \"x\"\r\n" << "[a]\r\nk =v\r\n";
    QTest::newRow("write creates a missing section") << "b" << "k" << "v" << "v"
        << "[a]\r\n" << "[a]\r\n[b]\r\nk=v\r\n";
    QTest::newRow("write refuses a comment key") << "a" << ";k" << "v" << ""
        << "[a]\r\n" << "[a]\r\n";
    // clang-format on
}

void tst_profile::documented_rules()
{
    QFETCH(QString, section);
    QFETCH(QString, key);
    QFETCH(QString, value);
    QFETCH(QString, expected);
    QFETCH(QString, before);
    QFETCH(QString, after);
    put(gb(before));
    if (!value.isNull())
        QCOMPARE(write_profile(path_, section, key, value), expected.isEmpty() ? 0 : 1);
    QCOMPARE(read_profile(path_, section, key), expected);
    QCOMPARE(contents(), gb(after.isNull() ? before : after));
}

// The marker of a complete file is an exact line; readers find a section by
// the header rules, as read_profile does.
void tst_profile::section_line_match()
{
    struct row {
        const char *file;
        bool exact;
        bool found;
    };
    const row rows[] = { { "", false, false }, { "x\n[地址码0]\nk=1", true, true },
        { "x\r[地址码0]\rk=1", true, true }, { " [地址码0]\t\r\n", false, true },
        { "[地址码0] trailing\r\n", false, true }, { "[地址码01]\r\n", false, false },
        { "[地址码0 ]\r\n", false, false }, { "k=[地址码0]\r\n", false, false } };
    for (const auto &[file, exact, found] : rows) {
        put(gb(QString::fromUtf8(file)));
        QVERIFY2(section_exists(path_, u"地址码0"_s) == exact, file);
        QVERIFY2(has_section(path_, u"地址码0"_s) == found, file);
    }
    put("[ABC]\r\n");
    QVERIFY(!section_exists(path_, u"abc"_s)); // unlike a lookup, it minds case
    QVERIFY(has_section(path_, u"abc"_s));
}

// Reading cuts values to 254 bytes at a character boundary; writing does not.
void tst_profile::value_limit()
{
    const QString han = u"名"_s, a252(252, u'a'), a250(250, u'a');
    const QString linear_b = QString::fromUcs4(U"\U00010000"); // 90 30 81 30
    const std::pair<QString, QString> cases[] = { { QString(255, u'a'), QString(254, u'a') },
        { u'a' + han.repeated(127), u'a' + han.repeated(126) },
        { a252 + QString::fromUcs4(U"\U00020000"), a252 },
        { a250 + linear_b.repeated(2), a250 + linear_b } };
    put("[s]\r\n");
    for (const auto &[value, expected] : cases) {
        QVERIFY(write_profile(path_, u"s"_s, u"k"_s, value));
        QCOMPARE(read_profile(path_, u"s"_s, u"k"_s), expected);
        QVERIFY(contents().contains(gb(value)));
    }
}

void tst_profile::gbk_bytes_and_round_trip()
{
    // [地址码1] / 第1路输出名称=输出1 as code page 936 writes them
    put(QByteArray::fromHex("5bb5d8d6b7c2eb315d0d0ab5da31c2b7cae4b3f6c3fbb3c63dcae4b3f6310d0a"));
    QCOMPARE(read_profile(path_, u"地址码1"_s, u"第1路输出名称"_s), u"输出1"_s);
    QVERIFY(write_profile(path_, u"地址码1"_s, u"第1路输入名称"_s, u"输入1"_s));
    QVERIFY(contents().endsWith(QByteArray::fromHex("b5da31c2b7cae4c8ebc3fbb3c63dcae4c8eb310d0a")));

    // Characters code page 936 lacks come back instead of turning into "?".
    const QString rare = QString::fromUcs4(U"𠀀€😀𪚥ä");
    QVERIFY(write_profile(path_, rare, rare, rare));
    QCOMPARE(read_profile(path_, rare, rare), rare);
}

void tst_profile::euro_sign_as_code_page_936_data()
{
    QTest::addColumn<QByteArray>("stored");
    QTest::addColumn<QString>("value");
    // clang-format off
    QTest::newRow("0x80 alone") << QByteArray("\x80") << u"€"_s;
    QTest::newRow("0x80 among text") << QByteArray("5\x80\xc3\xfb") << u"5€名"_s;
    QTest::newRow("0x80 trailing a character") << QByteArray("\x81\x80\x80") << u"亐€"_s;
    QTest::newRow("GB18030's own euro") << QByteArray("\xa2\xe3") << u"€"_s;
    QTest::newRow("0x80 behind a broken four-byte start") << QByteArray("\x81\x30\x80\x30") << u"€0"_s;
    // clang-format on
}

// Code page 936 stores the euro sign as the single byte 0x80; files from that
// platform read so, and the sign is written back so.
void tst_profile::euro_sign_as_code_page_936()
{
    QFETCH(QByteArray, stored);
    QFETCH(QString, value);
    put("[a]\r\nk=" + stored + "\r\n");
    QCOMPARE(read_profile(path_, u"a"_s, u"k"_s), value);
    QVERIFY(write_profile(path_, u"a"_s, u"n"_s, value));
    QCOMPARE(contents(),
        "[a]\r\nk=" + stored + "\r\nn=" + gb(value).replace("\xa2\xe3", "\x80") + "\r\n");
    QCOMPARE(read_profile(path_, u"a"_s, u"n"_s), value);
    // The sign in a name is found either way it is stored.
    put("[\x80]\r\nk=1\r\n[\xa2\xe3 2]\r\nk=2\r\n");
    QCOMPARE(read_profile(path_, u"€"_s, u"k"_s), u"1"_s);
    QCOMPARE(read_profile(path_, u"€ 2"_s, u"k"_s), u"2"_s);
}

void tst_profile::encoding_told_by_zero_bytes_data()
{
    QTest::addColumn<QByteArray>("before");
    QTest::addColumn<QString>("value"); // of k in [地址码1]
    QTest::addColumn<QByteArray>("after"); // with n=新 written; null: refused

    const auto le = QStringConverter::Utf16LE, be = QStringConverter::Utf16BE;
    const QString text
        = u"[软件属性]\r\n名称=Orvalin\r\n[地址码1]\r\n第1路输出名称=水泵\r\nk=名称\r\n"_s;
    const QString written = text + u"n=新\r\n"_s;
    const QByteArray refused;
    // clang-format off
    QTest::newRow("UTF-16 LE without mark") << utf16(text, le) << u"名称"_s << utf16(written, le);
    QTest::newRow("UTF-16 BE without mark") << utf16(text, be) << u"名称"_s << utf16(written, be);
    QTest::newRow("UTF-16 LE, LF only") << utf16(u"[地址码1]\nk=a\u0100\n"_s, le) << u"a\u0100"_s
        << utf16(u"[地址码1]\nk=a\u0100\nn=新\n"_s, le);
    QTest::newRow("UTF-16 without mark, odd byte") << utf16(text, le) + 'x' << u"名称"_s << refused;
    QTest::newRow("zero bytes in no pattern")
        << gb(u"[地址码1]\r\nk=名称\r\n"_s) + QByteArray("x=\0\0\0\0\r\n", 8) << u"名称"_s << refused;
    // clang-format on
    // One zero is no pattern, however short the file.
    QTest::newRow("a lone zero in a short file")
        << gb(u"[地址码1]\r\nk=名称\r\n"_s) + QByteArray("z=\0\r\n", 5) << u"名称"_s << refused;
    const QByteArray stray = gb(u"[地址码1]\r\nk=名称\r\n第1路输出名称=水泵\r\n"_s);
    QTest::newRow("a stray zero in GB18030") << stray + QByteArray("z=\0\r\n", 5) << u"名称"_s
                                             << stray + QByteArray("z=\0\r\nn=\xd0\xc2\r\n", 11);
    // One zero in more than 32 bytes is stray.
    const QByteArray bound
        = gb(u"[地址码1]\r\nk=名称\r\nx=12345\r\n"_s) + QByteArray("z=\0\r\n", 5);
    QTest::newRow("a stray zero in 33 bytes") << bound << u"名称"_s << bound + "n=\xd0\xc2\r\n";
}

// UTF-16 without a byte-order mark is told by its zero bytes and kept so;
// zero bytes that tell no encoding leave the file as it is.
void tst_profile::encoding_told_by_zero_bytes()
{
    QFETCH(QByteArray, before);
    QFETCH(QString, value);
    QFETCH(QByteArray, after);
    put(before);
    QCOMPARE(read_profile(path_, u"地址码1"_s, u"k"_s), value);
    QVERIFY(has_section(path_, u"地址码1"_s));
    QCOMPARE(write_profile(path_, u"地址码1"_s, u"n"_s, u"新"_s), after.isNull() ? 0 : 1);
    QCOMPARE(contents(), after.isNull() ? before : after);
}

void tst_profile::write_data()
{
    QTest::addColumn<QByteArray>("before");
    QTest::addColumn<QString>("section");
    QTest::addColumn<QString>("key");
    QTest::addColumn<QString>("value");
    QTest::addColumn<QByteArray>("after"); // null: refused

    // clang-format off
    QTest::newRow("value replaced in its line")
        << QByteArray("; top\r\n[a]\r\n Key = old \r\nx=1\r\n\r\n[b]\r\nkey=2\r\n") << "A" << "key" << "new"
        << QByteArray("; top\r\n[a]\r\n Key =new\r\nx=1\r\n\r\n[b]\r\nkey=2\r\n");
    QTest::newRow("key behind the last key line") << QByteArray("[a]\r\nk=1\r\n; note\r\n\r\n[b]\r\n")
        << "a" << "n" << "new" << QByteArray("[a]\r\nk=1\r\nn=new\r\n; note\r\n\r\n[b]\r\n");
    QTest::newRow("LF file gets LF lines") << QByteArray("[a]\nk=1\n\n[b]\n") << "a" << "n" << "new"
        << QByteArray("[a]\nk=1\nn=new\n\n[b]\n");
    QTest::newRow("section at the end") << QByteArray("[a]\r\nk=1") << "b" << "k" << "new"
        << QByteArray("[a]\r\nk=1\r\n[b]\r\nk=new\r\n");
    QTest::newRow("key behind a last line without line end") << QByteArray("[a]\r\nk=1") << "a" << "n"
        << "new" << QByteArray("[a]\r\nk=1\r\nn=new\r\n");
    // clang-format on

    const QByteArray plain("[a]\r\nk=old\r\n");
    const QByteArray refused;
    // clang-format off
    QTest::newRow("CR LF in value") << plain << "a" << "k" << "x\r\n[evil]\r\nplanted=1" << refused;
    QTest::newRow("NUL in value") << plain << "a" << "k" << u"x\0y"_s << refused;
    QTest::newRow("LF in section") << plain << "a]\n[evil" << "k" << "v" << refused;
    QTest::newRow("= in key") << plain << "a" << "planted=1" << "v" << refused;
    QTest::newRow("lone surrogate") << plain << "a" << "k" << QString(QChar(0xD800)) << refused;
    // Line ends count for the encoding as much as brackets do.
    QTest::newRow("UTF-16 without mark, CR lines, no section yet")
        << utf16(u"k=1\r"_s, QStringConverter::Utf16LE) << "a" << "n" << "new"
        << utf16(u"k=1\r[a]\rn=new\r"_s, QStringConverter::Utf16LE);
    // Characters U+xx00 put zero bytes in the other lane, which would leave
    // the file read as GB18030.
    QTest::newRow("UTF-16 without mark, value hiding the encoding")
        << utf16(u"[a]\r\nk=old\r\n"_s, QStringConverter::Utf16LE) << "a" << "k"
        << u"\u0100\u0100\u0100"_s << refused;
    // clang-format on
}

void tst_profile::write()
{
    QFETCH(QByteArray, before);
    QFETCH(QString, section);
    QFETCH(QString, key);
    QFETCH(QString, value);
    QFETCH(QByteArray, after);
    put(before);
    QCOMPARE(write_profile(path_, section, key, value), after.isNull() ? 0 : 1);
    if (after.isNull()) // one bad entry spoils the whole batch
        QCOMPARE(
            write_profile_entries(path_, { { u"a"_s, u"k"_s, u"new"_s }, { section, key, value } }),
            0);
    QCOMPARE(contents(), after.isNull() ? before : after);
}

void tst_profile::failed_write_changes_nothing()
{
#ifdef Q_OS_UNIX
    // A file size limit breaks the write off midway, as a full disk would,
    // and binds root too.
    const QByteArray original("[a]\r\nk=old\r\n");
    put(original);
    std::signal(SIGXFSZ, SIG_IGN);
    rlimit saved {};
    QCOMPARE(getrlimit(RLIMIT_FSIZE, &saved), 0);
    rlimit tight = saved;
    tight.rlim_cur = 4096;
    QCOMPARE(setrlimit(RLIMIT_FSIZE, &tight), 0);
    const int result = write_profile(path_, u"a"_s, u"k"_s, QString(8192, u'n'));
    QCOMPARE(setrlimit(RLIMIT_FSIZE, &saved), 0);
    QCOMPARE(result, 0);
    QCOMPARE(contents(), original);
    // Neither the failed nor a good write leaves a temporary file behind.
    const QStringList alone { u"name.txt"_s };
    QCOMPARE(QDir(dir_->path()).entryList(QDir::Files | QDir::Hidden), alone);
    QCOMPARE(write_profile(path_, u"a"_s, u"k"_s, u"v"_s), 1);
    QCOMPARE(QDir(dir_->path()).entryList(QDir::Files | QDir::Hidden), alone);
    // A file with a second name is rewritten in place: failing there fails
    // too, and a good write reaches both names.
    QCOMPARE(
        ::link(QFile::encodeName(path_).constData(), QFile::encodeName(path_ + u'2').constData()),
        0);
    QCOMPARE(setrlimit(RLIMIT_FSIZE, &tight), 0);
    const int in_place = write_profile(path_, u"a"_s, u"k"_s, QString(8192, u'n'));
    QCOMPARE(setrlimit(RLIMIT_FSIZE, &saved), 0);
    QCOMPARE(in_place, 0);
    QCOMPARE(write_profile(path_, u"a"_s, u"k"_s, u"w"_s), 1);
    QCOMPARE(read_profile(path_ + u'2', u"a"_s, u"k"_s), u"w"_s);
#endif
}

// The end of a file is the end, whatever an interrupted call before (the
// event loop's, after a signal) left in errno.
void tst_profile::stale_interrupt_reads_on()
{
    put("[a]\r\nk=1\r\n");
    errno = EINTR;
    QCOMPARE(read_profile(path_, u"a"_s, u"k"_s), u"1"_s);
}

QTEST_GUILESS_MAIN(tst_profile)
#include "tst_profile.moc"
