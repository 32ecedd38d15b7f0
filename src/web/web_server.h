#pragma once

#include "names/name_file.h"
#include "service/bridge.h"
#include "service/config.h"
#include "web/http_auth.h"
#include "web/web_api.h"

#include <QAbstractHttpServer>
#include <QElapsedTimer>
#include <QPointer>
#include <QTimer>

#include <functional>
#include <map>

class QTcpSocket;
class QThread;

namespace orvalin::web {

// Bounds on what clients may hold of the service (connections: in
// bounded_server.h).
inline constexpr int max_event_streams = 32;
// A stream whose client reads slower than this backlog is dropped.
inline constexpr qint64 max_stream_backlog = 256 * 1024;
// Renames waiting for the name file at once; past this, 503.
inline constexpr int max_renames_at_once = 4;

// The HTTP API of the service on the Qt event loop: reads of the modules,
// commands carried out by the bridge and answered once a reply confirms
// them, and a stream of server-sent events. No file is served from disk.
class web_server : public QAbstractHttpServer {
    Q_OBJECT

public:
    using log_function = std::function<void(const QString &)>;

    web_server(const service::service_config &config, service::bridge &bridge, log_function log,
        QObject *parent = nullptr);
    ~web_server() override;

    // Listens where the config says; false (and logged) when it cannot.
    bool start();

protected:
    bool handleRequest(const QHttpServerRequest &request, QTcpSocket *socket) override;
    void missingHandler(const QHttpServerRequest &request, QTcpSocket *socket) override;

private:
    void answer(QTcpSocket *socket, const QByteArray &response);
    // The user of password_file, when there is one; else 401 (after a
    // delay, so guessing is slow) and false.
    bool admitted(const QHttpServerRequest &request, QTcpSocket *socket);
    void fail(
        QTcpSocket *socket, int status, const QString &reason, const QHttpServerRequest &request);
    // where: the request's method and path.
    void fail(QTcpSocket *socket, int status, const QString &reason, const QString &where);
    void open_stream(QTcpSocket *socket);
    void broadcast(const QByteArray &event);
    void take_command(
        const QHttpServerRequest &request, QTcpSocket *socket, std::uint8_t address, int output);
    const channel_names &names_of(std::uint8_t address);
    void rename(const QHttpServerRequest &request, QTcpSocket *socket, const api_route &route);
    QByteArray snapshot();

    service::service_config config_;
    service::bridge &bridge_;
    log_function log_;
    std::map<std::uint8_t, channel_names> names_;
    QList<QPointer<QTcpSocket>> streams_;
    QList<QPointer<QThread>> renames_;
    // GET /api/modules as last answered, and since when.
    QByteArray modules_answer_;
    QElapsedTimer modules_answer_age_;
    QTimer keepalive_;
    std::optional<credentials> credentials_;
    int delayed_denials_ = 0;
};

} // namespace orvalin::web
