#include "names/profile_store.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QThread>

#include <thread>

namespace orvalin::profile_store {

void pause_for_lock()
{
    const auto *app = QCoreApplication::instance();
    if (app && app->thread() == QThread::currentThread())
        QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
}

std::optional<QString> write_target(const QString &path, names_failure &failure)
{
    const QFileInfo info(path);
    if (!info.isSymLink())
        return path;
    // A loop resolves to itself, a name that leads nowhere either.
    const QString target = info.canonicalFilePath();
    if (target.isEmpty() || !QFileInfo::exists(target)) {
        failure = { names_problem::link_to_nowhere, {} };
        return std::nullopt;
    }
    return target;
}

} // namespace orvalin::profile_store
