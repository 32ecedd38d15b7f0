#include "names/profile.h"
#include "sim_process.h"
#include "web/web_api.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QProcess>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QSslSocket>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

using namespace orvalin;
using namespace orvalin::web;

class tst_web_api : public QObject {
    Q_OBJECT

private slots:
    void routes_data();
    void routes();
    void initTestCase();
    void cleanupTestCase();
    void requests_data();
    void requests();
    void events_follow_the_line();
    void a_rename_waits_for_the_lock_and_the_service_goes_on();
    void guarded_data();
    void guarded();

private:
    // method, path, body, content type (or "" for none): status and JSON.
    std::pair<int, QJsonObject> call(const QByteArray &method, const QString &path,
        const QByteArray &body = {}, const QByteArray &type = "application/json");

    QTemporaryDir dir_;
    sim_process sim_;
    QProcess service_;
    QProcess guarded_; // beyond loopback, with a password
    int guarded_port_ = 0;
    QNetworkAccessManager net_;
    int port_ = 0;
};

void tst_web_api::routes_data()
{
    QTest::addColumn<QByteArray>("method");
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("found"); // kind address output
    QTest::newRow("all") << QByteArray("GET") << "/api/modules"
                         << "modules 0 0";
    QTest::newRow("one") << QByteArray("GET") << "/api/modules/255"
                         << "module 255 0";
    QTest::newRow("output") << QByteArray("GET") << "/api/modules/7/outputs/8"
                            << "output 7 8";
    QTest::newRow("switch") << QByteArray("POST") << "/api/modules/0/outputs/1"
                            << "set 0 1";
    QTest::newRow("switch all") << QByteArray("POST") << "/api/modules/7/outputs/all"
                                << "set 7 0";
    QTest::newRow("events") << QByteArray("GET") << "/api/events"
                            << "events 0 0";
    QTest::newRow("the page") << QByteArray("GET") << "/"
                              << "page 0 0";
    QTest::newRow("its script") << QByteArray("GET") << "/app.js"
                                << "page 0 1";
    QTest::newRow("its style") << QByteArray("GET") << "/app.css"
                               << "page 0 2";
    QTest::newRow("post the page") << QByteArray("POST") << "/"
                                   << "not allowed";
    QTest::newRow("leading zero") << QByteArray("GET") << "/api/modules/07"
                                  << "none";
    QTest::newRow("plus") << QByteArray("GET") << "/api/modules/+7"
                          << "none";
    QTest::newRow("address 256") << QByteArray("GET") << "/api/modules/256"
                                 << "none";
    QTest::newRow("output 0") << QByteArray("POST") << "/api/modules/7/outputs/0"
                              << "none";
    QTest::newRow("output 9") << QByteArray("GET") << "/api/modules/7/outputs/9"
                              << "none";
    QTest::newRow("trailing slash") << QByteArray("GET") << "/api/modules/"
                                    << "none";
    QTest::newRow("outside the api") << QByteArray("GET") << "/etc/passwd"
                                     << "none";
    QTest::newRow("dot dot") << QByteArray("GET") << "/api/modules/../events"
                             << "none";
    QTest::newRow("read all outputs") << QByteArray("GET") << "/api/modules/7/outputs/all"
                                      << "not allowed";
    QTest::newRow("post modules") << QByteArray("POST") << "/api/modules"
                                  << "not allowed";
    QTest::newRow("rename output") << QByteArray("PUT") << "/api/modules/7/names/out8"
                                   << "rename 7 8";
    QTest::newRow("rename input") << QByteArray("PUT") << "/api/modules/7/names/in1"
                                  << "rename 7 1 in";
    QTest::newRow("rename in9") << QByteArray("PUT") << "/api/modules/7/names/in9"
                                << "none";
    QTest::newRow("rename out01") << QByteArray("PUT") << "/api/modules/7/names/out01"
                                  << "none";
    QTest::newRow("rename by POST") << QByteArray("POST") << "/api/modules/7/names/out1"
                                    << "not allowed";
    QTest::newRow("delete output") << QByteArray("DELETE") << "/api/modules/7/outputs/1"
                                   << "not allowed";
}

void tst_web_api::routes()
{
    QFETCH(QByteArray, method);
    QFETCH(QString, path);
    QFETCH(QString, found);
    const api_route r = route(method, path);
    static const char *const names[] = { "modules", "module", "output", "set", "rename", "events",
        "page", "none", "not allowed" };
    const QString got
        = r.what == api_route::kind::not_found || r.what == api_route::kind::method_not_allowed
        ? QString::fromLatin1(names[int(r.what)])
        : QStringLiteral("%1 %2 %3%4")
              .arg(names[int(r.what)])
              .arg(r.address)
              .arg(r.output)
              .arg(r.input ? " in" : "");
    QCOMPARE(got, found);
}

