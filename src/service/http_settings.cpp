#include "service/http_settings.h"

#include "system/numbers.h"

#include <QHostAddress>
#include <QHostInfo>

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
    return QStringLiteral("http://%1:%2/").arg(shown).arg(port);
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
