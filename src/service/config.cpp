#include "service/config.h"

#include "service/payload.h"
#include "system/numbers.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSet>
#include <QStringConverter>
#include <QStringDecoder>

#include <algorithm>
#include <functional>
#include <map>
#include <tuple>

namespace orvalin::service {

namespace {

// Longest client id or user name an MQTT packet can carry.
constexpr qsizetype max_mqtt_string_bytes = 65535;

// A topic prefix: one or more non-empty levels without wildcards.
bool valid_prefix(const QString &text)
{
    if (text.isEmpty() || text.contains(u'+') || text.contains(u'#') || text.contains(QChar(0)))
        return false;
    const auto levels = text.split(u'/');
    return std::none_of(levels.begin(), levels.end(), [](const QString &l) { return l.isEmpty(); });
}

std::optional<bool> parse_switch(const QString &text)
{
    const QString lower = text.toLower();
    if (lower == u"on" || lower == u"true" || lower == u"yes" || lower == u"1")
        return true;
    if (lower == u"off" || lower == u"false" || lower == u"no" || lower == u"0")
        return false;
    return std::nullopt;
}

// "A/K" with A among modules.
std::optional<std::pair<std::uint8_t, int>> parse_output(const QString &text)
{
    const auto parts = text.trimmed().split(u'/');
    if (parts.size() != 2)
        return std::nullopt;
    const auto address = parse_address(parts[0]);
    const auto output = parse_whole(parts[1], 1, 8);
    if (!address || !output)
        return std::nullopt;
    return std::pair { *address, *output };
}

class parser {
public:
    parser(const QString &file)
        : file_(file)
    {
        using namespace std::placeholders;
        auto key = [this](const char *section, const char *name, auto handler) {
            handlers_[QStringLiteral("%1/%2").arg(QLatin1String(section), QLatin1String(name))]
                = handler;
        };
        key("line", "port", [this](const QString &v) { return set_text(config_.port, v); });
        key("line", "modules", [this](const QString &v) { return set_modules(v); });
        key("line", "interval",
            [this](const QString &v) { return set_ms(config_.interval, v, 20, 10000); });
        key("line", "reply_timeout",
            [this](const QString &v) { return set_ms(config_.reply_timeout, v, 1, 10000); });
        key("mqtt", "host", [this](const QString &v) { return set_text(config_.host, v); });
        key("mqtt", "port", [this](const QString &v) {
            const auto port = parse_whole(v, 1, 65535);
            if (!port)
                return QStringLiteral("port must be 1..65535");
            config_.mqtt_port = *port;
            return QString();
        });
        key("mqtt", "client_id", [this](const QString &v) {
            return set_mqtt_string(config_.client_id, "client_id", v);
        });
        key("mqtt", "username",
            [this](const QString &v) { return set_mqtt_string(config_.username, "username", v); });
        key("mqtt", "password_file",
            [this](const QString &v) { return set_path(config_.password_file, v); });
        key("mqtt", "tls_ca", [this](const QString &v) { return set_path(config_.tls_ca, v); });
        key("mqtt", "prefix", [this](const QString &v) { return set_prefix(config_.prefix, v); });
        key("homeassistant", "discovery", [this](const QString &v) {
            const auto on = parse_switch(v);
            if (!on)
                return QStringLiteral("discovery must be on or off");
            config_.discovery = *on;
            return QString();
        });
        key("homeassistant", "prefix",
            [this](const QString &v) { return set_prefix(config_.discovery_prefix, v); });
        key("homeassistant", "outlets", [this](const QString &v) {
            outlets_text_ = v;
            return QString();
        });
        key("names", "file", [this](const QString &v) { return set_path(config_.names_file, v); });
        key("http", "listen", [this](const QString &v) { return parse_listen(v, config_.http); });
        key("http", "password_file",
            [this](const QString &v) { return set_path(config_.http.password_file, v); });
        key("http", "tls_cert",
            [this](const QString &v) { return set_path(config_.http.tls_cert, v); });
        key("http", "tls_key",
            [this](const QString &v) { return set_path(config_.http.tls_key, v); });
        key("safety", "link_loss_after", [this](const QString &v) {
            const auto count = parse_whole(v, 1, 1000);
            if (!count)
                return QStringLiteral("link_loss_after must be a whole number 1..1000");
            config_.link_loss_after = *count;
            return QString();
        });
        key("safety", "on_link_loss", [this](const QString &v) {
            if (v == u"keep")
                config_.on_link_loss = link_loss_action::keep;
            else if (v == u"all_off")
                config_.on_link_loss = link_loss_action::all_off;
            else
                return QStringLiteral("on_link_loss must be keep or all_off");
            return QString();
        });
        key("safety", "interlock", [this](const QString &v) {
            interlock_text_ = v;
            return QString();
        });
        key("safety", "on_time", [this](const QString &v) {
            on_time_text_ = v;
            return QString();
        });
        key("safety", "interlock_delay",
            [this](const QString &v) { return set_ms(config_.interlock_delay, v, 0, 10000); });
    }

