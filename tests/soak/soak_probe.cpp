// The download engine as the soak drives it: one process on the data directory named by
// TOLVANE_DATA_DIR, killed with SIGKILL and started again at random moments.
//
//   soak_probe add CATALOGUE.json        stores the DCPs described in the catalogue
//   soak_probe run RATE YES_PERCENT SEED  loads the catalogue and downloads at RATE bytes
//                                         per second until killed
//   soak_probe final RATE                 the same, resuming a paused engine, and exits 0
//                                         once nothing is left to download, verify or report
//
// While running it takes commands on standard input, one per line, as a user would act
// in the window:
//   add FILE           imports the DCPs described in FILE (as "add" does) into the running
//                      catalogue and rebuilds the queue
//   remove-reel UUID   the reel's remove action
//   resume             the resume button
// and prints what it did and what it was asked on standard output:
//   START <queued>, PAUSED, RUNNING, ADDED <dcp>, REMOVED <reel>, REFUSED <reel>,
//   NOREEL <reel>, BOX <answer> <text>, IDLE, and at the end of "final" one line per asset
//   "ASSET <uuid> <dcp> <finished> <checksummed> <corrupted> <attempts> <size on disk>".
// Boxes are answered as the harness scripted them: the box about expired or missing links
// with Yes (drop the DCP) for YES_PERCENT percent of them, drawn from SEED; every other box
// with its default button.
//
// A description file: {"dcps": [...]}, each element as support/DcpDescription.h reads it.

#include "app/LogHandler.h"
#include "download/Platform.h"
#include "catalogue/DCP.h"
#include "catalogue/DCPManager.h"
#include "catalogue/Reel.h"
#include "download/Asset.h"
#include "download/ChecksumWorker.h"
#include "download/DownloadManager.h"
#include "portal/NotificationManager.h"
#include "support/DcpDescription.h"
#include "support/ScriptedUserInteraction.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSocketNotifier>
#include <QTimer>

#include <cstdio>
#include <random>

#include <unistd.h>

