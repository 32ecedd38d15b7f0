#include "ui/toolkit.h"

#include <QApplication>
#include <QDir>
#include <QFileInfo>
#include <QMessageBox>

#include <cstdio>

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
    if (!qobject_cast<QApplication *>(QCoreApplication::instance())) {
        std::fprintf(stderr, "%s: %s\n", qPrintable(title), qPrintable(prompt));
        return;
    }
    QMessageBox box(style == style_critical ? QMessageBox::Critical : QMessageBox::NoIcon,
        title.isEmpty() ? QApplication::applicationName() : title, prompt, QMessageBox::Ok,
        QApplication::activeWindow());
    box.exec();
}

QString program_directory()
{
    if (!directory_override().isEmpty())
        return directory_override();
    if (QCoreApplication::instance())
        return QDir::toNativeSeparators(QCoreApplication::applicationDirPath());
    return QDir::toNativeSeparators(QDir::currentPath());
}

bool file_exists(const QString &path)
{
    const QFileInfo info(path);
    return info.exists() && info.isFile() && !info.isHidden();
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
