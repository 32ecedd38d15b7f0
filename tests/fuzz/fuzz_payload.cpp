// The set topic and payload parsers over arbitrary bytes. Checks: an
// accepted topic is the canonical spelling of what it names, an on_time is
// only ever with ON and within its limits, and the all-outputs parser never
// accepts TOGGLE.
#include "service/payload.h"

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
    if (const auto request = parse_set(bytes); request && request->on_time) {
        if (request->what != set_request::action::on
            || *request->on_time < std::chrono::milliseconds(1) || *request->on_time > max_on_time)
            std::abort();
    }
    if (const auto all = parse_set_all(bytes);
        all && (all->what == set_request::action::toggle || all->on_time))
        std::abort();
    const QString topic = QString::fromUtf8(bytes);
    if (const auto target = parse_set_topic(QStringLiteral("orvalin"), topic)) {
        const QString canonical
            = QStringLiteral("orvalin/%1/output/%2/set")
                  .arg(target->address)
                  .arg(target->output ? QString::number(target->output) : QStringLiteral("all"));
        if (canonical != topic)
            std::abort();
    }
    return 0;
}
