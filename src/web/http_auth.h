#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

#include <optional>

namespace orvalin::web {

// The one user the web page lets in.
struct credentials {
    QByteArray user;
    QByteArray password;
};

// The first line of a password file, "user:password" (CRLF or LF; a UTF-8
// byte order mark before it is skipped). The user is not empty and holds no
// ':' and no control character; the password is not empty and is everything
// after the first ':'. Otherwise no value, and problem says what is wrong
// without showing the password.
std::optional<credentials> parse_credentials(QByteArrayView file_text, QString &problem);

// Whether an Authorization header's value is "Basic <base64 of user:password>"
// for expected: the scheme in any letter case, then blanks, then base64 in
// its one canonical form (padded, nothing else around). User and password are
// compared in a time that does not depend on where they differ (it may show
// their lengths).
bool basic_auth_matches(QByteArrayView authorization_header_value, const credentials &expected);

// Whether a state-changing request may come from this page: true without an
// Origin header (empty counts as absent; browsers send one, scripts and curl
// do not), or when Origin is exactly "http://" (or "https://" when tls) plus
// the Host header: the host in any letter case, the port 80 (443 with tls)
// written or not on either side. "null" and everything else is false.
bool same_origin(QByteArrayView origin_header, QByteArrayView host_header, bool tls);

} // namespace orvalin::web
