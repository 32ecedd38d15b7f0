// The listener's side of the HTTP API: how many connections, for how long,
// and what a request may be before Qt HTTP Server keeps it.
#include "web/bounded_server.h"

#include "web/request_guard.h"
#include "web/web_api.h"

#include <QSslSocket>
#include <QTcpSocket>
#include <QTimer>

namespace orvalin::web {

namespace {

using namespace std::chrono_literals;

// A quiet client is let go.
constexpr auto idle_timeout = 30s;
// A request's head and body, or a TLS handshake, must have come this long
// after its first byte.
constexpr auto request_deadline = 10s;

// Qt HTTP Server keeps whatever a client sends until a request is whole.
// This sees the bytes first (its slot is connected before the server's):
// a request past a limit is answered and the connection closed before the
// server has buffered it, and a request trickled in byte by byte is cut
// off at its deadline.
void guard_requests(QTcpSocket *socket)
{
    struct state {
        request_guard guard;
        qint64 unread = 0; // bytes the server left in the socket last time
        QTimer deadline;
    };
    auto *s = new state;
    QObject::connect(socket, &QObject::destroyed, [s] { delete s; });
    s->deadline.setSingleShot(true);
    QObject::connect(&s->deadline, &QTimer::timeout, socket, &QTcpSocket::abort);
    QObject::connect(socket, &QTcpSocket::readyRead, socket, [socket, s] {
        const QByteArray buffered = socket->peek(socket->bytesAvailable());
        const qsizetype ended = s->guard.requests_ended();
        const auto verdict = s->guard.feed(
            QByteArrayView(buffered).sliced(std::min<qint64>(s->unread, buffered.size())));
        if (verdict != request_guard::verdict::ok) {
            const int status = verdict == request_guard::verdict::head_too_large ? 431
                : verdict == request_guard::verdict::body_too_large              ? 413
                                                                                 : 400;
            socket->readAll(); // none of it reaches the server
            socket->write(error_response(status,
                status == 431       ? QStringLiteral("the request head is too large")
                    : status == 413 ? QStringLiteral("the request body is too large")
                                    : QStringLiteral("a request this server does not take")));
            socket->disconnectFromHost();
            return;
        }
        if (s->guard.requests_ended() > ended)
            s->deadline.stop();
        if (!s->deadline.isActive() && s->guard.within_request())
            s->deadline.start(request_deadline);
        QMetaObject::invokeMethod(
            socket, [socket, s] { s->unread = socket->bytesAvailable(); }, Qt::QueuedConnection);
    });
}

} // namespace

bounded_tcp_server::bounded_tcp_server(std::optional<QSslConfiguration> tls, QObject *parent)
    : QTcpServer(parent)
    , tls_(std::move(tls))
{
}

void bounded_tcp_server::incomingConnection(qintptr descriptor)
{
    QTcpSocket *socket = tls_ ? new QSslSocket(this) : new QTcpSocket(this);
    if (!socket->setSocketDescriptor(descriptor)) {
        delete socket;
        return;
    }
    if (live_ >= max_connections) {
        // Before a handshake a TLS client would not understand why.
        if (!tls_)
            socket->write(error_response(503, QStringLiteral("too many connections")));
        socket->disconnectFromHost();
        connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
        QTimer::singleShot(1s, socket, &QObject::deleteLater);
        return;
    }
    ++live_;
    connect(socket, &QObject::destroyed, this, [this] { --live_; });
    auto *idle = new QTimer(socket);
    idle->setSingleShot(true);
    idle->start(idle_timeout);
    connect(idle, &QTimer::timeout, socket, &QTcpSocket::abort);
    const auto busy = [idle] { idle->start(idle_timeout); };
    connect(socket, &QTcpSocket::readyRead, idle, busy);
    connect(socket, &QTcpSocket::bytesWritten, idle, busy);
    auto *secure = qobject_cast<QSslSocket *>(socket);
    if (!secure) {
        guard_requests(socket);
        addPendingConnection(socket);
        return;
    }
    // Until the HTTP server has it, the socket is this server's to end.
    connect(secure, &QTcpSocket::disconnected, secure, [secure] {
        if (!secure->isEncrypted())
            secure->deleteLater();
    });
    auto *handshake = new QTimer(secure);
    handshake->setSingleShot(true);
    connect(handshake, &QTimer::timeout, secure, &QTcpSocket::abort);
    handshake->start(request_deadline);
    connect(secure, &QSslSocket::encrypted, this, [this, secure, handshake] {
        delete handshake;
        guard_requests(secure);
        addPendingConnection(secure);
    });
    secure->setSslConfiguration(*tls_);
    secure->startServerEncryption();
}

} // namespace orvalin::web
