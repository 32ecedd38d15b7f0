// The config parser over arbitrary bytes. Checks: a refusal names a line of
// the text (or 0), and an accepted config holds only what validation
// promises: distinct addresses, values in range, interlock pairs within one
// configured module, prefixes without wildcards.
#include "service/config.h"

#include <QCoreApplication>

#include <cstdlib>

using namespace orvalin::service;

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    static QCoreApplication app(*argc, *argv);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char *>(data), qsizetype(size));
    const config_result result = parse_config(bytes, QStringLiteral("/etc/orvalin/orvalin.conf"));
    if (!result.config) {
        if (result.error.line < 0 || result.error.line > bytes.count('\n') + 1
            || result.error.message.isEmpty())
            std::abort();
        return 0;
    }
    const service_config &config = *result.config;
    auto check = [](bool good) {
        if (!good)
            std::abort();
    };
    check(!config.port.isEmpty() && !config.modules.isEmpty());
    for (qsizetype i = 0; i < config.modules.size(); ++i)
        check(config.modules.indexOf(config.modules[i]) == i);
    check(config.interval.count() >= 20 && config.interval.count() <= 10000);
    check(
        config.link_loss_after >= 1 && config.broker_port() >= 1 && config.broker_port() <= 65535);
    for (const auto &pair : config.interlock) {
        check(config.modules.contains(pair.address) && pair.first != pair.second);
        check(pair.first >= 1 && pair.first <= 8 && pair.second >= 1 && pair.second <= 8);
    }
    for (const QString &prefix : { config.prefix, config.discovery_prefix })
        check(!prefix.isEmpty() && !prefix.contains(u'+') && !prefix.contains(u'#')
            && !prefix.startsWith(u'/') && !prefix.endsWith(u'/'));
    return 0;
}
