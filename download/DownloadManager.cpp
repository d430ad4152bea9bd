#include "download/DownloadManager.h"

#include "base/AppPaths.h"
#include "base/WindowCall.h"
#include "catalogue/DCP.h"
#include "catalogue/DCPManager.h"
#include "catalogue/DatabaseManager.h"
#include "catalogue/Reel.h"
#include "catalogue/Setting.h"
#include "download/Asset.h"
#include "download/ChecksumWorker.h"
#include "download/SetAsideDcps.h"
#include "download/UncleanEndRepair.h"
#include "portal/NotificationManager.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDebug>
#include <QNetworkRequest>
#include <QQmlEngine>
#include <QSet>
#include <QThread>

namespace {

DownloadManager *g_instance = nullptr;

}

DownloadManager *DownloadManager::instance()
{
    if (!g_instance) {
        g_instance = new DownloadManager();
        QObject::connect(qApp, &QCoreApplication::aboutToQuit, &DownloadManager::shutdown);
        qAddPostRoutine(&DownloadManager::shutdown);
        g_instance->followCatalogue();
    }
    return g_instance;
}

DownloadManager::DownloadManager()
    : queue([this](const DCP *dcp) { return m_setAside->contains(dcp->uuid()); })
    , journal(AppPaths::filePath("transfers.unfinished"))
{
    paused = Setting::instance()->get("download_paused") == "1";
    checksumWorker = ChecksumWorker::startInItsThread();
    // The worker applies its results on the main thread and asks for a retry there: queued
    // at once, while the asset certainly exists (removing its reel could free it later).
    connect(checksumWorker, &ChecksumWorker::assetNeedsRedownloading, this,
            &DownloadManager::assetNeedsRedownloading, Qt::DirectConnection);
    connect(this, &DownloadManager::assetNeedsRedownloading, this, &DownloadManager::retryAssetDownload,
            Qt::DirectConnection);
    connect(checksumWorker, &ChecksumWorker::verificationEnded, this, &DownloadManager::refreshActivity);

    m_setAside = new SetAsideDcps([this](const UserInteraction::Message &box) { return askUser(box); }, this);
    connect(m_setAside, &SetAsideDcps::dcpSetAside, this, &DownloadManager::passBy);
    connect(m_setAside, &SetAsideDcps::dcpBack, this, &DownloadManager::rebuildQueue);
    connect(m_setAside, &SetAsideDcps::changed, this, &DownloadManager::refreshActivity);

    timeoutTimer.setTimerType(Qt::PreciseTimer);
    timeoutTimer.setSingleShot(true);
    connect(&timeoutTimer, &QTimer::timeout, this, &DownloadManager::downloadTimedOut);
    readTimer.setTimerType(Qt::PreciseTimer);
    connect(&readTimer, &QTimer::timeout, this, &DownloadManager::downloadReadyRead);
    // Verification and the portal's confirmations change the engine's state on their own.
    connect(&activityTimer, &QTimer::timeout, this, &DownloadManager::refreshActivity);
    activityTimer.start(1000);
    refreshActivity();
    QQmlEngine::setObjectOwnership(this, QQmlEngine::CppOwnership);
}

void DownloadManager::followCatalogue()
{
    DCPManager *catalogue = DCPManager::instance();
    // Before anything resumes, once the catalogue is loaded: files written when the power
    // went may hold less than their size says. Only the catalogue's files are cut.
    QSet<QString> assetFiles;
    for (const Asset *asset : catalogue->allAssets())
        assetFiles.insert(asset->filePath());
    journal.recover([&assetFiles](const QString &path) { return assetFiles.contains(path); });
    repairAtNextRebuild = journal.lastRunEndedUncleanly();
    journal.begin();
    connect(catalogue, &DCPManager::downloadsChanged, this, &DownloadManager::rebuildQueue);
    connect(catalogue, &DCPManager::freshLinksArrived, m_setAside, &SetAsideDcps::bringBack);
    // A catalogue that holds DCPs is downloaded from once the event loop runs: whoever made
    // the engine sets its limit and timings first.
    if (!catalogue->allDCPs().isEmpty())
        QMetaObject::invokeMethod(this, &DownloadManager::rebuildQueue, Qt::QueuedConnection);
}

void DownloadManager::shutdown()
{
    DownloadManager *manager = g_instance;
    // Called on aboutToQuit and again as a post routine.
    if (!manager || manager->shuttingDown)
        return;
    manager->shuttingDown = true;
    manager->m_boxes.quitting();
    qDebug() << "[DownloadManager] Quitting: stopping the transfer";
    // The transfer stops first and what it wrote is made durable. Nothing starts after this,
    // so the wait for the reel event in flight below (its event loop runs timers and queued
    // calls) writes nothing the journal misses.
    manager->timeoutTimer.stop();
    manager->readTimer.stop();
    manager->abortCurrentDownload();
    manager->transfer.endForQuit(manager->currentAsset);
    NotificationManager::finishRequestInFlight();
    manager->journal.end(); // a clean end: the marker goes
    manager->checksumWorker->endThread();
}