void tst_web_api::initTestCase()
{
    if (!sim_process::available())
        QSKIP("needs the emulator");
    QVERIFY(sim_.start(dir_.path(), { "--address", "1,7" }));
    QTcpServer probe; // a free port
    QVERIFY(probe.listen(QHostAddress::LocalHost));
    port_ = probe.serverPort();
    probe.close();
    // A name file with a section for module 7 only.
    QVERIFY(write_profile_entries(
        dir_.filePath("name.txt"), { { "地址码7", "第1路输出名称", "Fan" } }));
    QFile config(dir_.filePath("orvalin.conf"));
    QVERIFY(config.open(QIODevice::WriteOnly));
    // Module 9 is not on the line: it goes offline. No broker at all.
    config.write(QStringLiteral("[line]\nport = %1\nmodules = 1,7,9\nreply_timeout = 150\n"
                                "[safety]\ninterlock = 7/1+7/2\nlink_loss_after = 2\n"
                                "[names]\nfile = name.txt\n[http]\nlisten = 127.0.0.1:%2\n")
                     .arg(sim_.link_path())
                     .arg(port_)
                     .toUtf8());
    config.close();
    service_.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    service_.start(QStringLiteral(ORVALINCTL_PATH), { "serve", "--config", config.fileName() });
    QVERIFY(service_.waitForStarted(5000));
    QTRY_VERIFY_WITH_TIMEOUT(
        call("GET", "/api/modules/9").second.value("availability") == "offline", 10000);
}

void tst_web_api::cleanupTestCase()
{
    service_.terminate();
    service_.waitForFinished(3000);
    guarded_.terminate();
    guarded_.waitForFinished(3000);
}

std::pair<int, QJsonObject> tst_web_api::call(
    const QByteArray &method, const QString &path, const QByteArray &body, const QByteArray &type)
{
    QNetworkRequest request(QUrl(QStringLiteral("http://127.0.0.1:%1%2").arg(port_).arg(path)));
    if (!type.isEmpty())
        request.setHeader(QNetworkRequest::ContentTypeHeader, type);
    QNetworkReply *reply = net_.sendCustomRequest(request, method, body);
    if (!QTest::qWaitFor([&] { return reply->isFinished(); }, 5000))
        return { 0, {} };
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    const QJsonObject json = QJsonDocument::fromJson(reply->readAll()).object();
    reply->deleteLater();
    return { status, json };
}

