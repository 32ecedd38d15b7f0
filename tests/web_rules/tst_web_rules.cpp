// The web server's pure rules: the request guard, the password file, Basic
// authentication and the Origin check.

#include "web/http_auth.h"
#include "web/request_guard.h"

#include <QTest>

using namespace orvalin::web;
using verdict = request_guard::verdict;

namespace {

const QByteArray get = "GET / HTTP/1.1\r\nHost: relay\r\n\r\n";

QByteArray post(const QByteArray &length_line, const QByteArray &body = {})
{
    return "POST /set HTTP/1.1\r\n" + length_line + "\r\n\r\n" + body;
}

// A head of exactly size bytes, its last header padded.
QByteArray head_of_size(qsizetype size)
{
    const QByteArray start = "GET / HTTP/1.1\r\nX: ";
    return start + QByteArray(size - start.size() - 4, 'a') + "\r\n\r\n";
}

QByteArray basic(const QByteArray &pair)
{
    return "Basic " + pair.toBase64();
}

} // namespace

class tst_web_rules : public QObject {
    Q_OBJECT

private slots:
    void guard_data();
    void guard();
    void credentials_file_data();
    void credentials_file();
    void basic_auth_data();
    void basic_auth();
    void origin_data();
    void origin();
};

void tst_web_rules::guard_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<qsizetype>("max_head");
    QTest::addColumn<qsizetype>("max_body");
    QTest::addColumn<verdict>("expected");
    QTest::addColumn<qsizetype>("ended");
    const auto row = [](const char *name, const QByteArray &bytes, verdict expected,
                         qsizetype ended, qsizetype max_head = 8192, qsizetype max_body = 16384) {
        QTest::newRow(name) << bytes << max_head << max_body << expected << ended;
    };
    const auto ok = verdict::ok;
    const auto bad = verdict::bad_request;
    // clang-format off
    row("get", get, ok, 1);
    row("bare LF line ends", "GET / HTTP/1.1\nHost: relay\n\n", ok, 1);
    row("post with body", post("Content-Length: 5", "hello"), ok, 1);
    row("pipelined", get + post("Content-Length: 2", "on") + post("Content-Length: 0") + get, ok, 4);
    row("body not complete", post("Content-Length: 5", "hell"), ok, 0);
    row("head not ended", "GET / HTTP/1.1\r\nHost: relay\r\n", ok, 0);
    row("empty lines before a request", "\r\n\n" + get, ok, 1);
    row("body looks like a head", post("Content-Length: 4", "\r\n\r\n") + get, ok, 2);
    row("name in any case", post("cOnTeNt-LeNgTh: 3", "a\nb") + get, ok, 2);
    row("blanks around value", post("Content-Length: \t 3 \t", "abc") + get, ok, 2);
    row("same length twice", post("Content-Length: 3\r\ncontent-length: 003", "abc"), ok, 1);
    row("other names", post("X-Content-Length: 99999\r\nContent-Lengths: x\r\nContent-Len: 99999"), ok, 1);
    row("NUL in body", post("Content-Length: 1", QByteArray(1, '\0')), ok, 1);
    row("head at limit", head_of_size(40) + head_of_size(40), ok, 2, 40);
    row("head past limit", head_of_size(41), verdict::head_too_large, 0, 40);
    row("second head past limit", head_of_size(40) + head_of_size(41), verdict::head_too_large, 1, 40);
    row("empty lines without end", QByteArray(100, '\n'), verdict::head_too_large, 0, 40);
    row("body at limit", post("Content-Length: 10", "0123456789"), ok, 1, 8192, 10);
    row("body past limit, none sent", post("Content-Length: 11"), verdict::body_too_large, 0, 8192, 10);
    row("huge length", post("Content-Length: 99999999999999999999999999"), verdict::body_too_large, 0);
    row("negative length", post("Content-Length: -1"), bad, 0);
    row("plus sign", post("Content-Length: +1", "a"), bad, 0);
    row("empty length", post("Content-Length: "), bad, 0);
    row("length list", post("Content-Length: 1, 1", "a"), bad, 0);
    row("letters after digits", post("Content-Length: 1x", "a"), bad, 0);
    row("two lengths differ", post("Content-Length: 1\r\nContent-Length: 2", "ab"), bad, 0);
    row("transfer encoding", post("Transfer-Encoding: chunked"), bad, 0);
    row("transfer encoding identity", post("transfer-encoding: identity"), bad, 0);
    row("NUL in header", QByteArray("GET / HTTP/1.1\r\nX: \0\r\n\r\n", 24), bad, 0);
    row("bare CR", "GET / HTTP/1.1\r\nX: a\rContent-Length: 5\r\n\r\n", bad, 0);
    row("blank before colon", post("Content-Length : 5", "hello"), bad, 0);
    row("folded line", post("X: a\r\n Content-Length: 5", "hello"), bad, 0);
    row("line without colon", post("Content-Length 5", "hello"), bad, 0);
    row("bad after good", get + post("Transfer-Encoding: chunked"), bad, 1);
    // clang-format on
}