QObject *DownloadManager::getCurrentDownloadingDCP() const
{
    return currentAsset ? currentAsset->dcp() : nullptr;
}

// The window's calls get what its delegates hold: null while they are torn down.
void DownloadManager::startDownloading(DCP *dcp)
{
    if (dcp)
        WindowCall::guard("[DownloadManager] startDownloading failed:", "The download could not be started.",
                          [&] { downloadFirst(dcp); });
}

void DownloadManager::downloadFirst(DCP *dcp)
{
    qDebug() << "[DownloadManager] Starting downloading FOR DCP: " << dcp->uuid();
    // The operator's start tries a DCP set aside again; its box is not shown twice.
    m_setAside->release(dcp);
    DCP *previous = currentAsset ? currentAsset->dcp() : nullptr;
    abortCurrentDownload();
    queue.clear();
    QList<DCP *> order{dcp};
    for (DCP *other : DCPManager::instance()->allDCPs())
        if (other->uuid() != dcp->uuid())
            order.append(other);
    queue.enqueueEligible(order);
    currentAsset = nullptr;
    if (!queue.isEmpty()) {
        storePaused(false);
        startNextDownload();
        emit pausedChanged();
    }
    if (previous)
        emit previous->statusChanged();
    refreshActivity();
}

void DownloadManager::rebuildQueue()
{
    // After a run that ended uncleanly, once, before anything resumes.
    if (repairAtNextRebuild) {
        repairAtNextRebuild = false;
        UncleanEndRepair::repair(journal.cutPaths(), checksumWorker);
    }
    for (Reel *reel : queue.rebuild(DCPManager::instance()->allDCPs(), currentAsset)) {
        // A reel already waiting for verification is not verified twice.
        if (!checksumWorker->hasJob(reel))
            checksumWorker->handOver(reel);
    }
    if (!queue.isEmpty() && !currentAsset && !paused)
        startNextDownload();
}

void DownloadManager::startNextDownload()
{
    qDebug() << "[DownloadManager] Starting downloading... " << queue.size() << " items remaining";
    // Why no transfer starts now, if there is a reason.
    const char *notNow = paused                              ? "[DownloadManager] Downloads are Paused..."
        : shuttingDown                                       ? "[DownloadManager] Quitting: no transfer starts"
        : queue.isEmpty()                                    ? "[DownloadManager] No assets to download..."
        : currentReply && !currentReply->isFinished()        ? "!!!Prevented double download leak!!!"
        : m_boxes.isOpen()                                   ? "[DownloadManager] Waiting for the answer to the open message"
                                                             : nullptr;
    if (notNow) {
        qDebug() << notNow;
        return;
    }
    if (!currentAsset)
        currentAsset = queue.head();
    // A stall timer still running from the last transfer must not start this asset again
    // while the user reads a message about it.
    timeoutTimer.stop();
    if (!m_destination.readyFor(currentAsset))
        return;
    // A file the system cannot write out stops the downloads as a failed write does.
    transfer.begin(currentAsset, syncInterval, readInterval);
    int syncError = 0;
    if (!transfer.makeStartDurable(&syncError)) {
        m_destination.writeFailed(currentAsset, syncError);
        return;
    }
    timeoutTimer.start(int(timeoutInterval));
    readTimer.start(int(readInterval));
    cancelled = false;
    currentReply = transfer.send(&network, bufferSize);
    connect(currentReply, &QNetworkReply::finished, this, &DownloadManager::downloadFinished);
    connect(currentReply, &QNetworkReply::errorOccurred, this, &DownloadManager::error);
    connect(currentReply, &QNetworkReply::metaDataChanged, this, &DownloadManager::metaDataChanged);
    emit currentDcpChanged();
    refreshActivity();
}

void DownloadManager::metaDataChanged()
{
    if (currentReply)
        currentReply->setReadBufferSize(bufferSize);
}

