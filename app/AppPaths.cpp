#include "app/AppPaths.h"

#include <QCoreApplication>

namespace AppPaths {

QString dataDir()
{
    const QString overridden = qEnvironmentVariable("TOLVANE_DATA_DIR");
    if (!overridden.isEmpty())
        return overridden;
    return QCoreApplication::applicationDirPath();
}

QString filePath(const QString &fileName)
{
    return dataDir() + "/" + fileName;
}

}