    config_result run(const QByteArray &text)
    {
        QByteArrayView rest = text;
        if (rest.startsWith("\xEF\xBB\xBF"))
            rest = rest.sliced(3);
        QString section;
        int number = 0;
        while (!rest.isEmpty()) {
            ++number;
            const auto end = rest.indexOf('\n');
            QByteArrayView raw = end < 0 ? rest : rest.first(end);
            rest = end < 0 ? QByteArrayView() : rest.sliced(end + 1);
            QStringDecoder decode(QStringConverter::Utf8, QStringConverter::Flag::Stateless);
            const QString line = QString(decode(raw)).trimmed();
            if (decode.hasError() || line.contains(QChar(0)))
                return fail(number, QStringLiteral("not valid UTF-8 text"));
            if (line.isEmpty() || line.startsWith(u'#') || line.startsWith(u';'))
                continue;
            if (line.startsWith(u'[')) {
                if (!line.endsWith(u']'))
                    return fail(number, QStringLiteral("a section line must end with ]"));
                section = line.mid(1, line.size() - 2).trimmed();
                if (!known_sections().contains(section))
                    return fail(number, QStringLiteral("unknown section [%1]").arg(section));
                sections_.insert(section);
                continue;
            }
            const auto equals = line.indexOf(u'=');
            if (equals < 0)
                return fail(number, QStringLiteral("expected key = value"));
            const QString key = line.first(equals).trimmed();
            const QString value = line.sliced(equals + 1).trimmed();
            if (section.isEmpty())
                return fail(number, QStringLiteral("%1 stands before any [section]").arg(key));
            const QString full = section + u'/' + key;
            const auto handler = handlers_.find(full);
            if (handler == handlers_.end())
                return fail(number, QStringLiteral("unknown key %1 in [%2]").arg(key, section));
            if (config_.key_lines.contains(full))
                return fail(number,
                    QStringLiteral("%1 given twice (first on line %2)")
                        .arg(key)
                        .arg(config_.key_lines[full]));
            config_.key_lines[full] = number;
            const QString problem = handler->second(value);
            if (!problem.isEmpty())
                return fail(number, problem);
        }
        return finish();
    }

private:
    static QSet<QString> known_sections()
    {
        return { QStringLiteral("line"), QStringLiteral("mqtt"), QStringLiteral("homeassistant"),
            QStringLiteral("names"), QStringLiteral("safety"), QStringLiteral("http") };
    }

    config_result fail(int line, const QString &message)
    {
        return { std::nullopt, { file_, line, message } };
    }

    static QString set_text(QString &field, const QString &value)
    {
        if (value.isEmpty())
            return QStringLiteral("empty value");
        field = value;
        return {};
    }

    // What the library refuses at connect: more bytes than an MQTT string
    // holds, or control characters.
    static QString set_mqtt_string(QString &field, const char *key, const QString &value)
    {
        if (value.toUtf8().size() > max_mqtt_string_bytes)
            return QStringLiteral("%1 is longer than %2 bytes")
                .arg(QLatin1String(key))
                .arg(max_mqtt_string_bytes);
        for (const char32_t c : value.toUcs4())
            if (QChar::category(c) == QChar::Other_Control || QChar::isNonCharacter(c))
                return QStringLiteral("%1 holds a control character or a non-character")
                    .arg(QLatin1String(key));
        return set_text(field, value);
    }