void tst_web_api::requests_data()
{
    QTest::addColumn<QByteArray>("method");
    QTest::addColumn<QString>("path");
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<QByteArray>("type");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("expect"); // key=value in the answer, or words of the error
    QTest::addColumn<int>("outputs"); // the emulated module 7 afterwards; -1 not checked
    // clang-format off
    QTest::newRow("read one") << QByteArray("GET") << "/api/modules/7" << QByteArray() << QByteArray() << 200 << "availability=online" << -1;
    QTest::newRow("switch on") << QByteArray("POST") << "/api/modules/7/outputs/3" << QByteArray(R"({"state":"ON"})") << QByteArray("application/json") << 200 << "state=ON" << 0x04;
    QTest::newRow("read it back") << QByteArray("GET") << "/api/modules/7/outputs/3" << QByteArray() << QByteArray() << 200 << "state=ON" << 0x04;
    QTest::newRow("bare text") << QByteArray("POST") << "/api/modules/7/outputs/3" << QByteArray("TOGGLE") << QByteArray("application/json") << 200 << "state=OFF" << 0x00;
    QTest::newRow("interlock partner goes off first") << QByteArray("POST") << "/api/modules/7/outputs/1" << QByteArray("ON") << QByteArray("application/json") << 200 << "state=ON" << 0x01;
    QTest::newRow("then the other") << QByteArray("POST") << "/api/modules/7/outputs/2" << QByteArray("ON") << QByteArray("application/json") << 200 << "state=ON" << 0x02;
    QTest::newRow("all off") << QByteArray("POST") << "/api/modules/7/outputs/all" << QByteArray("OFF") << QByteArray("application/json") << 200 << "address=7" << 0x00;
    QTest::newRow("all on refused") << QByteArray("POST") << "/api/modules/7/outputs/all" << QByteArray("ON") << QByteArray("application/json") << 409 << "interlocked" << 0x00;
    QTest::newRow("offline module") << QByteArray("POST") << "/api/modules/9/outputs/1" << QByteArray("ON") << QByteArray("application/json") << 503 << "offline" << -1;
    QTest::newRow("bad body") << QByteArray("POST") << "/api/modules/7/outputs/1" << QByteArray("maybe") << QByteArray("application/json") << 400 << "body must be" << 0x00;
    QTest::newRow("cross-site form") << QByteArray("POST") << "/api/modules/7/outputs/1" << QByteArray("ON") << QByteArray("text/plain") << 403 << "Content-Type" << 0x00;
    QTest::newRow("module not served") << QByteArray("GET") << "/api/modules/5" << QByteArray() << QByteArray() << 404 << "no module 5" << -1;
    QTest::newRow("the page is small") << QByteArray("GET") << "/" << QByteArray() << QByteArray() << 200 << "page" << -1;
    QTest::newRow("no such path") << QByteArray("GET") << "/index.php" << QByteArray() << QByteArray() << 404 << "no such" << -1;
    QTest::newRow("rename") << QByteArray("PUT") << "/api/modules/7/names/out3" << QByteArray(R"({"name":"Pump 泵 \"A\""})") << QByteArray("application/json") << 200 << "name=Pump 泵 \"A\"" << -1;
    QTest::newRow("renamed shows") << QByteArray("GET") << "/api/modules/7/outputs/3" << QByteArray() << QByteArray() << 200 << "name=Pump 泵 \"A\"" << -1;
    QTest::newRow("rename without section") << QByteArray("PUT") << "/api/modules/1/names/in2" << QByteArray(R"({"name":"x"})") << QByteArray("application/json") << 409 << "no section" << -1;
    QTest::newRow("rename two lines") << QByteArray("PUT") << "/api/modules/7/names/in2" << QByteArray(R"({"name":"a\nb"})") << QByteArray("application/json") << 400 << "one line" << -1;
    QTest::newRow("wrong method") << QByteArray("PUT") << "/api/modules" << QByteArray("{}") << QByteArray("application/json") << 405 << "not allowed" << -1;
    // clang-format on
}

// Rows run in order against one service: a switch is seen on the module.
void tst_web_api::requests()
{
    if (!sim_process::available())
        QSKIP("needs the emulator");
    QFETCH(QByteArray, method);
    QFETCH(QString, path);
    QFETCH(QByteArray, body);
    QFETCH(QByteArray, type);
    QFETCH(int, status);
    QFETCH(QString, expect);
    QFETCH(int, outputs);
    if (expect == "page") {
        // All of it, without anything from elsewhere: a site without internet.
        QByteArray page;
        for (const char *part : { "/", "/app.js", "/app.css" }) {
            QNetworkReply *reply = net_.get(QNetworkRequest(
                QUrl(QStringLiteral("http://127.0.0.1:%1%2").arg(port_).arg(part))));
            QTRY_VERIFY(reply->isFinished());
            QCOMPARE(reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(), 200);
            QVERIFY(reply->rawHeader("Content-Security-Policy").contains("default-src 'self'"));
            page += reply->readAll();
            reply->deleteLater();
        }
        QVERIFY2(page.size() < 50 * 1024, qPrintable(QString::number(page.size())));
        QVERIFY(!page.contains("http://") && !page.contains("https://"));
        return;
    }
    const auto [got, json] = call(method, path, body, type);
    QCOMPARE(got, status);
    if (status == 200) {
        const auto key = expect.section(u'=', 0, 0), value = expect.section(u'=', 1);
        QCOMPARE(json.value(key).toVariant().toString(), value);
    } else {
        QVERIFY2(json.value("error").toString().contains(expect),
            qPrintable(json.value("error").toString()));
    }
    if (outputs >= 0) {
        // Answered only once a reply confirmed it: the module has it now.
        QCOMPARE(sim_.command("status @7").section(u' ', 1, 1).toInt(nullptr, 16), outputs);
    }
}

