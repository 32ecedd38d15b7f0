#include "web/http_auth.h"

#include <algorithm>
#include <cstdint>

namespace orvalin::web {

namespace {

bool is_control(char c)
{
    return std::uint8_t(c) < 0x20 || c == '\x7f';
}

// Differences between given and expected, found in a time set by expected's
// length alone: every byte is looked at, whatever differs first.
unsigned differences(QByteArrayView given, QByteArrayView expected)
{
    unsigned diff = given.size() == expected.size() ? 0 : 1;
    for (qsizetype i = 0; i < expected.size(); ++i) {
        const char other = i < given.size() ? given[i] : char(~expected[i]);
        diff |= std::uint8_t(other ^ expected[i]);
    }
    return diff;
}

// host[:port] with the scheme's default port left out; an empty view when the
// text is no such thing. Ports are plain digits, as browsers write them.
QByteArrayView without_default_port(QByteArrayView authority, QByteArrayView default_port)
{
    const qsizetype colon = authority.lastIndexOf(':');
    // The colons of an IPv6 literal ("[::1]") are not a port's.
    if (colon < 0 || authority.indexOf(']', colon) >= 0)
        return authority;
    const QByteArrayView port = authority.sliced(colon + 1);
    if (port.isEmpty() || port.size() > 5
        || !std::all_of(port.begin(), port.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return {};
    return port == default_port ? authority.first(colon) : authority;
}

} // namespace

std::optional<credentials> parse_credentials(QByteArrayView file_text, QString &problem)
{
    QByteArrayView line = file_text;
    if (line.startsWith("\xEF\xBB\xBF"))
        line = line.sliced(3); // left there by some editors on Windows
    if (const qsizetype end = line.indexOf('\n'); end >= 0)
        line = line.first(end);
    if (line.endsWith('\r'))
        line.chop(1);

    const qsizetype colon = line.indexOf(':');
    if (line.isEmpty()) {
        problem = QStringLiteral("the first line is empty; it should be user:password");
        return std::nullopt;
    }
    if (colon < 0) {
        problem = QStringLiteral("the first line has no ':' between user and password");
        return std::nullopt;
    }
    const QByteArrayView user = line.first(colon);
    const QByteArrayView password = line.sliced(colon + 1);
    if (user.isEmpty()) {
        problem = QStringLiteral("the user name before the ':' is empty");
        return std::nullopt;
    }
    if (std::any_of(user.begin(), user.end(), is_control)) {
        problem = QStringLiteral("the user name holds a control character");
        return std::nullopt;
    }
    if (password.isEmpty()) {
        problem = QStringLiteral("the password after the ':' is empty");
        return std::nullopt;
    }
    problem.clear();
    return credentials { user.toByteArray(), password.toByteArray() };
}

bool basic_auth_matches(QByteArrayView authorization_header_value, const credentials &expected)
{
    const QByteArrayView value = authorization_header_value.trimmed();
    constexpr QByteArrayView scheme = "basic";
    if (value.size() <= scheme.size()
        || value.first(scheme.size()).compare(scheme, Qt::CaseInsensitive) != 0
        || (value[scheme.size()] != ' ' && value[scheme.size()] != '\t'))
        return false;
    const QByteArray encoded = value.sliced(scheme.size()).trimmed().toByteArray();
    const auto decoded
        = QByteArray::fromBase64Encoding(encoded, QByteArray::AbortOnBase64DecodingErrors);
    // Only the one canonical form: padded, no stray bits.
    if (!decoded || decoded.decoded.toBase64() != encoded)
        return false;
    const QByteArrayView pair = decoded.decoded;
    const qsizetype colon = pair.indexOf(':');
    if (colon < 0)
        return false;
    // Both compared in full, so a wrong user takes as long as a wrong password.
    const unsigned diff = differences(pair.first(colon), expected.user)
        | differences(pair.sliced(colon + 1), expected.password);
    return diff == 0;
}

bool same_origin(QByteArrayView origin_header, QByteArrayView host_header, bool tls)
{
    const QByteArrayView origin = origin_header.trimmed();
    if (origin.isEmpty())
        return true;
    const QByteArrayView scheme = tls ? "https://" : "http://";
    const QByteArrayView default_port = tls ? "443" : "80";
    if (origin.size() <= scheme.size()
        || origin.first(scheme.size()).compare(scheme, Qt::CaseInsensitive) != 0)
        return false;
    const QByteArrayView from = without_default_port(origin.sliced(scheme.size()), default_port);
    const QByteArrayView to = without_default_port(host_header.trimmed(), default_port);
    return !from.isEmpty() && from.compare(to, Qt::CaseInsensitive) == 0;
}

} // namespace orvalin::web