    QString set_path(QString &field, const QString &value)
    {
        if (value.isEmpty())
            return QStringLiteral("empty path");
        field = QDir(QFileInfo(file_).absolutePath()).absoluteFilePath(value);
        return {};
    }

    static QString set_prefix(QString &field, const QString &value)
    {
        if (!valid_prefix(value))
            return QStringLiteral("a topic prefix needs non-empty levels and no + or #");
        field = value;
        return {};
    }

    static QString set_ms(std::chrono::milliseconds &field, const QString &value, int low, int high)
    {
        const auto ms = parse_whole(value, low, high);
        if (!ms)
            return QStringLiteral("must be a whole number of milliseconds, %1..%2")
                .arg(low)
                .arg(high);
        field = std::chrono::milliseconds(*ms);
        return {};
    }

    QString set_modules(const QString &value)
    {
        config_.modules.clear();
        for (const QString &part : value.split(u',')) {
            const auto address = parse_address(part);
            if (!address)
                return QStringLiteral("modules: \"%1\" is no address 0..255").arg(part.trimmed());
            if (config_.modules.contains(*address))
                return QStringLiteral("modules: %1 given twice").arg(int(*address));
            config_.modules.append(*address);
        }
        return {};
    }

    QString set_interlock(const QString &value)
    {
        for (const QString &part : value.split(u',')) {
            if (part.trimmed().isEmpty() && value.trimmed().isEmpty())
                break;
            const auto sides = part.split(u'+');
            const auto first = sides.size() == 2 ? parse_output(sides[0]) : std::nullopt;
            const auto second = sides.size() == 2 ? parse_output(sides[1]) : std::nullopt;
            if (!first || !second)
                return QStringLiteral("interlock: \"%1\" is no pair like 7/1+7/2")
                    .arg(part.trimmed());
            if (first->first != second->first)
                return QStringLiteral("interlock: %1 pairs outputs of two modules")
                    .arg(part.trimmed());
            if (first->second == second->second)
                return QStringLiteral("interlock: %1 pairs an output with itself")
                    .arg(part.trimmed());
            if (!config_.modules.contains(first->first))
                return QStringLiteral("interlock: module %1 is not in [line] modules")
                    .arg(first->first);
            config_.interlock.append({ first->first, first->second, second->second });
        }
        return {};
    }

    // "A/K" of a configured module, for the lists checked at the end.
    QString served_output(const char *key, const QString &part, const char *example,
        std::pair<std::uint8_t, int> &output) const
    {
        const auto parsed = parse_output(part);
        if (!parsed)
            return QStringLiteral("%1: \"%2\" is no output like %3")
                .arg(QLatin1String(key), part.trimmed(), QLatin1String(example));
        if (!config_.modules.contains(parsed->first))
            return QStringLiteral("%1: module %2 is not in [line] modules")
                .arg(QLatin1String(key))
                .arg(parsed->first);
        output = *parsed;
        return {};
    }

    QString set_outlets(const QString &value)
    {
        for (const QString &part : value.split(u',')) {
            std::pair<std::uint8_t, int> output;
            if (const QString problem = served_output("outlets", part, "1/3", output);
                !problem.isEmpty())
                return problem;
            if (config_.is_outlet(output.first, output.second))
                return QStringLiteral("outlets: %1 given twice").arg(part.trimmed());
            config_.outlets.append({ output.first, output.second });
        }
        return {};
    }

    QString set_on_times(const QString &value)
    {
        for (const QString &part : value.split(u',')) {
            const auto sides = part.split(u':');
            std::pair<std::uint8_t, int> output;
            if (const QString problem
                = served_output("on_time", sides.size() == 2 ? sides[0] : part, "1/4:2.5", output);
                !problem.isEmpty())
                return problem;
            if (sides.size() != 2)
                return QStringLiteral("on_time: \"%1\" is no output:seconds like 1/4:2.5")
                    .arg(part.trimmed());
            bool ok = false;
            const double seconds = sides[1].trimmed().toDouble(&ok);
            const auto on_time = ok ? on_time_from_seconds(seconds) : std::nullopt;
            if (!on_time)
                return QStringLiteral("on_time: %1 needs seconds more than 0, at most %2")
                    .arg(part.trimmed())
                    .arg(max_on_time.count());
            if (config_.on_time_of(output.first, output.second))
                return QStringLiteral("on_time: output %1/%2 given twice")
                    .arg(output.first)
                    .arg(output.second);
            config_.on_time_limits.append({ output.first, output.second, *on_time });
        }
        return {};
    }

