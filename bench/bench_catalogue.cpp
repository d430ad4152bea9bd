// Start-up load of a large catalogue (500 DCPs x 8 reels x 6 assets) against the
// sqlite3 tool running the same join on the same file, and the cost of one pass of
// the state queries the window makes. Both sides are timed three times, each time in a
// fresh process, and the best time of each counts: on a shared machine one slow run says
// more about the neighbours than about the load.
// Prints "catalogue_load_vs_sqlite3: <ours / sqlite3>" and "state_pass_ms: <ms>".
#include "BenchCatalogue.h"

#include "catalogue/DCP.h"
#include "catalogue/DCPManager.h"
#include "catalogue/DatabaseManager.h"
#include "catalogue/Reel.h"

#include "BenchSupport.h"

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

// Times the start-up load in a process of its own (the catalogue is a process-wide
// singleton); prints its wall and CPU milliseconds.
int loadOnly(int argc, char **argv, const QString &dataDir)
{
    qputenv("TOLVANE_DATA_DIR", dataDir.toUtf8());
    QCoreApplication app(argc, argv);
    qInstallMessageHandler([](QtMsgType, const QMessageLogContext &, const QString &) {});
    const double cpuBefore = bench::selfCpuSeconds();
    const double before = bench::now();
    DCPManager *manager = DCPManager::instance();
    const double wallMs = (bench::now() - before) * 1e3;
    const double cpuMs = (bench::selfCpuSeconds() - cpuBefore) * 1e3;
    if (manager->allDCPs().size() != dcpCount)
        return 1;
    std::printf("%.3f %.3f\n", wallMs, cpuMs);
    return 0;
}

struct Timing {
    double wallMs = 1e9;
    double cpuMs = 1e9;
    void keepBest(double wall, double cpu)
    {
        wallMs = std::min(wallMs, wall);
        cpuMs = std::min(cpuMs, cpu);
    }
};

bool loadInChild(const QString &dataDir, Timing *timing)
{
    QProcess child;
    child.start(QCoreApplication::applicationFilePath(), {"--load-only", dataDir});
    child.waitForFinished(-1);
    const QList<QByteArray> fields = child.readAllStandardOutput().trimmed().split(' ');
    bool wallOk = false;
    bool cpuOk = false;
    const double wall = fields.value(0).toDouble(&wallOk);
    const double cpu = fields.value(1).toDouble(&cpuOk);
    if (child.exitCode() != 0 || !wallOk || !cpuOk)
        return false;
    timing->keepBest(wall, cpu);
    return true;
}

bool sqliteJoin(const QString &databasePath, const QString &joinText, const QString &scratch, Timing *timing)
{
    bench::Child sqlite;
    const double before = bench::now();
    if (!sqlite.start({"sqlite3", databasePath, joinText}, {}, "/dev/null", scratch + "/sqlite3.err"))
        return false;
    sqlite.wait();
    timing->keepBest((bench::now() - before) * 1e3, sqlite.cpuSeconds() * 1e3);
    return sqlite.exitStatus() == 0;
}

}

int main(int argc, char **argv)
{
    if (argc == 3 && QByteArray(argv[1]) == "--load-only")
        return loadOnly(argc, argv, QString::fromLocal8Bit(argv[2]));

    QTemporaryDir dir;
    qputenv("TOLVANE_DATA_DIR", dir.path().toUtf8());
    QCoreApplication app(argc, argv);
    qInstallMessageHandler([](QtMsgType, const QMessageLogContext &, const QString &) {});

    // Filled through a connection of its own, closed before the timed loads open the file.
    const QString databasePath = dir.path() + "/" + DatabaseManager::fileName;
    bench::CatalogueShape shape;
    shape.dcps = dcpCount;
    bench::fillCatalogue(databasePath, dir.path() + "/downloads", shape);
    QString joinText;
    {
        DatabaseManager reader(databasePath, "join-text");
        joinText = reader.getDCPsQuery().lastQuery();
    }

    // Our load and the sqlite3 tool take turns, so that both meet the same neighbours.
    Timing ours;
    Timing sqlite;
    for (int i = 0; i < 5; ++i) {
        if (!loadInChild(dir.path(), &ours)) {
            std::fprintf(stderr, "the load in a child process failed\n");
            return 1;
        }
        if (!sqliteJoin(databasePath, joinText, dir.path(), &sqlite)) {
            std::fprintf(stderr, "sqlite3 failed on the join\n");
            return 1;
        }
    }

    DCPManager *manager = DCPManager::instance();
    if (manager->allDCPs().size() != dcpCount) {
        std::fprintf(stderr, "loaded %d DCPs instead of %d\n", int(manager->allDCPs().size()), dcpCount);
        return 1;
    }

    QElapsedTimer timer;
    timer.restart();
    quint64 sum = 0;
    int synced = 0;
    for (DCP *dcp : manager->allDCPs()) {
        sum += dcp->getDownloadedSizeUI();
        for (Reel *reel : dcp->getReels())
            synced += reel->isSynced();
    }
    const double passMs = timer.nsecsElapsed() / 1e6;

    std::printf("catalogue_load_ms: %.1f\n", ours.wallMs);
    std::printf("catalogue_sqlite3_ms: %.1f\n", sqlite.wallMs);
    std::printf("catalogue_load_vs_sqlite3: %.2f\n", ours.wallMs / sqlite.wallMs);
    std::printf("catalogue_load_cpu_vs_sqlite3: %.2f\n", ours.cpuMs / sqlite.cpuMs);
    std::printf("state_pass_ms: %.1f\n", passMs);
    return sum == 0 && synced < 0 ? 1 : 0;
}
