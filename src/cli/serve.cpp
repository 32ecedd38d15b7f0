#include "cli/serve.h"

#include "link/line_port.h"
#include "link/port_device.h"
#include "service/bridge.h"
#include "service/config.h"
#include "service/mosquitto_broker.h"
#include "system/stop_signals.h"
#include "system/toolkit.h"
#include "web/web_server.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDateTime>
#include <QFileInfo>
#include <QRegularExpression>
#include <QTimer>

#include <cstdio>
#include <memory>

namespace orvalin::service {

namespace {

constexpr int exit_ok = 0;
constexpr int exit_failure = 1;
constexpr int exit_bad_config = 2;
// SIGTERM to exit: the exchange in flight, pulses' offs, the offline message, the
// DISCONNECT, all within a second.
constexpr auto stop_deadline = std::chrono::milliseconds(900);
constexpr auto disconnect_wait = std::chrono::milliseconds(300);

void log_line(const QString &text)
{
    const QString line
        = QDateTime::currentDateTime().toString(Qt::ISODateWithMs) + u' ' + text + u'\n';
    std::fputs(line.toUtf8().constData(), stderr);
    std::fflush(stderr);
}

} // namespace

int serve_main(const QStringList &arguments)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Bridges the relay modules on one serial line to an MQTT broker and Home Assistant."));
    parser.addHelpOption();
    const QCommandLineOption config_option({ QStringLiteral("c"), QStringLiteral("config") },
        QStringLiteral("Config file (default /etc/orvalin/orvalin.conf)."), QStringLiteral("file"),
        QStringLiteral("/etc/orvalin/orvalin.conf"));
    const QCommandLineOption verbose_option({ QStringLiteral("v"), QStringLiteral("verbose") },
        QStringLiteral("Log every frame and reply."));
    const QCommandLineOption check_option(QStringLiteral("check"),
        QStringLiteral("Check the config and exit: 0 when it is good, 2 when not."));
    parser.addOptions({ config_option, verbose_option, check_option });
    if (!parser.parse(QStringList { QStringLiteral("orvalinctl serve") } + arguments)) {
        std::fprintf(stderr, "orvalinctl serve: %s\n", qPrintable(parser.errorText()));
        return exit_bad_config;
    }
    if (parser.isSet(QStringLiteral("help"))) {
        // Named as typed, not by the path the program was started from.
        const QString text
            = parser.helpText().replace(QRegularExpression(QStringLiteral("^Usage: \\S+")),
                QStringLiteral("Usage: orvalinctl serve"));
        std::fputs(qPrintable(text), stdout);
        return exit_ok;
    }
    if (!parser.positionalArguments().isEmpty()) {
        std::fprintf(stderr, "orvalinctl serve: unexpected argument %s\n",
            qPrintable(parser.positionalArguments().first()));
        return exit_bad_config;
    }

    const config_result loaded = load_config(parser.value(config_option));
    if (!loaded.config) {
        std::fprintf(stderr, "orvalinctl serve: %s\n", qPrintable(loaded.error.text()));
        return exit_bad_config;
    }
    for (const config_error &warning : loaded.warnings)
        std::fprintf(stderr, "orvalinctl serve: warning: %s\n", qPrintable(warning.text()));
    if (parser.isSet(check_option))
        return exit_ok;
    service_config config = *loaded.config;
    // For the benchmark that sets the old schedule beside the new one only.
    config.one_poll_per_interval = qEnvironmentVariableIsSet("ORVALIN_BENCH_ONE_POLL_PER_INTERVAL");

    broker_settings settings;
    settings.host = config.host;
    settings.port = config.broker_port();
    settings.client_id = config.client_id;
    settings.username = config.username;
    settings.password = config.password;
    settings.tls_ca = config.tls_ca;
    settings.will_topic = config.prefix + QStringLiteral("/status");
    settings.will_payload = "offline";
    std::unique_ptr<mosquitto_broker> mqtt;
    no_broker nowhere;
    if (config.mqtt)
        mqtt = std::make_unique<mosquitto_broker>(settings, log_line);
    qt_line_port port;
    // Relative paths in the config are taken from its folder.
    const QString device = device_for(config.port, installed_port_folders(),
        QFileInfo(parser.value(config_option)).absolutePath());
    bridge service(config, device.isEmpty() ? config.port : device, port,
        mqtt ? static_cast<broker &>(*mqtt) : nowhere, log_line);
    service.set_verbose(parser.isSet(verbose_option));
    std::unique_ptr<web::web_server> web;
    if (config.http.on)
        web = std::make_unique<web::web_server>(config, service, log_line);

    log_line(QStringLiteral("orvalinctl serve %1: line %2, modules %3, %4")
                 .arg(QStringLiteral(ORVALIN_VERSION), device.isEmpty() ? config.port : device)
                 .arg([&] {
                     QStringList list;
                     for (const auto address : config.modules)
                         list.append(QString::number(address));
                     return list.join(u',');
                 }())
                 .arg(config.mqtt
                         ? QStringLiteral("broker %1:%2").arg(config.host).arg(config.broker_port())
                         : QStringLiteral("no broker")));
    if (mqtt && !mqtt->start())
        return exit_failure;
    if (web && !web->start())
        return exit_failure;
    service.start();

    stop_signals signals_(stop_signals::which::terminate_and_interrupt);
    for (const int number : signals_.failed())
        log_line(QStringLiteral("cannot handle signal %1: it will end the service without "
                                "publishing offline")
                     .arg(number));
    bool stopping = false;
    QObject::connect(&signals_, &stop_signals::stop_requested, &service, [&] {
        if (std::exchange(stopping, true))
            return;
        log_line(QStringLiteral("stopping"));
        QTimer::singleShot(stop_deadline, qApp, [] { QCoreApplication::exit(exit_ok); });
        service.stop([&] {
            if (!mqtt)
                QCoreApplication::exit(exit_ok);
            else
                mqtt->disconnect_cleanly(disconnect_wait, [] { QCoreApplication::exit(exit_ok); });
        });
    });
    return QCoreApplication::exec();
}

} // namespace orvalin::service