    config_result finish()
    {
        if (!config_.key_lines.contains(QStringLiteral("line/port")))
            return fail(0, QStringLiteral("[line] port is missing"));
        if (!config_.key_lines.contains(QStringLiteral("line/modules")))
            return fail(0, QStringLiteral("[line] modules is missing"));
        // Checked last, against the modules wherever they stand in the file.
        if (!interlock_text_.isEmpty()) {
            const QString problem = set_interlock(interlock_text_);
            if (!problem.isEmpty())
                return fail(config_.key_lines[QStringLiteral("safety/interlock")], problem);
        }
        for (const auto &[text, key, set] :
            { std::tuple { outlets_text_, "homeassistant/outlets", &parser::set_outlets },
                std::tuple { on_time_text_, "safety/on_time", &parser::set_on_times } }) {
            const QString problem = text.isEmpty() ? QString() : (this->*set)(text);
            if (!problem.isEmpty())
                return fail(config_.key_lines[QLatin1String(key)], problem);
        }
        // The service's own <prefix>/status would read as Home Assistant's,
        // and every "online" it publishes would publish everything again.
        if (config_.discovery && config_.prefix == config_.discovery_prefix)
            return fail(config_.key_lines.value(QStringLiteral("mqtt/prefix"),
                            config_.key_lines.value(QStringLiteral("homeassistant/prefix"))),
                QStringLiteral("[mqtt] prefix is the same as the [homeassistant] prefix"));
        if (!config_.password_file.isEmpty() && config_.username.isEmpty())
            return fail(config_.key_lines[QStringLiteral("mqtt/password_file")],
                QStringLiteral("password_file needs a username"));
        if (const auto problem = check_http(); !problem.second.isEmpty())
            return fail(config_.key_lines.value(QLatin1String(problem.first)), problem.second);
        return { config_, {} };
    }

    // The key a problem is about, and the problem.
    std::pair<const char *, QString> check_http()
    {
        http_settings &http = config_.http;
        const bool given = sections_.contains(QStringLiteral("http"));
        if (given && !config_.key_lines.contains(QStringLiteral("http/listen")))
            http.on = true; // its default address
        config_.mqtt = sections_.contains(QStringLiteral("mqtt")) || !given;
        if (!config_.mqtt && !http.on)
            return { "http/listen", QStringLiteral("neither [mqtt] nor [http] is on") };
        if (!http.on)
            return {};
        // Anyone on the network could switch the machinery.
        if (!http.loopback() && http.password_file.isEmpty())
            return { "http/listen",
                QStringLiteral("listening on %1 beyond this machine needs password_file")
                    .arg(http.host) };
        if (http.tls_cert.isEmpty() != http.tls_key.isEmpty())
            return { http.tls_cert.isEmpty() ? "http/tls_key" : "http/tls_cert",
                QStringLiteral("tls_cert and tls_key go together") };
        return {};
    }

    QString file_;
    service_config config_;
    QString interlock_text_;
    QString outlets_text_;
    QString on_time_text_;
    QSet<QString> sections_;
    std::map<QString, std::function<QString(const QString &)>> handlers_;
};

} // namespace

bool service_config::is_outlet(std::uint8_t address, int output) const
{
    return std::any_of(outlets.begin(), outlets.end(),
        [&](const outlet &o) { return o.address == address && o.output == output; });
}

std::optional<std::chrono::milliseconds> service_config::on_time_of(
    std::uint8_t address, int output) const
{
    for (const on_time_limit &limit : on_time_limits)
        if (limit.address == address && limit.output == output)
            return limit.on_time;
    return std::nullopt;
}

QString config_error::text() const
{
    return line > 0 ? QStringLiteral("%1:%2: %3").arg(file).arg(line).arg(message)
                    : QStringLiteral("%1: %2").arg(file, message);
}

config_result parse_config(const QByteArray &text, const QString &file)
{
    return parser(file).run(text);
}

} // namespace orvalin::service
