#include "support/OtherUser.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <sys/stat.h>
#include <unistd.h>

#include <memory>
#include <vector>

namespace OtherUser {

bool available()
{
    return ::geteuid() == 0 && !QStandardPaths::findExecutable("setpriv").isEmpty();
}

void start(QProcess &process, unsigned uid, const QString &program, const QStringList &arguments)
{
    const QString id = QString::number(uid);
    process.start(QStandardPaths::findExecutable("setpriv"),
                  QStringList{"--reuid=" + id, "--regid=" + id, "--clear-groups", "--", program} + arguments);
}

QString sharedScratchFolder()
{
    // Kept until the test process ends, then removed with everything in it.
    static std::vector<std::unique_ptr<QTemporaryDir>> folders;
    auto folder = std::make_unique<QTemporaryDir>("/tmp/tolvane-shared-XXXXXX");
    if (!folder->isValid() || ::chmod(QFile::encodeName(folder->path()).constData(), 0755) != 0)
        return QString();
    const QString path = folder->path();
    folders.push_back(std::move(folder));
    return path;
}

bool makeFolderOf(const QString &path, unsigned uid, unsigned mode)
{
    const QByteArray native = QFile::encodeName(path);
    return QDir().mkpath(path) && ::chown(native.constData(), uid, uid) == 0 && ::chmod(native.constData(), mode) == 0;
}

int modeOf(const QString &path)
{
    struct stat status {};
    if (::lstat(QFile::encodeName(path).constData(), &status) != 0)
        return -1;
    return int(status.st_mode & 07777);
}

}
