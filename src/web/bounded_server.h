#pragma once

#include <QSslConfiguration>
#include <QTcpServer>

#include <optional>

namespace orvalin::web {

// Bounds on what clients may hold of the service.
inline constexpr int max_connections = 64;

// Accepts at most max_connections at once and lets idle ones go, so no
// number of slow or silent clients can hold the service. With TLS a
// connection reaches the HTTP server only once its handshake is done, so
// nothing it says is read in the clear.
class bounded_tcp_server : public QTcpServer {
public:
    // Plain TCP without tls.
    bounded_tcp_server(std::optional<QSslConfiguration> tls, QObject *parent);

protected:
    void incomingConnection(qintptr descriptor) override;

private:
    std::optional<QSslConfiguration> tls_;
    int live_ = 0;
};

} // namespace orvalin::web
