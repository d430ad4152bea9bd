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

// The data folder and its files are the user's alone: they hold the Tarn user name, the
// user uuid and every asset link. The folder becomes 0700 (unless it is the executable's
// own folder, which is not the program's to change) and the database, the log and the
// transfer marker 0600, also when an earlier version left them readable by others.
void protectDataFolder();

// Creates the file at path for its owner alone when it is missing (0600), or takes the
// access of others away from an existing one of this user's. False when neither is possible.
bool makePrivateFile(const QString &path, bool create);

// True when files can be created in the folder (permissions and a read-only mount alike).
bool isWritableFolder(const QString &folder);

}
