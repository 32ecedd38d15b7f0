#include "system/toolkit.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>
#include <QTemporaryFile>

#include <cstdio>

#ifdef Q_OS_UNIX
#include <unistd.h>
#endif

namespace orvalin::toolkit {

namespace {

message_sink &current_sink()
{
    static message_sink sink;
    return sink;
}

QString &directory_override()
{
    static QString dir;
    return dir;
}

} // namespace

void message_box(const QString &prompt, int style, const QString &title)
{
    if (const auto &sink = current_sink()) {
        sink(message { prompt, style, title });
        return;
    }
    // Programs without windows: one line on standard error.
    const QString name = title.isEmpty() ? QCoreApplication::applicationName() : title;
    std::fprintf(stderr, "%s: %s\n", qPrintable(name), qPrintable(prompt));
}

QString program_directory()
{
    if (!directory_override().isEmpty())
        return directory_override();
    if (QCoreApplication::instance())
        return QDir::toNativeSeparators(QCoreApplication::applicationDirPath());
    return QDir::toNativeSeparators(QDir::currentPath());
}

QString data_directory()
{
#if defined(Q_OS_UNIX) && !defined(Q_OS_DARWIN) && !defined(Q_OS_ANDROID)
    const QString configured = qEnvironmentVariable("XDG_DATA_HOME");
    if (!QDir::isAbsolutePath(configured))
        return QDir::homePath() + QStringLiteral("/.local/share");
#endif
    return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation);
}

QString app_data_directory()
{
    return data_directory() + QStringLiteral("/orvalin");
}

bool file_exists(const QString &path)
{
    const QFileInfo info(path);
    return info.exists() && info.isFile() && !info.isHidden();
}

bool directory_writable(const QString &dir)
{
#ifdef Q_OS_UNIX
    return ::access(QFile::encodeName(dir).constData(), W_OK | X_OK) == 0;
#else
    // Access rules elsewhere are too rich to reason about: try it.
    QTemporaryFile probe(QDir(dir).filePath(QStringLiteral("orvalin-probe-XXXXXX")));
    return probe.open();
#endif
}

void set_message_sink(message_sink sink)
{
    current_sink() = std::move(sink);
}

void set_program_directory(const QString &dir)
{
    directory_override() = dir;
}

} // namespace orvalin::toolkit
