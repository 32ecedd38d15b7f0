#pragma once

#include <QByteArray>
#include <QString>

#include <optional>

class QSslConfiguration;

namespace orvalin::service {

// [http]: where the API (and the web page) listen and who may use them.
// Off unless the config has an [http] section.
struct http_settings {
    bool on = false;
    QString host = QStringLiteral("127.0.0.1"); // an address, or localhost
    int port = 8080;
    QString password_file; // "user:password" on its first line
    QByteArray credentials; // that line, read at start
    QString tls_cert; // PEM: the certificate, then any chain
    QString tls_key; // PEM: its private key
    QByteArray tls_cert_data; // their contents, read at start
    QByteArray tls_key_data;

    // Only this machine can reach it.
    bool loopback() const;
    // Where a browser finds the page ("" when off): this machine's name for
    // a listener on every address.
    QString page_url() const;
};

// The server side of TLS from the PEM texts of a certificate (with its
// chain) and its private key; nothing when they are not that, and the
// problem in words after the key at fault ("tls_key: ...").
std::optional<QSslConfiguration> tls_configuration(
    const QByteArray &certificate, const QByteArray &key, QString &problem);

// Sets host and port from "HOST:PORT" or "[IPV6]:PORT", or switches the
// listener off for "off"; the problem in words, empty when none. Host names
// other than localhost are refused: nothing is looked up at start.
QString parse_listen(const QString &value, http_settings &http);

} // namespace orvalin::service