void DownloadManager::downloadReadyRead()
{
    if (!currentReply || currentReply->bytesAvailable() <= 0 || !currentAsset || transfer.writeFailed()
        || !AssetTransfer::carriesData(currentReply))
        return;
    timeoutTimer.start(int(timeoutInterval));
    m_progress.tickStarts();
    const AssetTransfer::Tick tick = transfer.read(currentReply, qint64(readChunkSize));
    switch (tick.outcome) {
    case AssetTransfer::Outcome::Nothing:
        return;
    case AssetTransfer::Outcome::CannotOpen:
        m_destination.cannotOpen(currentAsset);
        return;
    case AssetTransfer::Outcome::WriteFailed:
        m_destination.writeFailed(currentAsset, tick.error);
        return;
    case AssetTransfer::Outcome::Stored:
        break;
    }
    if (m_activity.waitsToRetry()) {
        m_activity.clearRetry();
        refreshActivity();
    }
    if (!currentAsset->isDownloadStarted()) {
        currentAsset->setDownloadStarted(true);
        DatabaseManager::instance()->updateAssetDownloadFields(currentAsset);
    }
    double speed = 0;
    if (m_progress.stored(currentAsset, quint64(tick.bytes), &speed))
        emit downloadProgress(speed);
    if (currentReply && transfer.holdsListedSize() && currentReply->bytesAvailable() > 0)
        transfer.endAtListedSize(currentReply);
}

void DownloadManager::dropReply(QNetworkReply *reply)
{
    if (reply == currentReply)
        currentReply = nullptr;
    readTimer.stop();
    reply->deleteLater();
}

void DownloadManager::downloadFinished()
{
    auto *reply = qobject_cast<QNetworkReply *>(sender());
    if (!reply)
        return;
    if (reply != currentReply) {
        reply->deleteLater();
        return;
    }
    downloadReadyRead();
    Asset *asset = currentAsset;
    if (asset && !transfer.writeFailed()) {
        // However the transfer ended, what it wrote goes to the disk before anything builds
        // on it (the finished flag, verification, a resume). A file the system cannot write
        // out stops the downloads as a failed write does: the asset is not finished, and its
        // journal entry stays, so a power cut still cuts the file back.
        int syncError = 0;
        if (!transfer.makeDurableAtEnd(&syncError)) {
            dropReply(reply);
            m_destination.writeFailed(asset, syncError);
            return;
        }
    } else if (asset) {
        asset->closeFile();
    }

    switch (transfer.end(reply, asset)) {
    case AssetTransfer::End::Failed:
        // The stall timer, still running, tries the same asset again; not after a failed write.
        dropReply(reply);
        if (transfer.writeFailed())
            timeoutTimer.stop();
        return;
    case AssetTransfer::End::Redirected:
        currentReply = nullptr;
        reply->deleteLater();
        startNextDownload();
        return;
    case AssetTransfer::End::RedirectRefused:
        // Not followed, and not a finished download: the stall timer tries the link again.
        waitToRetry("the server redirected the download to an address that is not allowed");
        dropReply(reply);
        return;
    case AssetTransfer::End::EndedEarly:
        // The stall timer resumes from the file's size.
        waitToRetry("the server ended the transfer early");
        dropReply(reply);
        return;
    case AssetTransfer::End::Complete:
        dropReply(reply);
        timeoutTimer.stop();
        completeAsset(asset);
        return;
    }
}

void DownloadManager::completeAsset(Asset *asset)
{
    qDebug() << "[DownloadManager] Download finished for Asset " << asset->uuid();
    AssetTransfer::createFileIfMissing(asset);
    m_progress.reset();
    asset->setDownloadFinished(true);
    DatabaseManager::instance()->updateAssetDownloadFields(asset);
    for (Reel *reel : asset->reels()) {
        if (reel->isDownloaded()) {
            NotificationManager::instance()->notify(reel, 2);
            checksumWorker->handOver(reel);
        }
    }
    emit asset->dcp()->downloadFinished();
    emit asset->dcp()->finishedChanged();
    const bool next = !paused && !queue.isEmpty() && !cancelled;
    if (next)
        queue.takeHead();
    currentAsset = nullptr;
    if (next && queue.isEmpty())
        emit downloadStandBy();
    else if (next)
        startNextDownload();
    refreshActivity();
}

void DownloadManager::downloadTimedOut()
{
    qDebug() << "[DownloadManager] Timeout reached...";
    abortCurrentDownload();
    startNextDownload();
}

void DownloadManager::abortCurrentDownload()
{
    if (!currentReply || !currentReply->isRunning())
        return;
    timeoutTimer.stop();
    readTimer.stop();
    qDebug() << "[DownloadManager] Aborting download";
    currentReply->abort();
    qDebug() << "[DownloadManager] Finished Aborting download";
}

void DownloadManager::pauseDownloading(bool force)
{
    WindowCall::guard("[DownloadManager] pauseDownloading failed:", "The downloads could not be paused.",
                      [&] { pause(force); });
}

