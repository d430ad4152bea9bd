#pragma once

#include <QString>

// Where the database and the log live: next to the executable, as installed.
// TOLVANE_DATA_DIR moves both, so that tests and the demo each get their own.
namespace AppPaths {
QString dataDir();
QString filePath(const QString &fileName);
}