namespace {

void printLine(const QString &line)
{
    std::fputs(line.toUtf8().constData(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

class SoakInteraction : public ScriptedUserInteraction
{
public:
    SoakInteraction(int yesPercent, quint64 seed)
        : m_yesPercent(yesPercent)
        , m_random(seed)
    {
    }

    Button showMessage(const Message &message) override
    {
        if (message.text == "Download links expired") {
            const bool yes = int(m_random() % 100) < m_yesPercent;
            buttonAnswers = {yes ? Yes : No};
        } else {
            buttonAnswers.clear();
        }
        const Button answer = ScriptedUserInteraction::showMessage(message);
        QString text = message.text + " | " + message.informativeText;
        text.replace("\r", " ").replace("\n", " ");
        printLine(QString("BOX %1 %2").arg(answer == Yes ? "yes" : answer == No ? "no" : "ok", text));
        return answer;
    }

private:
    int m_yesPercent;
    std::mt19937_64 m_random;
};

// Builds and stores the DCPs of one description; returns the number stored, -1 on error.
int addDescribed(const QString &descriptionPath, bool printAdded)
{
    QFile file(descriptionPath);
    if (!file.open(QIODevice::ReadOnly))
        return -1;
    const QJsonArray dcps = QJsonDocument::fromJson(file.readAll()).object()["dcps"].toArray();
    int stored = 0;
    for (const QJsonValue &dcpValue : dcps) {
        const QJsonObject description = dcpValue.toObject();
        if (DCPManager::instance()->getDCP(description["uuid"].toString()))
            continue;
        DCP *dcp = dcpFromDescription(description);
        if (!dcp)
            return -1;
        // The folder first, as the import makes it: a kill before the rows are stored leaves
        // an empty folder, never rows whose folder the next start would find missing.
        QDir().mkpath(dcp->downloadPath() + "/" + dcp->title());
        dcp->sync();
        DCPManager::instance()->addDCP(dcp);
        ++stored;
        if (printAdded)
            printLine("ADDED " + dcp->uuid());
    }
    return stored;
}

bool idle(DownloadManager *manager)
{
    return manager->queuedAssets().isEmpty() && !manager->currentAssetForTest()
        && manager->checksumWorkerObject()->jobCount() == 0
        && NotificationManager::instance()->pendingNotifications.isEmpty();
}

void removeReel(const QString &uuid)
{
    Reel *reel = DCPManager::instance()->getReel(uuid);
    if (!reel) {
        printLine("NOREEL " + uuid);
        return;
    }
    DownloadManager::instance()->removeDownloadReel(reel);
    printLine((DCPManager::instance()->getReel(uuid) ? "REFUSED " : "REMOVED ") + uuid);
}

void printAssets()
{
    for (DCP *dcp : DCPManager::instance()->allDCPs()) {
        for (Asset *asset : dcp->getAssets()) {
            printLine(QString("ASSET %1 %2 %3 %4 %5 %6 %7")
                          .arg(asset->uuid(), dcp->uuid())
                          .arg(int(asset->isDownloadFinished()))
                          .arg(int(asset->isDownloadChecksummed()))
                          .arg(int(asset->isDownloadCorrupted()))
                          .arg(asset->downloadAttempts())
                          .arg(asset->sizeOnDisk()));
        }
    }
}

}

int main(int argc, char **argv)
{
    qInstallMessageHandler(logMessageHandler);
    Platform::keepTransferBuffersMapped();
    QApplication app(argc, argv);
    const QStringList args = app.arguments();
    const QString mode = args.value(1);
    const bool final = mode == "final";
    SoakInteraction ui(final ? 0 : args.value(3).toInt(), args.value(4).toULongLong());
    if (mode == "add" && args.size() >= 3)
        return addDescribed(args.at(2), false) < 0 ? 3 : 0;
    if (mode != "run" && !final)
        return 2;

    NotificationManager::instance()->setConsumerInterval(10);
    DownloadManager *manager = DownloadManager::instance();
    manager->timeoutInterval = 1500;
    manager->setReadChunkSize(args.value(2).toUInt());
    QObject::connect(manager, &DownloadManager::pausedChanged,
                     [manager] { printLine(manager->isPaused() ? "PAUSED" : "RUNNING"); });
    // The engine builds its queue from the catalogue once the event loop runs, and starts
    // downloading; the count is read right after that.
    QMetaObject::invokeMethod(
        &app,
        [&] {
            printLine(QString("START %1").arg(manager->queuedAssets().size()));
            if (manager->isPaused())
                printLine("PAUSED");
            if (final && manager->isPaused())
                manager->resumeDownloading();
        },
        Qt::QueuedConnection);

    QSocketNotifier input(STDIN_FILENO, QSocketNotifier::Read);
    QByteArray pending;
    QObject::connect(&input, &QSocketNotifier::activated, [&] {
        char buffer[4096];
        const ssize_t count = ::read(STDIN_FILENO, buffer, sizeof buffer);
        if (count <= 0) {
            input.setEnabled(false);
            return;
        }
        pending.append(buffer, int(count));
        int end = 0;
        while ((end = pending.indexOf('\n')) >= 0) {
            const QString line = QString::fromUtf8(pending.left(end)).trimmed();
            pending.remove(0, end + 1);
            const QString command = line.section(' ', 0, 0);
            const QString argument = line.section(' ', 1);
            if (command == "add") {
                if (addDescribed(argument, true) < 0)
                    printLine("ADDFAILED " + argument);
                DCPManager::instance()->rebuildDownloadQueue();
            } else if (command == "remove-reel") {
                removeReel(argument);
            } else if (command == "resume" && manager->isPaused()) {
                manager->resumeDownloading();
            }
        }
    });

    QTimer check;
    int idleTicks = 0;
    bool idleReported = false;
    QObject::connect(&check, &QTimer::timeout, [&] {
        idleTicks = idle(manager) ? idleTicks + 1 : 0;
        if (idleTicks < 3) {
            idleReported = false;
            return;
        }
        if (!idleReported)
            printLine("IDLE");
        idleReported = true;
        if (final) {
            printAssets();
            app.quit();
        }
    });
    check.start(100);
    return app.exec();
}
