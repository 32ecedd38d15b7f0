#include "service/serve.h"

#include <QCoreApplication>

#include <cstdio>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("orvalinctl"));
    QCoreApplication::setApplicationVersion(QStringLiteral(ORVALIN_VERSION));
    const QStringList arguments = QCoreApplication::arguments();
    if (arguments.size() > 1 && arguments[1] == QLatin1String("serve"))
        return orvalin::service::serve_main(arguments.mid(2));
    std::printf("orvalinctl %s\n", ORVALIN_VERSION);
    return 0;
}