void DownloadManager::pause(bool)
{
    // Also between two transfers and while a retry waits: nothing starts until RESUME, and
    // nothing restarts a paused download behind the user's back.
    storePaused(true);
    abortCurrentDownload();
    timeoutTimer.stop();
    for (Reel *reel : currentAsset ? currentAsset->reels() : QList<Reel *>()) {
        emit reel->downloadPaused();
        if (reel->getDCP())
            emit reel->getDCP()->statusChanged();
    }
    emit pausedChanged();
    emit downloadPaused();
    refreshActivity();
}

void DownloadManager::storePaused(bool value)
{
    paused = value;
    Setting::instance()->set("download_paused", value ? "1" : "0");
    Setting::instance()->save();
}

void DownloadManager::resumeDownloading()
{
    WindowCall::guard("[DownloadManager] resumeDownloading failed:", "The downloads could not be resumed.",
                      [this] { resume(); });
}

void DownloadManager::resume()
{
    abortCurrentDownload();
    storePaused(false);
    m_setAside->recheckSpace();
    startNextDownload();
    emit pausedChanged();
    refreshActivity();
}

void DownloadManager::retryAssetDownload(Asset *asset)
{
    Q_ASSERT(QThread::currentThread() == thread());
    qDebug() << "[DownloadManager] Giving corrupted Asset another chance..." << asset->uuid();
    // Queued once, however many reels list it or ask again.
    queue.enqueue(asset);
    // The transfer starts from the event loop, once the verification that sent the asset
    // back has been stored in full; what waits there holds no pointer to the asset.
    QMetaObject::invokeMethod(this, &DownloadManager::startIfIdle, Qt::QueuedConnection);
}

void DownloadManager::setReadChunkSize(uint bytesPerSecond)
{
    readChunkSize = quint32(bytesPerSecond * readInterval) / 1000;
    emit readChunkSizeChanged();
}

void DownloadManager::error(QNetworkReply::NetworkError code)
{
    auto *reply = qobject_cast<QNetworkReply *>(sender());
    // The abort that ended a body longer than the asset is no failure.
    if (!reply || (reply == currentReply && transfer.reachedListedSize()))
        return;
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    qDebug() << "[DownloadManager] Error" << code << "HTTP status code: " << status;
    if (reply != currentReply || !currentAsset)
        return;
    const QString message = DownloadRemoval::refusalMessage(status, currentAsset->dcp()->friendlyTitle());
    if (!message.isEmpty())
        m_removal.linksRefused(currentAsset, reply->request().url(), message);
    else // left to the stall timer, which tries again
        waitToRetry(status > 0 ? QString("the server answered %1").arg(status) : reply->errorString());
}

void DownloadManager::stopCurrent()
{
    cancelled = true;
    abortCurrentDownload();
    timeoutTimer.stop();
    readTimer.stop();
    currentAsset = nullptr;
    m_activity.clearRetry();
    emit currentDcpChanged();
}

void DownloadManager::passBy(DCP *dcp)
{
    queue.removeDcp(dcp);
    if (currentAsset && currentAsset->dcp() == dcp)
        stopCurrent();
}

void DownloadManager::dropFromQueue(Asset *asset)
{
    if (currentAsset && currentAsset->uuid() == asset->uuid() && currentAsset->dcp() == asset->dcp())
        stopCurrent();
    queue.remove(asset);
}

void DownloadManager::continueAfterRemoval()
{
    if (cancelled && !queue.isEmpty())
        startNextDownload();
    else
        emit downloadStandBy();
    refreshActivity();
}

void DownloadManager::startNextSoon()
{
    QMetaObject::invokeMethod(
        this,
        [this] {
            if (!shuttingDown)
                startIfIdle();
            refreshActivity();
        },
        Qt::QueuedConnection);
}

void DownloadManager::waitToRetry(const QString &reason)
{
    m_activity.setRetry(reason, QDateTime::currentMSecsSinceEpoch() + timeoutTimer.remainingTime());
    refreshActivity();
}

void DownloadManager::refreshActivity()
{
    if (m_activity.update(EngineActivity::factsOf(*this)))
        emit activityChanged();
}

bool DownloadManager::removeDownload(DCP *dcp)
{
    return dcp && WindowCall::guard("[DownloadManager] removeDownload failed:", "The DCP could not be removed.",
                                    [&] { m_removal.removeDcp(dcp); });
}

void DownloadManager::removeDownloadReel(Reel *reel)
{
    if (reel)
        WindowCall::guard("[DownloadManager] removeDownloadReel failed:", "The reel could not be removed.",
                          [&] { m_removal.removeReel(reel); });
}

void DownloadManager::downloadReelAgain(Reel *reel)
{
    if (reel)
        WindowCall::guard("[DownloadManager] downloadReelAgain failed:", "The reel could not be downloaded again.",
                          [&] { m_removal.downloadAgain(reel); });
}
