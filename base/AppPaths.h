#pragma once

#include <QString>

// Where the database and the log live. TOLVANE_DATA_DIR moves both, so that tests and the
// demo each get their own. Otherwise they stay next to the executable, as installed on
// Windows; where that folder cannot be written (installed under /usr, say) they go to the
// user's data folder, unless a database is already next to the executable.
namespace AppPaths {

// The catalogue's database file: a folder that holds one keeps the data.
constexpr const char *catalogueFileName = "orvdownloader.4.sqlite";

QString dataDir();
QString filePath(const QString &fileName);

// The decision itself, from what dataDir() finds on this machine.
struct Candidates {
    QString overridden;             // TOLVANE_DATA_DIR, empty when unset
    QString executableDir;
    bool executableDirWritable = false;
    bool databaseNextToExecutable = false;
    QString userDataDir;            // QStandardPaths::AppDataLocation
};
QString chooseDataDir(const Candidates &candidates);

// True when files can be created in the folder (permissions and a read-only mount alike).
bool isWritableFolder(const QString &folder);

}
