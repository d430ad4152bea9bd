// Runs the real download engine on the data directory named by TOLVANE_DATA_DIR, for tests
// that need a second process: one that is killed in the middle of a file, or one that
// starts on a catalogue left by an earlier run.
//
//   download_probe add DCP.json     stores the DCP described by DCP.json in the catalogue
//   download_probe run [RATE]       loads the catalogue and downloads (RATE: bytes per
//                                   second for read_chunk_size), exits when nothing is
//                                   left to download, verify or report
//
// "run" prints "START <queued assets>" once the queue is built, then, when nothing is left to
// do or downloads are paused, one line per asset: "ASSET <uuid> <finished> <checksummed> <corrupted> <attempts> <size on disk>".
// Environment: TOLVANE_NOTIFICATION_URL, PROBE_STALL_MS (stall timeout), PROBE_SYNC_BYTES
// (the engine's interval of durable points), PROBE_QUIT_AT_BYTES (quit the way the window
// does, in the middle of the transfer, once the file being downloaded holds that much; it
// prints "QUIT <uuid> <size on disk>"). SIGTERM and SIGHUP end it as they end the program.

#include "app/TerminationSignals.h"
#include "catalogue/DCP.h"
#include "catalogue/DCPManager.h"
#include "catalogue/Reel.h"
#include "download/Asset.h"
#include "download/ChecksumWorker.h"
#include "download/DownloadManager.h"
#include "download/Platform.h"
#include "portal/NotificationManager.h"
#include "support/DcpDescription.h"
#include "support/ScriptedUserInteraction.h"

#include <QApplication>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTextStream>
#include <QTimer>

#include <cstdio>

namespace {

int add(const QString &descriptionPath)
{
    QFile file(descriptionPath);
    if (!file.open(QIODevice::ReadOnly))
        return 3;
    DCP *dcp = dcpFromDescription(QJsonDocument::fromJson(file.readAll()).object());
    if (!dcp)
        return 4;
    dcp->sync();
    DCPManager::instance()->addDCP(dcp);
    return 0;
}

// Nothing left to do, or paused: then nothing happens until the user resumes.
bool idle(DownloadManager *manager)
{
    const bool transfersDone = manager->isPaused() || (manager->queuedAssets().isEmpty() && !manager->currentAssetForTest());
    return transfersDone && manager->checksumWorkerObject()->jobCount() == 0
        && NotificationManager::instance()->pendingNotifications.isEmpty();
}

}

int main(int argc, char **argv)
{
    Platform::keepTransferBuffersMapped();
    QApplication app(argc, argv);
    ScriptedUserInteraction ui;
    const QStringList args = app.arguments();
    if (args.size() >= 3 && args.at(1) == "add")
        return add(args.at(2));
    if (args.size() < 2 || args.at(1) != "run")
        return 2;

    QTextStream out(stdout);
    TerminationSignals::install(&app);
    NotificationManager::instance()->setConsumerInterval(50);
    DownloadManager *manager = DownloadManager::instance();
    manager->timeoutInterval = quint32(qEnvironmentVariableIntValue("PROBE_STALL_MS") > 0
                                           ? qEnvironmentVariableIntValue("PROBE_STALL_MS")
                                           : 1500);
    if (args.size() >= 3)
        manager->setReadChunkSize(args.at(2).toUInt());
    if (qEnvironmentVariableIntValue("PROBE_SYNC_BYTES") > 0)
        manager->syncInterval = quint64(qEnvironmentVariableIntValue("PROBE_SYNC_BYTES"));
    const qint64 quitAt = qEnvironmentVariableIntValue("PROBE_QUIT_AT_BYTES");
    // The engine builds its queue from the catalogue once the event loop runs, and starts
    // downloading; the count is read right after that.
    QMetaObject::invokeMethod(
        &app, [&] { out << "START " << manager->queuedAssets().size() << Qt::endl; }, Qt::QueuedConnection);

    QTimer check;
    int idleTicks = 0;
    QObject::connect(&check, &QTimer::timeout, [&] {
        Asset *current = manager->currentAssetForTest();
        if (quitAt > 0 && current && qint64(current->sizeOnDisk()) >= quitAt) {
            out << "QUIT " << current->uuid() << ' ' << current->sizeOnDisk() << Qt::endl;
            app.quit();
            return;
        }
        idleTicks = idle(manager) ? idleTicks + 1 : 0;
        if (idleTicks < 3)
            return;
        for (DCP *dcp : DCPManager::instance()->allDCPs()) {
            for (Asset *asset : dcp->getAssets()) {
                out << "ASSET " << asset->uuid() << ' ' << int(asset->isDownloadFinished()) << ' '
                    << int(asset->isDownloadChecksummed()) << ' ' << int(asset->isDownloadCorrupted()) << ' '
                    << asset->downloadAttempts() << ' ' << asset->sizeOnDisk() << Qt::endl;
            }
        }
        for (const UserInteraction::Message &m : ui.messages)
            out << "BOX " << m.text << Qt::endl;
        app.quit();
    });
    check.start(100);
    return app.exec();
}