// A stream starts with a snapshot and then gets every change, an input
// changed on the module as an output switched through the API.
void tst_web_api::events_follow_the_line()
{
    if (!sim_process::available())
        QSKIP("needs the emulator");
    QNetworkRequest request(QUrl(QStringLiteral("http://127.0.0.1:%1/api/events").arg(port_)));
    QNetworkReply *stream = net_.get(request);
    QByteArray received;
    connect(stream, &QNetworkReply::readyRead, this, [&] { received += stream->readAll(); });
    QTRY_VERIFY(received.contains("\n\n"));
    QVERIFY(received.startsWith("event: snapshot\ndata: {\"modules\":["));
    QCOMPARE(sim_.command("in 5 on @1"), "ok");
    QTRY_VERIFY_WITH_TIMEOUT(received.contains(R"(event: state)"
                                               "\n"
                                               R"(data: {"address":1,"input":5,"state":"ON"})"),
        5000);
    // The list, read just before and right after, is never behind.
    const auto output_6 = [this] {
        for (const auto module : call("GET", "/api/modules").second.value("modules").toArray())
            if (module.toObject().value("address").toInt() == 7)
                return module.toObject()
                    .value("outputs")
                    .toArray()[5]
                    .toObject()
                    .value("state")
                    .toString();
        return QString();
    };
    QCOMPARE(output_6(), QStringLiteral("OFF"));
    QCOMPARE(call("POST", "/api/modules/7/outputs/6", "ON").first, 200);
    QCOMPARE(output_6(), QStringLiteral("ON"));
    QTRY_VERIFY(received.contains(R"(data: {"address":7,"output":6,"state":"ON"})"));
    stream->abort();
    stream->deleteLater();
}

// Another program holds the name file locked: the rename waits for it on
// its own, and meanwhile the service polls and answers.
void tst_web_api::a_rename_waits_for_the_lock_and_the_service_goes_on()
{
    if (!sim_process::available())
        QSKIP("needs the emulator");
    const int fd = ::open(QFile::encodeName(dir_.filePath("name.txt")).constData(), O_RDONLY);
    QVERIFY(fd >= 0);
    QVERIFY(::flock(fd, LOCK_EX) == 0);
    QNetworkRequest request(
        QUrl(QStringLiteral("http://127.0.0.1:%1/api/modules/7/names/in4").arg(port_)));
    request.setHeader(QNetworkRequest::ContentTypeHeader, "application/json");
    QNetworkReply *rename = net_.put(request, R"({"name":"Door"})");
    QTest::qWait(50);
    QCOMPARE(sim_.command("in 4 on @7"), "ok");
    const auto input_4 = [this] {
        return call("GET", "/api/modules/7").second.value("inputs")[3]["state"].toString();
    };
    QTRY_COMPARE_WITH_TIMEOUT(input_4(), QStringLiteral("ON"), 600);
    QVERIFY(!rename->isFinished());
    ::flock(fd, LOCK_UN);
    ::close(fd);
    QTRY_VERIFY(rename->isFinished());
    QCOMPARE(rename->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(), 200);
    QCOMPARE(QJsonDocument::fromJson(rename->readAll())["name"].toString(), "Door");
    rename->deleteLater();
}

void tst_web_api::guarded_data()
{
    QTest::addColumn<QByteArray>("request"); // raw, sent as it stands
    QTest::addColumn<QByteArray>("status_line"); // "": closed without an answer
    QTest::addColumn<bool>("encrypted");
    const QByteArray auth
        = "Authorization: Basic " + QByteArray("admin:s3cret").toBase64() + "\r\n";
    const QByteArray post = "POST /api/modules/7/outputs/5 HTTP/1.1\r\nHost: 127.0.0.1\r\n";
    QTest::newRow("no credentials") << QByteArray("GET /api/modules HTTP/1.1\r\nHost: x\r\n\r\n")
                                    << QByteArray("HTTP/1.1 401") << true;
    QTest::newRow("wrong password")
        << "GET /api/modules HTTP/1.1\r\nHost: x\r\nAuthorization: Basic "
            + QByteArray("admin:guess").toBase64() + "\r\n\r\n"
        << QByteArray("HTTP/1.1 401") << true;
    QTest::newRow("right password") << "GET /api/modules HTTP/1.1\r\nHost: x\r\n" + auth + "\r\n"
                                    << QByteArray("HTTP/1.1 200") << true;
    QTest::newRow("another origin") << post + auth
            + "Origin: http://evil.example\r\nContent-Type: application/json\r\n"
              "Content-Length: 2\r\n\r\nON"
                                    << QByteArray("HTTP/1.1 403") << true;
    QTest::newRow("its own host without TLS") << post + auth
            + "Origin: http://127.0.0.1\r\nContent-Type: application/json\r\n"
              "Content-Length: 2\r\n\r\nON" << QByteArray("HTTP/1.1 403")
                                              << true;
    QTest::newRow("its own origin") << post + auth
            + "Origin: https://127.0.0.1\r\nContent-Type: application/json\r\n"
              "Content-Length: 2\r\n\r\nON"
                                    << QByteArray("HTTP/1.1 200") << true;
    QTest::newRow("body too large")
        << post + auth + "Content-Type: application/json\r\nContent-Length: 1000000\r\n\r\n"
        << QByteArray("HTTP/1.1 413") << true;
    QTest::newRow("head too large")
        << "GET /api/modules HTTP/1.1\r\nX: " + QByteArray(9000, 'b') + "\r\n\r\n"
        << QByteArray("HTTP/1.1 431") << true;
    QTest::newRow("chunked upload")
        << post + auth + "Transfer-Encoding: chunked\r\n\r\n2\r\nON\r\n0\r\n\r\n"
        << QByteArray("HTTP/1.1 400") << true;
    QTest::newRow("plain text to the HTTPS port") << "GET /api/modules HTTP/1.1\r\nHost: x\r\n"
            + auth + "\r\n" << QByteArray() << false;
}

