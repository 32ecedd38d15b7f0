// Loading a config: the file itself and the files it names (passwords,
// certificates, the name file), each only if it is a regular file, with a
// size limit, never with a blocking open.

#include "service/config.h"

#include "service/http_settings.h"
#include "service/regular_file.h"
#include "web/http_auth.h"

#include <QSslConfiguration>

#include <tuple>

namespace orvalin::service {

namespace {

// Past this a config file is surely not one.
constexpr qint64 max_config_bytes = 1 << 20;

} // namespace

config_result load_config(const QString &file)
{
    QString problem;
    const auto text = read_regular_file(file, max_config_bytes, problem);
    if (!text)
        return { std::nullopt, { file, 0, QStringLiteral("cannot read: %1").arg(problem) } };
    if (text->data.size() > max_config_bytes)
        return { std::nullopt, { file, 0, QStringLiteral("cannot read: larger than 1 MiB") } };
    config_result result = parse_config(text->data, file);
    if (!result.config)
        return result;
    service_config &config = *result.config;
    auto refuse = [&](const char *key, const QString &message) {
        const QString name
            = QStringLiteral("[%1] %2").arg(QString::fromLatin1(key).section(u'/', 0, 0),
                QString::fromLatin1(key).section(u'/', 1));
        return config_result { std::nullopt,
            { file, config.key_lines.value(QLatin1String(key)),
                QStringLiteral("%1: %2").arg(name, message) } };
    };
    // The first line of a secret's file, as editors and `echo` leave it.
    const auto read_secret = [&](const char *key, const QString &path,
                                 QByteArray &secret) -> std::optional<config_result> {
        const auto text = read_regular_file(path, max_config_bytes, problem);
        if (!text)
            return refuse(key, QStringLiteral("cannot read %1: %2").arg(path, problem));
        if (text->data.size() > max_config_bytes)
            return refuse(key, QStringLiteral("cannot read %1: larger than 1 MiB").arg(path));
        secret = text->data.split('\n').value(0);
        if (secret.endsWith('\r'))
            secret.chop(1);
        // An empty secret is never meant: say so rather than go without one.
        if (secret.isEmpty())
            return refuse(key, QStringLiteral("the first line of %1 is empty").arg(path));
        if (text->mode & 0004)
            result.warnings.append(config_error { file, config.key_lines.value(QLatin1String(key)),
                QStringLiteral("%1 %2 is readable by every user (mode %3)")
                    .arg(QString::fromLatin1(key).section(u'/', 1), path)
                    .arg(text->mode, 4, 8, QChar(u'0')) });
        return std::nullopt;
    };
    if (!config.password_file.isEmpty()) {
        if (auto refused = read_secret("mqtt/password_file", config.password_file, config.password))
            return *refused;
    }
    if (config.http.on && !config.http.password_file.isEmpty()) {
        if (auto refused
            = read_secret("http/password_file", config.http.password_file, config.http.credentials))
            return *refused;
        if (!web::parse_credentials(config.http.credentials, problem))
            return refuse("http/password_file",
                QStringLiteral("%1: %2").arg(config.http.password_file, problem));
    }
    if (config.http.on && !config.http.tls_cert.isEmpty()) {
        for (const auto &[key, path, data] :
            { std::tuple { "http/tls_cert", config.http.tls_cert, &config.http.tls_cert_data },
                std::tuple { "http/tls_key", config.http.tls_key, &config.http.tls_key_data } }) {
            const auto text = read_regular_file(path, max_config_bytes, problem);
            if (!text)
                return refuse(key, QStringLiteral("cannot read %1: %2").arg(path, problem));
            if (text->data.size() > max_config_bytes)
                return refuse(key, QStringLiteral("cannot read %1: larger than 1 MiB").arg(path));
            *data = text->data;
            if (data == &config.http.tls_key_data && (text->mode & 0004))
                result.warnings.append(
                    config_error { file, config.key_lines.value(QLatin1String(key)),
                        QStringLiteral("tls_key %1 is readable by every user (mode %2)")
                            .arg(path)
                            .arg(text->mode, 4, 8, QChar(u'0')) });
        }
        if (!tls_configuration(config.http.tls_cert_data, config.http.tls_key_data, problem)) {
            // The problem starts with the key at fault.
            const bool key_at_fault = problem.startsWith(u"tls_key:");
            return refuse(key_at_fault ? "http/tls_key" : "http/tls_cert",
                QStringLiteral("%1: %2").arg(
                    key_at_fault ? config.http.tls_key : config.http.tls_cert,
                    problem.section(QStringLiteral(": "), 1)));
        }
    }
    for (const auto &[key, path] : { std::pair { "mqtt/tls_ca", config.tls_ca },
             std::pair { "names/file", config.names_file } }) {
        // Only whether it can be read: its users read it themselves.
        if (!path.isEmpty() && !read_regular_file(path, 0, problem))
            return refuse(key, QStringLiteral("cannot read %1: %2").arg(path, problem));
    }
    return result;
}

} // namespace orvalin::service
