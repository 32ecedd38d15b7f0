// orvalin-icons: writes the panel's icon for desktops, drawn by the same code
// as its window icon.
//
// Usage: orvalin-icons DIR SIZE...
//
// Writes DIR/orvalin-SIZE.png for each SIZE and DIR/orvalin.svg. Exit 0 when
// every file was written, 1 otherwise, 2 on a usage error.

#include "system/numbers.h"
#include "ui/app_icon.h"

#include <QCoreApplication>
#include <QDir>
#include <QSaveFile>

#include <cstdio>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList arguments = QCoreApplication::arguments();
    if (arguments.size() < 3) {
        std::fprintf(stderr, "usage: orvalin-icons DIR SIZE...\n");
        return 2;
    }
    const QDir dir(arguments[1]);
    if (!dir.mkpath(QStringLiteral("."))) {
        std::fprintf(stderr, "orvalin-icons: cannot create %s\n", qPrintable(dir.path()));
        return 1;
    }
    for (const QString &text : arguments.mid(2)) {
        const auto size = orvalin::parse_whole(text, 16, 1024);
        if (!size) {
            std::fprintf(stderr, "orvalin-icons: bad size '%s'\n", qPrintable(text));
            return 2;
        }
        const QString path = dir.filePath(QStringLiteral("orvalin-%1.png").arg(*size));
        if (!orvalin::app_icon_image(*size).save(path, "PNG")) {
            std::fprintf(stderr, "orvalin-icons: cannot write %s\n", qPrintable(path));
            return 1;
        }
    }
    QSaveFile svg(dir.filePath(QStringLiteral("orvalin.svg")));
    if (!svg.open(QIODevice::WriteOnly) || svg.write(orvalin::app_icon_svg(32)) < 0
        || !svg.commit()) {
        std::fprintf(stderr, "orvalin-icons: cannot write %s\n", qPrintable(svg.fileName()));
        return 1;
    }
    return 0;
}
