#include "base/AppPaths.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>

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
    if (chosen != candidates.executableDir)
        QDir().mkpath(chosen);
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

}