// Beyond loopback a password file is required: without its user nothing
// is read or switched; too large or odd requests are refused before the
// server keeps them; and a browser on another site cannot switch. This
// service speaks HTTPS only.
void tst_web_api::guarded()
{
    if (!sim_process::available())
        QSKIP("needs the emulator");
    QFETCH(QByteArray, request);
    QFETCH(QByteArray, status_line);
    QFETCH(bool, encrypted);
    const QString certificate = QStringLiteral(ORVALIN_TEST_TLS_DIR "/localhost.pem");
    if (guarded_port_ == 0) {
        // The key as an administrator would leave it: the service's alone.
        QVERIFY(QFile::copy(
            QStringLiteral(ORVALIN_TEST_TLS_DIR "/localhost.key"), dir_.filePath("https.key")));
        QFile(dir_.filePath("https.key")).setPermissions(QFile::ReadOwner);
        QFile password(dir_.filePath("http-password"));
        QVERIFY(password.open(QIODevice::WriteOnly));
        password.write("admin:s3cret\n");
        password.close();
        password.setPermissions(QFile::ReadOwner | QFile::WriteOwner);
        QTcpServer probe;
        QVERIFY(probe.listen(QHostAddress::LocalHost));
        guarded_port_ = probe.serverPort();
        probe.close();
        QFile config(dir_.filePath("guarded.conf"));
        QVERIFY(config.open(QIODevice::WriteOnly));
        // All addresses: it needs the password file.
        config.write(QStringLiteral("[line]\nport = %1\nmodules = 7\nreply_timeout = 150\n"
                                    "[http]\nlisten = 0.0.0.0:%2\npassword_file = http-password\n"
                                    "tls_cert = %3\ntls_key = https.key\n")
                         .arg(sim_.link_path())
                         .arg(guarded_port_)
                         .arg(certificate)
                         .toUtf8());
        config.close();
        // The line is the other service's: this one only answers HTTP here.
        service_.terminate();
        QVERIFY(service_.waitForFinished(3000));
        guarded_.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        guarded_.start(QStringLiteral(ORVALINCTL_PATH), { "serve", "--config", config.fileName() });
        QVERIFY(guarded_.waitForStarted(5000));
    }
    QSslSocket socket;
    QSslConfiguration tls = socket.sslConfiguration();
    tls.setCaCertificates(QSslCertificate::fromPath(certificate));
    socket.setSslConfiguration(tls);
    const auto connected = [&] {
        socket.abort();
        if (!encrypted) {
            socket.connectToHost(QHostAddress::LocalHost, quint16(guarded_port_));
            return socket.waitForConnected(200);
        }
        // Verified against the certificate, by the name it was made for.
        socket.connectToHostEncrypted(
            QStringLiteral("127.0.0.1"), quint16(guarded_port_), QStringLiteral("localhost"));
        return socket.waitForEncrypted(1000);
    };
    QTRY_VERIFY_WITH_TIMEOUT(connected(), 5000);
    socket.write(request);
    QByteArray answer;
    if (status_line.isEmpty()) {
        QTRY_COMPARE_WITH_TIMEOUT(
            (answer += socket.readAll(), socket.state()), QAbstractSocket::UnconnectedState, 5000);
        QVERIFY2(!answer.contains("HTTP/"), answer.constData());
        return;
    }
    QTRY_VERIFY_WITH_TIMEOUT((answer += socket.readAll()).contains("\r\n"), 5000);
    QVERIFY2(answer.startsWith(status_line), answer.constData());
}

QTEST_GUILESS_MAIN(tst_web_api)
#include "tst_web_api.moc"
