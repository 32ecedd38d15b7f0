#include "service/http_settings.h"

#include "system/numbers.h"

#include <QHostAddress>
#include <QHostInfo>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QSslKey>
#include <QSslSocket>

namespace orvalin::service {

bool http_settings::loopback() const
{
    return host == u"localhost" || QHostAddress(host).isLoopback();
}

QString http_settings::page_url() const
{
    if (!on)
        return {};
    const QHostAddress address(host);
    QString shown = host;
    if (address == QHostAddress::AnyIPv4 || address == QHostAddress::AnyIPv6)
        shown = QHostInfo::localHostName();
    else if (address.protocol() == QAbstractSocket::IPv6Protocol)
        shown = u'[' + host + u']';
    return QStringLiteral("%1://%2:%3/")
        .arg(tls_cert.isEmpty() ? u"http" : u"https", shown)
        .arg(port);
}

std::optional<QSslConfiguration> tls_configuration(
    const QByteArray &certificate, const QByteArray &key, QString &problem)
{
    if (!QSslSocket::supportsSsl()) {
        problem = QStringLiteral("tls_cert: TLS is not available here (no TLS library found)");
        return std::nullopt;
    }
    const QList<QSslCertificate> chain = QSslCertificate::fromData(certificate, QSsl::Pem);
    if (chain.isEmpty() || chain.first().isNull()) {
        problem = QStringLiteral("tls_cert: no PEM certificate in it");
        return std::nullopt;
    }
    // PEM does not always say which kind of key it holds.
    QSslKey private_key;
    for (const auto algorithm : { QSsl::Rsa, QSsl::Ec, QSsl::Dsa }) {
        private_key = QSslKey(key, algorithm, QSsl::Pem, QSsl::PrivateKey);
        if (!private_key.isNull())
            break;
    }
    if (private_key.isNull()) {
        problem = QStringLiteral("tls_key: no unencrypted PEM private key in it");
        return std::nullopt;
    }
    QSslConfiguration tls = QSslConfiguration::defaultConfiguration();
    tls.setLocalCertificateChain(chain);
    tls.setPrivateKey(private_key);
    // Browsers and scripts are clients; none is asked for a certificate.
    tls.setPeerVerifyMode(QSslSocket::VerifyNone);
    return tls;
}

QString parse_listen(const QString &value, http_settings &http)
{
    if (value == u"off") {
        http.on = false;
        return {};
    }
    const auto colon = value.lastIndexOf(u':');
    QString host = colon < 0 ? QString() : value.first(colon);
    if (host.startsWith(u'[') && host.endsWith(u']'))
        host = host.mid(1, host.size() - 2);
    else if (host.contains(u':'))
        host.clear(); // an IPv6 address needs its brackets
    const auto port = colon < 0 ? std::nullopt : parse_whole(value.sliced(colon + 1), 1, 65535);
    if (host.isEmpty() || !port)
        return QStringLiteral(
            "listen must be off or address:port, like 127.0.0.1:8080 or [::1]:8080");
    if (host != u"localhost" && QHostAddress(host).isNull())
        return QStringLiteral(
            "listen: %1 is no address (names other than localhost are not looked up)")
            .arg(host);
    http.on = true;
    http.host = host;
    http.port = *port;
    return {};
}

} // namespace orvalin::service
