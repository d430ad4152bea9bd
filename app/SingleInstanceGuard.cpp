#include "app/SingleInstanceGuard.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QLockFile>
#include <QStandardPaths>

#include <cerrno>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// A folder of this user's that no one else can write into (made when missing), its
// symbolic link not followed.
bool isPrivateFolder(const QString &path, bool make)
{
    if (path.isEmpty())
        return false;
    const QByteArray native = QFile::encodeName(path);
    if (make && ::mkdir(native.constData(), 0700) != 0 && errno != EEXIST)
        return false;
    struct stat status {};
    if (::lstat(native.constData(), &status) != 0 || !S_ISDIR(status.st_mode) || status.st_uid != ::geteuid())
        return false;
    if ((status.st_mode & 022) && (!make || ::chmod(native.constData(), 0700) != 0))
        return false;
    return true;
}

}

SingleInstanceGuard::SingleInstanceGuard() = default;

SingleInstanceGuard::~SingleInstanceGuard() = default;

QString SingleInstanceGuard::lockFolder()
{
    const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (isPrivateFolder(runtime, false))
        return runtime;
    const QString temporary = QDir::tempPath() + QString("/tolvane-downloader-%1").arg(::geteuid());
    if (isPrivateFolder(temporary, true))
        return temporary;
    // Someone else holds that name in the shared temporary folder: the user's own cache
    // folder, which nobody else can write, serves instead.
    const QString cache = QStandardPaths::writableLocation(QStandardPaths::GenericCacheLocation);
    if (!cache.isEmpty() && QDir().mkpath(cache) && isPrivateFolder(cache + "/tolvane-downloader", true))
        return cache + "/tolvane-downloader";
    return QString();
}

bool SingleInstanceGuard::acquire()
{
    const QString folder = lockFolder();
    if (folder.isEmpty()) {
        qDebug() << "[main] No private folder for the single-instance lock; not checking for another instance";
        return true;
    }
    m_lock = std::make_unique<QLockFile>(folder + "/tolvane-downloader.lock");
    // Held for as long as the program runs; only a lock whose process is gone is stale.
    m_lock->setStaleLockTime(0);
    if (m_lock->tryLock(0))
        return true;
    if (m_lock->error() != QLockFile::LockFailedError)
        qDebug() << "[main] Unable to create the single-instance lock in" << folder;
    return m_lock->error() != QLockFile::LockFailedError;
}
