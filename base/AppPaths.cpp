#include "base/AppPaths.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace AppPaths {

QString chooseDataDir(const Candidates &candidates)
{
    if (!candidates.overridden.isEmpty())
        return candidates.overridden;
    if (candidates.databaseNextToExecutable || candidates.executableDirWritable || candidates.userDataDir.isEmpty())
        return candidates.executableDir;
    return candidates.userDataDir;
}

bool isWritableFolder(const QString &folder)
{
    // access() answers for this user and knows read-only mounts; the permission bits alone do not.
    return !folder.isEmpty() && QFileInfo(folder).isDir() && ::access(QFile::encodeName(folder).constData(), W_OK) == 0;
}

namespace {

// The folder found for this process; decided once, after the application object exists.
QString decidedFolder()
{
    static QString decided;
    if (!decided.isEmpty())
        return decided;
    if (!QCoreApplication::instance())
        return QCoreApplication::applicationDirPath();

    Candidates candidates;
    candidates.executableDir = QCoreApplication::applicationDirPath();
    candidates.executableDirWritable = isWritableFolder(candidates.executableDir);
    // An existing catalogue next to the executable stays where it is.
    candidates.databaseNextToExecutable =
        QFileInfo(candidates.executableDir + "/" + QLatin1String(catalogueFileName)).isFile();
    candidates.userDataDir = QStandardPaths::writableLocation(QStandardPaths::AppDataLocation);
    const QString chosen = chooseDataDir(candidates);
    if (chosen != candidates.executableDir && !QFileInfo(chosen).isDir()) {
        QDir().mkpath(QFileInfo(chosen).absolutePath());
        ::mkdir(QFile::encodeName(chosen).constData(), 0700);
    }
    decided = chosen;
    return decided;
}

}

QString dataDir()
{
    const QString overridden = qEnvironmentVariable("TOLVANE_DATA_DIR");
    if (!overridden.isEmpty())
        return overridden;
    return decidedFolder();
}

QString filePath(const QString &fileName)
{
    return dataDir() + "/" + fileName;
}

bool makePrivateFile(const QString &path, bool create)
{
    const QByteArray native = QFile::encodeName(path);
    int descriptor = ::open(native.constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (descriptor < 0 && errno == ENOENT && create)
        descriptor = ::open(native.constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (descriptor < 0)
        return false;
    struct stat status {};
    bool done = ::fstat(descriptor, &status) == 0 && S_ISREG(status.st_mode) && status.st_uid == ::geteuid();
    if (done && (status.st_mode & 077))
        done = ::fchmod(descriptor, status.st_mode & 0700) == 0;
    ::close(descriptor);
    return done;
}

void protectDataFolder()
{
    const QString folder = dataDir();
    if (QDir::cleanPath(QFileInfo(folder).absoluteFilePath())
        != QDir::cleanPath(QFileInfo(QCoreApplication::applicationDirPath()).absoluteFilePath())) {
        struct stat status {};
        const QByteArray native = QFile::encodeName(folder);
        if (::stat(native.constData(), &status) == 0 && S_ISDIR(status.st_mode) && status.st_uid == ::geteuid()
            && (status.st_mode & 077))
            ::chmod(native.constData(), status.st_mode & 0700);
    }
    for (const char *name : {catalogueFileName, "debug.log", "transfers.unfinished"}) {
        const QString path = filePath(QLatin1String(name));
        if (QFileInfo::exists(path))
            makePrivateFile(path, false);
    }
}

}
