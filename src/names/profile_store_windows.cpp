// The profile store on Windows: Qt's own files, a QLockFile for writers and
// QSaveFile for replacement.

#include "names/profile_store.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLockFile>
#include <QSaveFile>

namespace orvalin::profile_store {

std::optional<QByteArray> read_file(const QString &path, names_failure *failure)
{
    const auto fail = [failure](const names_failure &why) -> std::optional<QByteArray> {
        if (failure)
            *failure = why;
        return std::nullopt;
    };
    const QFileInfo info(path);
    if (info.exists() && !info.isFile())
        return fail({ names_problem::not_regular_file, {} });
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        if (info.exists() && !info.isReadable())
            return fail({ names_problem::no_read_permission, file.errorString() });
        return fail({ names_problem::read_error, file.errorString() });
    }
    if (file.size() > file_size_limit)
        return fail({ names_problem::too_large, {} });
    QByteArray data = file.read(file_size_limit + 1);
    if (file.error() != QFileDevice::NoError)
        return fail({ names_problem::read_error, file.errorString() });
    if (data.size() > file_size_limit)
        return fail({ names_problem::too_large, {} });
    return data;
}

// A lock file beside the file, or, where its folder takes no new file, one in
// the temporary folder named after the file. A lock left by a process that
// died is taken over.
struct file_lock::state {
    std::unique_ptr<QLockFile> lock;
    bool locked = false;
};

file_lock::file_lock(const QString &target)
    : state_(std::make_unique<state>())
{
    const QString absolute = QFileInfo(target).absoluteFilePath();
    const QString hashed = QStringLiteral("orvalin-")
        + QString::fromLatin1(
            QCryptographicHash::hash(absolute.toUtf8(), QCryptographicHash::Sha1).toHex())
        + QStringLiteral(".lock");
    for (const QString &place :
        { absolute + QStringLiteral(".lock"), QDir::temp().filePath(hashed) }) {
        auto &lock = state_->lock;
        lock = std::make_unique<QLockFile>(place);
        const auto deadline = std::chrono::steady_clock::now() + lock_wait;
        while (!lock->tryLock(0) && lock->error() == QLockFile::LockFailedError
            && std::chrono::steady_clock::now() < deadline)
            pause_for_lock();
        if (lock->isLocked()) {
            state_->locked = true;
            return;
        }
        // Held by another writer all along: give up rather than write
        // without it.
        if (lock->error() == QLockFile::LockFailedError)
            return;
    }
}

file_lock::~file_lock() = default;

bool file_lock::locked() const
{
    return state_->locked;
}

bool replace_file(const QString &path, const QByteArray &content, names_failure &failure)
{
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(content) != content.size() || !file.flush()
        || !file.commit()) {
        failure = { names_problem::write_error, file.errorString() };
        file.cancelWriting();
        return false;
    }
    return true;
}

} // namespace orvalin::profile_store