void tst_web_rules::guard()
{
    QFETCH(QByteArray, bytes);
    QFETCH(qsizetype, max_head);
    QFETCH(qsizetype, max_body);
    QFETCH(verdict, expected);
    QFETCH(qsizetype, ended);
    const request_limits limits { max_head, max_body };

    const auto check = [&](request_guard &guard, const QByteArray &how) {
        QVERIFY2(guard.state() == expected, how);
        QVERIFY2(guard.requests_ended() == ended, how);
        // A verdict stays, whatever comes after.
        if (expected != verdict::ok) {
            QVERIFY2(guard.feed(get) == expected && guard.requests_ended() == ended, how);
        }
    };
    request_guard whole(limits);
    QVERIFY(whole.feed(bytes) == expected);
    check(whole, "whole");
    for (qsizetype cut = 0; cut <= bytes.size() && !QTest::currentTestFailed(); ++cut) {
        request_guard two(limits);
        two.feed(QByteArrayView(bytes).first(cut));
        two.feed(QByteArrayView(bytes).sliced(cut));
        check(two, "cut at " + QByteArray::number(cut));
    }
    request_guard bytewise(limits);
    for (const char byte : bytes)
        bytewise.feed(QByteArrayView(&byte, 1));
    check(bytewise, "byte at a time");
}

void tst_web_rules::credentials_file_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QByteArray>("user"); // empty: refused
    QTest::addColumn<QByteArray>("password");
    const auto row
        = [](const char *name, const QByteArray &text, const QByteArray &user,
              const QByteArray &password) { QTest::newRow(name) << text << user << password; };
    // clang-format off
    row("LF", "admin:s3cret\n", "admin", "s3cret");
    row("CRLF", "admin:s3cret\r\nother:line\r\n", "admin", "s3cret");
    row("colon in password", "admin:a:b", "admin", "a:b");
    row("blanks kept", " admin : pw ", " admin ", " pw ");
    row("byte order mark", "\xEF\xBB\xBF" "admin:pw\n", "admin", "pw");
    row("empty file", "", "", "");
    row("no colon", "adminsecretpw\n", "", "");
    row("empty user", ":secretpw\n", "", "");
    row("control in user", "ad\tmin:secretpw\n", "", "");
    row("empty password", "admin:\r\n", "", "");
    // clang-format on
}

void tst_web_rules::credentials_file()
{
    QFETCH(QByteArray, text);
    QFETCH(QByteArray, user);
    QFETCH(QByteArray, password);
    QString problem = QStringLiteral("stale");
    const auto parsed = parse_credentials(text, problem);
    QCOMPARE(parsed.has_value(), !user.isEmpty());
    if (parsed) {
        QCOMPARE(parsed->user, user);
        QCOMPARE(parsed->password, password);
        QVERIFY(problem.isEmpty());
    } else {
        QVERIFY(!problem.isEmpty());
        QVERIFY(!problem.contains(QStringLiteral("secretpw")));
    }
}

void tst_web_rules::basic_auth_data()
{
    QTest::addColumn<QByteArray>("header");
    QTest::addColumn<bool>("matches");
    const auto row = [](const char *name, const QByteArray &header, bool matches) {
        QTest::newRow(name) << header << matches;
    };
    const QByteArray right = QByteArray("admin:s3:cret").toBase64();
    // clang-format off
    row("right", basic("admin:s3:cret"), true);
    row("scheme in any case", "bAsIc " + right, true);
    row("blanks around", " Basic \t " + right + " ", true);
    row("wrong password", basic("admin:s3:creT"), false);
    row("wrong user", basic("Admin:s3:cret"), false);
    row("password cut short", basic("admin:s3:cre"), false);
    row("empty password", basic("admin:"), false);
    row("no colon", basic("admins3cret"), false);
    row("padding left out", "Basic " + QByteArray(right).replace("=", ""), false);
    row("not base64", "Basic " + right.left(4) + "*" + right.mid(5), false);
    row("stray bits", "Basic YWRtaW46czM6Y3JldB==", false);
    row("blank inside", "Basic " + right.left(4) + " " + right.mid(4), false);
    row("no blank after scheme", "Basic" + right, false);
    row("other scheme", "Bearer " + right, false);
    row("scheme only", "Basic", false);
    // clang-format on
}

void tst_web_rules::basic_auth()
{
    QFETCH(QByteArray, header);
    QFETCH(bool, matches);
    QCOMPARE(basic_auth_matches(header, credentials { "admin", "s3:cret" }), matches);
}

void tst_web_rules::origin_data()
{
    QTest::addColumn<QByteArray>("origin");
    QTest::addColumn<QByteArray>("host");
    QTest::addColumn<bool>("tls");
    QTest::addColumn<bool>("same");
    const auto row
        = [](const char *name, const QByteArray &origin, const QByteArray &host, bool tls,
              bool same) { QTest::newRow(name) << origin << host << tls << same; };
    // clang-format off
    row("no origin", "", "relay:8080", false, true);
    row("same", "http://relay:8080", "relay:8080", false, true);
    row("host in any case", "http://Relay.LAN:8080", "relay.lan:8080", false, true);
    row("default port left out in origin", "http://relay", "relay:80", false, true);
    row("tls default port", "https://relay", "relay:443", true, true);
    row("IPv6", "http://[::1]:8080", "[::1]:8080", false, true);
    row("https without tls", "https://relay", "relay", false, false);
    row("http with tls", "http://relay", "relay", true, false);
    row("443 is not http's default", "http://relay:443", "relay", false, false);
    row("other port", "http://relay:8081", "relay:8080", false, false);
    row("null", "null", "relay", false, false);
    row("other host", "http://evil", "relay", false, false);
    row("longer host", "http://relay.evil", "relay", false, false);
    row("with path", "http://relay/", "relay", false, false);
    row("empty port", "http://relay:", "relay:", false, false);
    row("no host header", "http://relay", "", false, false);
    // clang-format on
}

void tst_web_rules::origin()
{
    QFETCH(QByteArray, origin);
    QFETCH(QByteArray, host);
    QFETCH(bool, tls);
    QFETCH(bool, same);
    QCOMPARE(same_origin(origin, host, tls), same);
}

QTEST_GUILESS_MAIN(tst_web_rules)
#include "tst_web_rules.moc"
