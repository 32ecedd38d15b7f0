#include "cli/cli.h"

#include <QJsonDocument>

#include <cstdio>

namespace orvalin::cli {

namespace {

bool stdout_failed = false;

} // namespace

void print_line(const QString &line)
{
    const QByteArray bytes = line.toUtf8() + '\n';
    // A full disk or a closed pipe must not pass for a saved result.
    if (std::fwrite(bytes.constData(), 1, std::size_t(bytes.size()), stdout)
            != std::size_t(bytes.size())
        || std::fflush(stdout) != 0)
        stdout_failed = true;
}

bool output_failed()
{
    return stdout_failed;
}

void print_json(const QList<std::pair<QLatin1String, QByteArray>> &fields)
{
    print_line(QString::fromUtf8(json_object(fields)));
}

QByteArray json_text(const QJsonValue &value)
{
    const QByteArray wrapped = QJsonDocument(QJsonArray { value }).toJson(QJsonDocument::Compact);
    return wrapped.mid(1, wrapped.size() - 2);
}

QByteArray json_object(const QList<std::pair<QLatin1String, QByteArray>> &fields)
{
    QByteArray text = "{";
    for (const auto &[key, value] : fields) {
        if (text.size() > 1)
            text += ',';
        text += json_text(QString(key)) + ':' + value;
    }
    return text + '}';
}

void print_error(const QString &text)
{
    const QByteArray bytes = QStringLiteral("orvalinctl: %1\n").arg(text).toUtf8();
    std::fwrite(bytes.constData(), 1, std::size_t(bytes.size()), stderr);
    std::fflush(stderr);
}

int usage_failure(const QString &message)
{
    print_error(message);
    print_error(QStringLiteral("try 'orvalinctl --help'"));
    return exit_usage;
}

QString hex_frame(const frame &bytes)
{
    QString text;
    for (const std::uint8_t byte : bytes) {
        if (!text.isEmpty())
            text += u' ';
        text += QStringLiteral("%1").arg(byte, 2, 16, QLatin1Char('0'));
    }
    return text;
}

QString channel_label(channel c)
{
    return (c.is_output() ? QStringLiteral("output %1") : QStringLiteral("input %1")).arg(c.number);
}

QString states_text(std::uint8_t bits)
{
    QString text;
    for (int k = 0; k < channels_per_kind; ++k)
        text += (bits >> k) & 1 ? u'1' : u'0';
    return text;
}

QJsonArray state_array(std::uint8_t bits)
{
    QJsonArray states;
    for (int k = 0; k < channels_per_kind; ++k)
        states.append(bool((bits >> k) & 1));
    return states;
}

channel_names names_or_blank(const settings &options, std::uint8_t address)
{
    const QString address_text = QString::number(address);
    channel_names names = read_channel_names(options.names_path, address_text);
    if (names.found == names_found::no_section && options.names_given)
        print_error(QStringLiteral("%1 has no section [%2]; names left blank")
                        .arg(options.names_path, channel_section(address_text)));
    return names;
}

} // namespace orvalin::cli
