#include "web/web_server.h"

#include "names/names_problem.h"
#include "names/profile.h"
#include "service/payload.h"
#include "web/bounded_server.h"
#include "web/web_api.h"

#include <QFile>
#include <QFileInfo>
#include <QHostAddress>
#include <QHttpServerRequest>
#include <QJsonArray>
#include <QJsonDocument>
#include <QSslConfiguration>
#include <QTcpSocket>
#include <QThread>

namespace orvalin::web {

namespace {

using namespace std::chrono_literals;

// An event stream keeps itself busy past the connections' idle timeout.
constexpr auto keepalive_period = 15s;
constexpr auto wrong_credentials_delay = 1s;
constexpr qsizetype max_name_length = 200;

// Qt's method flag as the request line had it; empty for others.
QByteArray method_name(const QHttpServerRequest &request)
{
    static const char *const methods[]
        = { "GET", "PUT", "DELETE", "POST", "HEAD", "OPTIONS", "PATCH", "CONNECT", "TRACE" };
    const int bit = qCountTrailingZeroBits(quint32(request.method()));
    return bit < int(std::size(methods)) ? QByteArray(methods[bit]) : QByteArray();
}

// The method and path of a request, as the log shows them.
QString request_text(const QHttpServerRequest &request)
{
    return QString::fromLatin1(method_name(request)) + u' '
        + QString::fromLatin1(request.url().path(QUrl::FullyEncoded).left(200).toLatin1());
}

QByteArray sse_event(const char *name, const QJsonObject &data)
{
    return QByteArray("event: ") + name
        + "\ndata: " + QJsonDocument(data).toJson(QJsonDocument::Compact) + "\n\n";
}

} // namespace

web_server::web_server(const service::service_config &config, service::bridge &bridge,
    log_function log, QObject *parent)
    : QAbstractHttpServer(parent)
    , config_(config)
    , bridge_(bridge)
    , log_(std::move(log))
{
    if (!config_.http.credentials.isEmpty()) {
        QString problem;
        credentials_ = parse_credentials(config_.http.credentials, problem);
    }
    connect(&bridge_, &service::bridge::state_changed, this,
        [this](std::uint8_t address, bool input, int k, bool on) {
            modules_answer_.clear();
            broadcast(sse_event("state",
                { { QStringLiteral("address"), address },
                    { input ? QStringLiteral("input") : QStringLiteral("output"), k },
                    { QStringLiteral("state"),
                        on ? QStringLiteral("ON") : QStringLiteral("OFF") } }));
        });
    connect(&bridge_, &service::bridge::availability_changed, this,
        [this](std::uint8_t address, bool online) {
            modules_answer_.clear();
            broadcast(sse_event("availability",
                { { QStringLiteral("address"), address },
                    { QStringLiteral("availability"),
                        online ? QStringLiteral("online") : QStringLiteral("offline") } }));
        });
    // Comments keep proxies from closing a quiet stream and find dead peers.
    keepalive_.setInterval(keepalive_period);
    connect(&keepalive_, &QTimer::timeout, this, [this] { broadcast(": keepalive\n\n"); });
}

web_server::~web_server()
{
    // A rename in progress ends within the name file's lock wait.
    for (const QPointer<QThread> &worker : std::as_const(renames_))
        if (worker)
            worker->wait();
}

bool web_server::start()
{
    // Checked when the config was loaded; never open when that failed.
    if (!config_.http.credentials.isEmpty() && !credentials_) {
        log_(QStringLiteral("http: the password file holds no user:password; not listening"));
        return false;
    }
    std::optional<QSslConfiguration> tls;
    if (!config_.http.tls_cert.isEmpty()) {
        // Checked when the config was loaded too; never plain text instead.
        QString problem;
        tls = service::tls_configuration(
            config_.http.tls_cert_data, config_.http.tls_key_data, problem);
        if (!tls) {
            log_(QStringLiteral("http: %1; not listening").arg(problem));
            return false;
        }
    }
    auto *server = new bounded_tcp_server(std::move(tls), this);
    const QHostAddress address = config_.http.host == u"localhost"
        ? QHostAddress(QHostAddress::LocalHost)
        : QHostAddress(config_.http.host);
    if (!server->listen(address, quint16(config_.http.port))) {
        log_(QStringLiteral("http: cannot listen on %1:%2: %3")
                 .arg(config_.http.host)
                 .arg(config_.http.port)
                 .arg(server->errorString()));
        delete server;
        return false;
    }
    bind(server);
    keepalive_.start();
    log_(QStringLiteral("http: listening on %1:%2%3")
             .arg(config_.http.host)
             .arg(server->serverPort())
             .arg(config_.http.tls_cert.isEmpty() ? QString() : QStringLiteral(" (TLS)")));
    return true;
}

bool web_server::handleRequest(const QHttpServerRequest &request, QTcpSocket *socket)
{
    if (!admitted(request, socket))
        return true;
    const api_route route = web::route(method_name(request), request.url().path());
    using kind = api_route::kind;
    switch (route.what) {
    case kind::not_found:
        fail(socket, 404, QStringLiteral("no such resource"), request);
        return true;
    case kind::method_not_allowed:
        fail(socket, 405, QStringLiteral("method not allowed here"), request);
        return true;
    case kind::events:
        open_stream(socket);
        return true;
    case kind::page: {
        // Built in: nothing is read from disk by a path a client names.
        static const struct {
            const char *resource, *type;
        } parts[] = { { ":/web/index.html", "text/html; charset=utf-8" },
            { ":/web/app.js", "text/javascript; charset=utf-8" },
            { ":/web/app.css", "text/css; charset=utf-8" } };
        QFile file(QString::fromLatin1(parts[route.output].resource));
        file.open(QIODevice::ReadOnly);
        answer(socket,
            http_response(200, parts[route.output].type, file.readAll(),
                "Content-Security-Policy: default-src 'self'; img-src 'self' data:; "
                "frame-ancestors 'none'\r\n"));
        return true;
    }
    case kind::modules: {
        // Built afresh after every change a client could see, and for the
        // stats once a second: a flood of reads costs the loop little.
        if (modules_answer_.isEmpty() || modules_answer_age_.hasExpired(1000)) {
            QJsonArray list;
            for (const auto &module : bridge_.modules())
                list.append(module_json(module, names_of(module.address), config_.link_loss_after));
            modules_answer_ = json_response(200, { { QStringLiteral("modules"), list } });
            modules_answer_age_.start();
        }
        answer(socket, modules_answer_);
        return true;
    }
    case kind::module:
    case kind::output:
    case kind::set_output:
    case kind::rename:
        break;
    }
    const auto &modules = bridge_.modules();
    const auto module = std::find_if(modules.begin(), modules.end(),
        [&](const service::module_state &m) { return m.address == route.address; });
    if (module == modules.end()) {
        fail(socket, 404, QStringLiteral("no module %1 on this line").arg(route.address), request);
        return true;
    }
    if (route.what == kind::module)
        answer(socket,
            json_response(
                200, module_json(*module, names_of(route.address), config_.link_loss_after)));
    else if (route.what == kind::rename)
        rename(request, socket, route);
    else if (route.what == kind::output)
        answer(socket,
            json_response(200, output_json(*module, names_of(route.address), route.output)));
    else
        take_command(request, socket, route.address, route.output);
    return true;
}

void web_server::missingHandler(const QHttpServerRequest &request, QTcpSocket *socket)
{
    fail(socket, 404, QStringLiteral("no such resource"), request);
}

bool web_server::admitted(const QHttpServerRequest &request, QTcpSocket *socket)
{
    if (!credentials_ || basic_auth_matches(request.value("Authorization"), *credentials_))
        return true;
    log_(QStringLiteral("http: %1 %2: 401 wrong or no credentials")
             .arg(QString::fromLatin1(method_name(request)),
                 QString::fromLatin1(request.url().path(QUrl::FullyEncoded).left(200).toLatin1())));
    // Bounded: a flood of guesses is cut off rather than queued.
    if (delayed_denials_ >= max_connections) {
        socket->abort();
        return false;
    }
    ++delayed_denials_;
    const QPointer<QTcpSocket> client = socket;
    QTimer::singleShot(wrong_credentials_delay, this, [this, client] {
        --delayed_denials_;
        if (client)
            answer(client,
                http_response(401, "application/json", R"({"error":"wrong or no credentials"})",
                    "WWW-Authenticate: Basic realm=\"orvalin\"\r\n"));
    });
    return false;
}

void web_server::take_command(
    const QHttpServerRequest &request, QTcpSocket *socket, std::uint8_t address, int output)
{
    // A page of another site must not switch anything through a browser.
    if (!same_origin(
            request.value("Origin"), request.value("Host"), !config_.http.tls_cert.isEmpty())) {
        fail(socket, 403, QStringLiteral("a command from another origin"), request);
        return;
    }
    // A cross-site form can post text/plain but neither a JSON type nor a
    // header of its own choosing.
    const QByteArray type = request.value("Content-Type").split(';').value(0).trimmed().toLower();
    if (type != "application/json" && request.value("X-Requested-With").isEmpty()) {
        fail(socket, 403,
            QStringLiteral(
                "a command needs Content-Type: application/json or an X-Requested-With header"),
            request);
        return;
    }
    const QByteArray body = request.body().trimmed();
    const auto wanted = output > 0 ? service::parse_set(body) : service::parse_set_all(body);
    if (!wanted) {
        fail(socket, 400,
            QStringLiteral(
                "the body must be ON, OFF, TOGGLE or {\"state\": ..., \"on_time\": seconds}"),
            request);
        return;
    }
    const QPointer<QTcpSocket> client = socket;
    const QString origin = QStringLiteral("http %1").arg(request.url().path());
    const auto refused = bridge_.command(address, output, *wanted, origin,
        [this, client, output, path = request.url().path()](
            const service::command_outcome &outcome) {
            const api_answer reply = outcome_answer(outcome, output);
            if (reply.status != 200)
                log_(QStringLiteral("http: POST %1: %2 %3")
                         .arg(path)
                         .arg(reply.status)
                         .arg(outcome.reason));
            if (client)
                answer(client, json_response(reply.status, reply.body));
        });
    if (!refused)
        return;
    using why = service::bridge::refusal::kind;
    const int status = refused->what == why::not_found ? 404
        : refused->what == why::refused                ? 409
                                                       : 503;
    fail(socket, status, refused->reason, request);
}

// Through the name file as `orvalinctl names` writes it: the same lock,
// the same refusals, and nothing made that is not there.
void web_server::rename(
    const QHttpServerRequest &request, QTcpSocket *socket, const api_route &route)
{
    if (!same_origin(
            request.value("Origin"), request.value("Host"), !config_.http.tls_cert.isEmpty())) {
        fail(socket, 403, QStringLiteral("a rename from another origin"), request);
        return;
    }
    const QJsonValue value = QJsonDocument::fromJson(request.body()).object().value(u"name");
    const QString name = value.toString();
    if (!value.isString() || !fits_one_line(name) || name.size() > max_name_length) {
        fail(socket, 400,
            QStringLiteral(
                "the body must be {\"name\": \"...\"}, one line of at most %1 characters")
                .arg(max_name_length),
            request);
        return;
    }
    const QString &path = config_.names_file;
    const QString section = channel_section(QString::number(route.address));
    if (path.isEmpty() || !QFileInfo(path).isFile()) {
        fail(socket, 409,
            path.isEmpty() ? QStringLiteral("the service has no [names] file")
                           : QStringLiteral("no name file %1").arg(path),
            request);
        return;
    }
    if (!has_section(path, section)) {
        fail(socket, 409, QStringLiteral("%1 has no section [%2]").arg(path, section), request);
        return;
    }
    renames_.removeAll(nullptr);
    if (renames_.size() >= max_renames_at_once) {
        fail(socket, 503, QStringLiteral("too many renames at once; try again"), request);
        return;
    }
    const channel renamed { route.input ? channel_kind::input : channel_kind::output,
        route.output };
    const std::uint8_t address = route.address;
    const QPointer<QTcpSocket> client = socket;
    const QString where = request_text(request);
    // Another program may hold the file's lock for up to lock_wait: the
    // write waits on a thread of its own, so the line and every other
    // client go on meanwhile, and no request is taken in the middle of one.
    QThread *worker = QThread::create([=, this] {
        names_failure failure;
        const bool written = write_profile(path, section, channel_key(renamed), name, &failure);
        channel_names names = read_channel_names(path, QString::number(address));
        QMetaObject::invokeMethod(
            this,
            [=, this, names = std::move(names)] {
                if (!written) {
                    fail(client, 409,
                        QStringLiteral("could not write %1 (%2); the name was not saved")
                            .arg(path,
                                failure ? names_problem_text_en(failure)
                                        : QStringLiteral("refused")),
                        where);
                    return;
                }
                names_[address] = names;
                modules_answer_.clear();
                const QJsonObject shown { { QStringLiteral("address"), address },
                    { renamed.kind == channel_kind::input ? QStringLiteral("input")
                                                          : QStringLiteral("output"),
                        renamed.number },
                    { QStringLiteral("name"), names.name(renamed) } };
                if (client)
                    answer(client, json_response(200, shown));
                broadcast(sse_event("name", shown));
                bridge_.names_changed();
            },
            Qt::QueuedConnection);
    });
    worker->setParent(this);
    connect(worker, &QThread::finished, worker, &QObject::deleteLater);
    renames_.append(worker);
    worker->start();
}

void web_server::answer(QTcpSocket *socket, const QByteArray &response)
{
    socket->write(response);
}

void web_server::fail(
    QTcpSocket *socket, int status, const QString &reason, const QHttpServerRequest &request)
{
    fail(socket, status, reason, request_text(request));
}

void web_server::fail(QTcpSocket *socket, int status, const QString &reason, const QString &where)
{
    // Once per request, without its headers: they may hold a password.
    log_(QStringLiteral("http: %1: %2 %3").arg(where).arg(status).arg(reason));
    if (socket)
        answer(socket, error_response(status, reason));
}

void web_server::open_stream(QTcpSocket *socket)
{
    streams_.removeAll(nullptr);
    if (streams_.size() >= max_event_streams) {
        answer(socket, error_response(503, QStringLiteral("too many event streams")));
        return;
    }
    socket->write(
        "HTTP/1.1 200 OK\r\nContent-Type: text/event-stream\r\nCache-Control: no-store\r\n"
        "X-Content-Type-Options: nosniff\r\n\r\n");
    socket->write(snapshot());
    streams_.append(socket);
}

void web_server::broadcast(const QByteArray &event)
{
    for (QPointer<QTcpSocket> &stream : streams_) {
        if (!stream)
            continue;
        // A client that does not read holds no more than this.
        if (stream->bytesToWrite() > max_stream_backlog) {
            stream->abort();
            continue;
        }
        stream->write(event);
    }
    streams_.removeAll(nullptr);
}

QByteArray web_server::snapshot()
{
    QJsonArray list;
    for (const auto &module : bridge_.modules())
        list.append(module_json(module, names_of(module.address), config_.link_loss_after));
    return sse_event("snapshot", { { QStringLiteral("modules"), list } });
}

const channel_names &web_server::names_of(std::uint8_t address)
{
    auto found = names_.find(address);
    if (found == names_.end())
        found = names_
                    .emplace(
                        address, read_channel_names(config_.names_file, QString::number(address)))
                    .first;
    return found->second;
}

} // namespace orvalin::web
