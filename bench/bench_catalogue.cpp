// Start-up load of a large catalogue (500 DCPs x 8 reels x 6 assets) against the
// sqlite3 tool running the same join on the same file, and the cost of one pass of
// the state queries the window makes.
// Prints "catalogue_load_vs_sqlite3: <ours / sqlite3>" and "state_pass_ms: <ms>".
#include "BenchCatalogue.h"

#include "catalogue/DCP.h"
#include "catalogue/DCPManager.h"
#include "catalogue/DatabaseManager.h"
#include "catalogue/Reel.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QProcess>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QVariant>

#include <cstdio>

namespace {

const int dcpCount = 500;

}

int main(int argc, char **argv)
{
    QTemporaryDir dir;
    qputenv("TOLVANE_DATA_DIR", dir.path().toUtf8());
    QCoreApplication app(argc, argv);
    qInstallMessageHandler([](QtMsgType, const QMessageLogContext &, const QString &) {});

    // Filled through a connection of its own, closed before the timed load opens the file.
    const QString databasePath = dir.path() + "/" + DatabaseManager::fileName;
    bench::CatalogueShape shape;
    shape.dcps = dcpCount;
    bench::fillCatalogue(databasePath, dir.path() + "/downloads", shape);

    QElapsedTimer timer;
    timer.start();
    DCPManager *manager = DCPManager::instance();
    const double oursMs = timer.nsecsElapsed() / 1e6;
    if (manager->allDCPs().size() != dcpCount) {
        std::fprintf(stderr, "loaded %d DCPs instead of %d\n", int(manager->allDCPs().size()), dcpCount);
        return 1;
    }

    QSqlQuery join = DatabaseManager::instance()->getDCPsQuery();
    const QString joinText = join.lastQuery();
    double sqliteMs = 1e9;
    for (int i = 0; i < 3; ++i) {
        QProcess sqlite;
        sqlite.setStandardOutputFile(QProcess::nullDevice());
        timer.restart();
        sqlite.start("sqlite3", {databasePath, joinText});
        sqlite.waitForFinished(-1);
        sqliteMs = std::min(sqliteMs, timer.nsecsElapsed() / 1e6);
        if (sqlite.exitCode() != 0)
            return 1;
    }

    timer.restart();
    quint64 sum = 0;
    int synced = 0;
    for (DCP *dcp : manager->allDCPs()) {
        sum += dcp->getDownloadedSizeUI();
        for (Reel *reel : dcp->getReels())
            synced += reel->isSynced();
    }
    const double passMs = timer.nsecsElapsed() / 1e6;

    std::printf("catalogue_load_ms: %.1f\n", oursMs);
    std::printf("catalogue_sqlite3_ms: %.1f\n", sqliteMs);
    std::printf("catalogue_load_vs_sqlite3: %.2f\n", oursMs / sqliteMs);
    std::printf("state_pass_ms: %.1f\n", passMs);
    return sum == 0 && synced < 0 ? 1 : 0;
}
