#include "download/DownloadManager.h"

#include "app/AppPaths.h"
#include "app/UserInteraction.h"
#include "app/WindowCall.h"
#include "catalogue/DCP.h"
#include "catalogue/DCPManager.h"
#include "catalogue/DatabaseManager.h"
#include "catalogue/DatabaseTransaction.h"
#include "catalogue/Reel.h"
#include "catalogue/Setting.h"
#include "download/Asset.h"
#include "download/ChecksumWorker.h"
#include "download/FileManager.h"
#include "portal/NotificationManager.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDebug>
#include <QFile>
#include <QFileInfo>
#include <QNetworkRequest>
#include <QQmlEngine>
#include <QThread>
#include <QTimer>
#include <QUrl>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <stdexcept>

namespace {

DownloadManager *g_instance = nullptr;

// One sample clock for every transfer of the process.
qint64 lastSampleTime = -1;

UserInteraction::Message diskSpaceMessage()
{
    UserInteraction::Message message;
    message.icon = UserInteraction::Icon::Critical;
    message.text = "Not enough disk space";
    message.informativeText = "You have ran out of disk space so we paused your download.\r\n\r\nPlease free up some space "
                              "and hit the resume button once you're ready.";
    message.buttons = UserInteraction::Ok;
    return message;
}

// Any other reason the destination cannot take the download; the text says which.
UserInteraction::Message writeProblemMessage(const QString &informativeText)
{
    UserInteraction::Message message;
    message.icon = UserInteraction::Icon::Critical;
    message.text = "Unable to write the download";
    message.informativeText = informativeText
        + "\r\n\r\nPlease check that the drive is connected and writable and hit the resume button once you're ready.";
    message.buttons = UserInteraction::Ok;
    return message;
}

}

DownloadManager *DownloadManager::instance()
{
    if (!g_instance) {
        g_instance = new DownloadManager();
        QObject::connect(qApp, &QCoreApplication::aboutToQuit, &DownloadManager::shutdown);
        qAddPostRoutine(&DownloadManager::shutdown);
    }
    return g_instance;
}

DownloadManager::DownloadManager()
    : journal(AppPaths::filePath("transfers.unfinished"))
{
    paused = Setting::instance()->get("download_paused") == "1";

    checksumThread = new QThread();
    checksumWorker = new ChecksumWorker();
    checksumWorker->moveToThread(checksumThread);
    connect(checksumThread, &QThread::started, checksumWorker, &ChecksumWorker::process);
    // quit() is safe from any thread; called directly, it needs no turn of the main loop.
    connect(checksumWorker, &ChecksumWorker::finished, checksumThread, &QThread::quit, Qt::DirectConnection);
    connect(checksumThread, &QThread::finished, checksumThread, &QObject::deleteLater);
    // The worker applies its results on the main thread and asks for the retry there: the
    // asset is queued at once, while it certainly exists. A retry posted for later would
    // hold a pointer that removing its reel in the meantime leaves dangling.
    connect(this, &DownloadManager::assetNeedsRedownloading, this, &DownloadManager::retryAssetDownload,
            Qt::DirectConnection);
    checksumThread->start(QThread::InheritPriority);

    // Verification and the portal's confirmations change the engine's state on their own.
    activityTimer = new QTimer(this);
    activityTimer->setInterval(1000);
    connect(activityTimer, &QTimer::timeout, this, &DownloadManager::refreshActivity);
    activityTimer->start();
    setAsideTimer = new QTimer(this);
    setAsideTimer->setInterval(30000);
    connect(setAsideTimer, &QTimer::timeout, this, &DownloadManager::recheckSetAsideSpace);
    refreshActivity();

    QQmlEngine::setObjectOwnership(this, QQmlEngine::CppOwnership);
}

void DownloadManager::shutdown()
{
    DownloadManager *manager = g_instance;
    // Called on aboutToQuit and again as a post routine.
    if (!manager || manager->shuttingDown)
        return;
    manager->shuttingDown = true;
    qDebug() << "[DownloadManager] Quitting: stopping the transfer";
    // The transfer stops first: aborting it ends it through downloadFinished(), which makes
    // the file durable. Nothing starts after this, so the wait for the reel event in flight
    // below (its event loop runs timers and queued calls) writes nothing the journal misses.
    if (manager->timeoutTimer)
        manager->timeoutTimer->stop();
    if (manager->readTimer)
        manager->readTimer->stop();
    manager->abortCurrentDownload();
    if (manager->currentAsset && manager->transfer.asset() == manager->currentAsset) {
        int error = 0;
        if (manager->currentAsset->closeFile() && !manager->transfer.writeFailed())
            manager->transfer.makeDurable(&error);
    }
    NotificationManager::finishRequestInFlight();
    // A clean end: the marker goes.
    manager->journal.end();
    if (!manager->checksumThread)
        return;
    QThread *thread = manager->checksumThread;
    manager->checksumThread = nullptr;
    manager->checksumWorker->stop();
    thread->quit();
    thread->wait();
}

bool DownloadManager::isEligible(const Asset *asset)
{
    if (asset->isDownloadFinished())
        return false;
    const quint32 attempts = asset->downloadAttempts();
    return !asset->isDownloadChecksummed() || attempts <= 1 || (attempts == 2 && !asset->isDownloadCorrupted());
}

void DownloadManager::enqueueAsset(Asset *asset)
{
    // A DCP set aside waits for its cause to go; the queue passes it by.
    if (asset->dcp() && setAsideDcps.contains(asset->dcp()->uuid()))
        return;
    Asset *&slot = queuedKeys[assetKey(asset)];
    if (slot)
        return;
    slot = asset;
    queue.append(asset);
}

bool DownloadManager::isQueued(Asset *asset) const
{
    return queuedKeys.contains(assetKey(asset));
}

QObject *DownloadManager::getCurrentDownloadingDCP() const
{
    return currentAsset ? currentAsset->dcp() : nullptr;
}

void DownloadManager::raiseEvent(Reel *reel, int event)
{
    NotificationManager::instance()->notify(reel, event);
}

void DownloadManager::startDownloading(DCP *dcp)
{
    // The window hands over what its delegate holds, which may be null while it is torn down.
    if (!dcp)
        return;
    WindowCall::guard("[DownloadManager] startDownloading failed:", "The download could not be started.",
                      [&] { downloadFirst(dcp); });
}

void DownloadManager::downloadFirst(DCP *dcp)
{
    qDebug() << "[DownloadManager] Starting downloading FOR DCP: " << dcp->uuid();
    // The operator's start tries a DCP set aside again; its box is not shown twice.
    if (setAsideDcps.remove(dcp->uuid()) > 0)
        dcp->setSetAside(QString());
    DCP *previous = currentAsset ? currentAsset->dcp() : nullptr;
    abortCurrentDownload();
    queue.clear();
    queuedKeys.clear();
    for (Reel *reel : dcp->getReels()) {
        for (Asset *asset : reel->getAssets()) {
            if (isEligible(asset))
                enqueueAsset(asset);
        }
    }
    for (DCP *other : DCPManager::instance()->allDCPs()) {
        if (other->uuid() == dcp->uuid())
            continue;
        for (Reel *reel : other->getReels()) {
            for (Asset *asset : reel->getAssets()) {
                if (isEligible(asset))
                    enqueueAsset(asset);
            }
        }
    }
    currentAsset = nullptr;
    if (!queue.isEmpty()) {
        paused = false;
        Setting::instance()->set("download_paused", "0");
        Setting::instance()->save();
        startNextDownload();
        emit pausedChanged();
    }
    if (previous)
        emit previous->statusChanged();
    refreshActivity();
}

void DownloadManager::startJournal()
{
    if (journalStarted)
        return;
    journalStarted = true;
    // Before anything resumes, once the catalogue is loaded: files written when the power
    // went may hold less than their size says. Only the catalogue's files are cut.
    QSet<QString> assetFiles;
    for (DCP *dcp : DCPManager::instance()->allDCPs())
        for (Asset *asset : dcp->getAssets())
            assetFiles.insert(asset->filePath());
    journal.recover([&assetFiles](const QString &path) { return assetFiles.contains(path); });
    repairAtNextRebuild = journal.lastRunEndedUncleanly();
    journal.begin();
}

void DownloadManager::rebuildQueue()
{
    startJournal();
    // After a run that ended uncleanly, once: files it may have left visible are hidden,
    // and a reel whose verdict it stored without the event that reports it gets the event.
    const bool afterUncleanEnd = repairAtNextRebuild;
    repairAtNextRebuild = false;
    if (afterUncleanEnd) {
        takeBackAssetsThatLostBytes();
        hideFilesLeftVisible();
    }
    queue.clear();
    queuedKeys.clear();
    if (currentAsset)
        enqueueAsset(currentAsset);
    for (DCP *dcp : DCPManager::instance()->allDCPs()) {
        for (Reel *reel : dcp->getReels()) {
            bool needsVerification = false;
            for (Asset *asset : reel->getAssets()) {
                if (asset->isDownloadFinished()) {
                    if (!asset->isDownloadChecksummed() && !asset->isDownloadCorrupted())
                        needsVerification = true;
                } else if (isEligible(asset)) {
                    enqueueAsset(asset);
                }
            }
            // A reel already waiting for verification is not verified twice. Its event 2 is
            // stored already, unless a run was killed between storing the last file as
            // finished and storing the event.
            if (needsVerification && reel->isDownloaded() && !checksumWorker->hasJob(reel)) {
                if (afterUncleanEnd)
                    raiseEvent(reel, 2);
                emit reel->downloadCheckingChecksum();
                checksumWorker->appendJob(reel);
                emit dcp->statusChanged();
            }
            // Stored events are never stored twice: this only adds what is missing.
            if (afterUncleanEnd && !needsVerification && reel->isChecksummed())
                raiseEvent(reel, 8);
        }
    }
    if (!queue.isEmpty() && !currentAsset && !paused)
        startNextDownload();
}

void DownloadManager::startNextDownload()
{
    qDebug() << "[DownloadManager] Starting downloading... " << queue.size() << " items remaining";
    if (paused) {
        qDebug() << "[DownloadManager] Downloads are Paused...";
        return;
    }
    if (shuttingDown) {
        qDebug() << "[DownloadManager] Quitting: no transfer starts";
        return;
    }
    if (queue.isEmpty()) {
        qDebug() << "[DownloadManager] No assets to download...";
        return;
    }
    if (currentReply && !currentReply->isFinished()) {
        qDebug() << "!!!Prevented double download leak!!!";
        return;
    }
    if (askingUser) {
        qDebug() << "[DownloadManager] Waiting for the answer to the open message";
        return;
    }
    if (!currentAsset)
        currentAsset = queue.first();
    startJournal();

    // A stall timer still running from the last transfer must not start this asset again
    // while the user reads a message about it.
    if (timeoutTimer)
        timeoutTimer->stop();
    DCP *dcp = currentAsset->dcp();
    // A download folder that has gone (a drive that was unplugged) is not made again on
    // whatever volume now holds its parent.
    if (!FileManager::dirExists(dcp->downloadPath())) {
        qDebug() << "[DownloadManager] Download folder missing:" << dcp->downloadPath();
        pauseDownloading(true);
        askUser(writeProblemMessage(QString("The download folder %1 is not there any more, so we paused your download.")
                                        .arg(dcp->downloadPath())));
        return;
    }
    const QString directory = dcp->downloadPath() + "/" + dcp->title();
    const FileManager::DiskSpace space = FileManager::diskSpace(directory);
    if (!space.readable || space.bytesFree <= currentAsset->size()) {
        // A drive that does not answer stops everything; a full one only its own DCPs.
        if (!hasEnoughDiskSpace(directory, currentAsset->size())) {
            if (!space.readable) {
                pauseDownloading(true);
            } else {
                setAsideDrive(FileManager::volumeRoot(directory));
                startNextSoon();
            }
            return;
        }
    }
    // Room on the drive again: the next time it fills up, the operator is told again.
    if (!boxesShown.isEmpty())
        boxesShown.remove("space " + FileManager::volumeRoot(directory));

    // A file the system cannot write out stops the downloads as a failed write does.
    transfer.begin(currentAsset, syncInterval, readInterval);
    int syncError = 0;
    if (!transfer.makeStartDurable(&syncError)) {
        stopOnWriteError(currentAsset->filePath(), syncError);
        return;
    }

    if (timeoutTimer) {
        timeoutTimer->stop();
    } else {
        timeoutTimer = new QTimer(this);
        timeoutTimer->setTimerType(Qt::PreciseTimer);
        timeoutTimer->setSingleShot(true);
        connect(timeoutTimer, &QTimer::timeout, this, &DownloadManager::downloadTimedOut);
    }
    timeoutTimer->start(int(timeoutInterval));

    if (readTimer) {
        readTimer->stop();
    } else {
        readTimer = new QTimer(this);
        readTimer->setTimerType(Qt::PreciseTimer);
        connect(readTimer, &QTimer::timeout, this, &DownloadManager::downloadReadyRead);
    }
    readTimer->setInterval(int(readInterval));
    readTimer->start(int(readInterval));

    cancelled = false;
    currentReply = transfer.send(&network, bufferSize);
    connect(currentReply, &QNetworkReply::finished, this, &DownloadManager::downloadFinished);
    connect(currentReply, &QNetworkReply::errorOccurred, this, &DownloadManager::error);
    connect(currentReply, &QNetworkReply::metaDataChanged, this, &DownloadManager::metaDataChanged);
    emit currentDcpChanged();
    refreshActivity();
}

bool DownloadManager::hasEnoughDiskSpace(const QString &directory, quint64 size)
{
    qDebug() << "[DownloadManager] Asset size: " << size;
    const FileManager::DiskSpace space = FileManager::diskSpace(directory);
    if (!space.readable) {
        // Not a full disk: the drive does not answer, and the user is told so.
        qDebug() << "[DownloadManager] Unable to read the free space of" << directory << ":" << space.error;
        askUser(writeProblemMessage(QString("The free space of the drive that holds %1 could not be read (%2), so we "
                                            "paused your download.")
                                        .arg(directory, space.error)));
        return false;
    }
    qDebug() << "[DownloadManager] Available Disk space " << directory << ": " << space.bytesFree;
    return space.bytesFree > size;
}

UserInteraction::Button DownloadManager::askUser(const UserInteraction::Message &message)
{
    // A box queued just before the quit is not opened while the quit waits.
    if (shuttingDown) {
        qDebug() << "[DownloadManager] Quitting: not showing" << message.text;
        return UserInteraction::NoButton;
    }
    askingUser = true;
    const UserInteraction::Button answer = UserInteraction::current()->showMessage(message);
    askingUser = false;
    return answer;
}

void DownloadManager::metaDataChanged()
{
    if (currentReply)
        currentReply->setReadBufferSize(bufferSize);
}

void DownloadManager::stopOnWriteFailure(const QString &reason)
{
    qDebug() << "[DownloadManager] Stopping downloads:" << reason;
    transfer.markWriteFailed();
    if (currentAsset)
        currentAsset->closeFile();
    pauseDownloading(true);
}

void DownloadManager::stopOnWriteError(const QString &path, int error)
{
    const QString errorText = FileManager::systemErrorText(error);
    if (shuttingDown) {
        // The next start makes the file durable again before resuming, and stops there.
        qDebug() << "[DownloadManager] Quitting after a failed write of" << path << ":" << errorText;
        transfer.markWriteFailed();
        return;
    }
    // Only a full disk is reported as one: a drive that was pulled, an I/O error or a file
    // too large for the file system is a different problem for the user to solve.
    bool full = error == ENOSPC || error == EDQUOT;
    if (!full && currentAsset) {
        const FileManager::DiskSpace space = FileManager::diskSpace(QFileInfo(path).absolutePath());
        const quint64 stored = FileManager::fileSize(path);
        const quint64 left = currentAsset->size() > stored ? currentAsset->size() - stored : 0;
        full = space.readable && space.bytesFree < left;
    }
    if (full && currentAsset) {
        // Only the DCPs bound for the full drive wait; the others go on.
        qDebug() << "[DownloadManager] Stopping downloads to a full drive:" << "writing " + path + " failed: " + errorText;
        transfer.markWriteFailed();
        currentAsset->closeFile();
        setAsideDrive(FileManager::volumeRoot(QFileInfo(path).absolutePath()));
        startNextSoon();
        return;
    }
    stopOnWriteFailure("writing " + path + " failed: " + errorText);
    if (full)
        askUser(diskSpaceMessage());
    else
        askUser(writeProblemMessage(QString("Writing the file %1 failed (%2), so we paused your download.").arg(path, errorText)));
}

void DownloadManager::downloadReadyRead()
{
    if (!currentReply || currentReply->bytesAvailable() <= 0 || !currentAsset || transfer.writeFailed())
        return;
    if (!AssetTransfer::carriesData(currentReply))
        return;

    timeoutTimer->start(int(timeoutInterval));
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    if (lastSampleTime < 0)
        lastSampleTime = now;
    const qint64 elapsed = std::llabs(now - lastSampleTime);

    const AssetTransfer::Tick tick = transfer.read(currentReply, qint64(readChunkSize));
    switch (tick.outcome) {
    case AssetTransfer::Outcome::Nothing:
        return;
    case AssetTransfer::Outcome::CannotOpen: {
        const QString path = currentAsset->filePath();
        stopOnWriteFailure("cannot open " + path);
        askUser(writeProblemMessage(
            QString("The file %1 could not be opened for writing, so we paused your download.").arg(path)));
        return;
    }
    case AssetTransfer::Outcome::WriteFailed:
        stopOnWriteError(currentAsset->filePath(), tick.error);
        return;
    case AssetTransfer::Outcome::Stored:
        break;
    }
    bytesSinceSample += quint64(tick.bytes);
    if (!retryReason.isEmpty()) {
        retryReason.clear();
        refreshActivity();
    }

    if (!currentAsset->isDownloadStarted()) {
        currentAsset->setDownloadStarted(true);
        DatabaseManager::instance()->updateAssetDownloadFields(currentAsset);
    }
    const QList<Reel *> reels = currentAsset->reels();
    for (Reel *reel : reels)
        raiseEvent(reel, 1);

    if (elapsed >= 200) {
        lastSampleTime = now;
        const double speed = double(bytesSinceSample) * 1000.0 / double(elapsed);
        bytesSinceSample = 0;
        for (Reel *reel : reels) {
            emit reel->downloadProgress(quint64(speed));
            if (reel->getDCP())
                emit reel->getDCP()->downloadProgress();
            const int event = progressEvent(reel->getDownloadedSize(), reel->getTotalSize());
            if (event != 0)
                raiseEvent(reel, event);
        }
        emit downloadProgress(speed);
    }
    if (currentReply && transfer.holdsListedSize() && currentReply->bytesAvailable() > 0)
        transfer.endAtListedSize(currentReply);
}

int DownloadManager::progressEvent(quint64 downloaded, quint64 total)
{
    // A reel without bytes has no percentage to report.
    if (total == 0)
        return 0;
    const quint64 percentage = downloaded * 100 / total;
    if (percentage >= 75)
        return 5;
    if (percentage >= 50)
        return 4;
    if (percentage >= 25)
        return 3;
    return 0;
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
            currentReply = nullptr;
            if (readTimer)
                readTimer->stop();
            reply->deleteLater();
            stopOnWriteError(asset->filePath(), syncError);
            return;
        }
    } else if (asset) {
        asset->closeFile();
    }

    // A file already whole on disk (the process stopped between its last write and storing
    // the finished flag) gets 416 for a range after its end, and so does a zero-byte asset
    // for "bytes=0-". Retrying would never end: the transfer is over, and verification
    // judges the file (a wrong one is downloaded again).
    const bool nothingLeft = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt() == 416
        && (transfer.requestOffset() > 0 || (asset && asset->size() == 0));
    if (nothingLeft && asset)
        qDebug() << "[DownloadManager] Nothing left to download past byte" << transfer.requestOffset()
                 << "for asset:" << asset->uuid();

    const bool sizeReached = transfer.reachedListedSize();
    const bool writeFailed = transfer.writeFailed();
    if ((reply->error() != QNetworkReply::NoError && !nothingLeft && !sizeReached) || writeFailed || !asset) {
        currentReply = nullptr;
        if (readTimer)
            readTimer->stop();
        if (writeFailed && timeoutTimer)
            timeoutTimer->stop();
        reply->deleteLater();
        return;
    }

    const QVariant redirect = reply->attribute(QNetworkRequest::RedirectionTargetAttribute);
    if (redirect.isValid()) {
        const QUrl link(asset->downloadUrl());
        const QUrl redirectTarget = link.resolved(redirect.toUrl());
        if (!AssetTransfer::mayFollowRedirect(link, redirectTarget)) {
            // Not followed, and not a finished download: the stall timer tries the link again.
            qDebug() << "[DownloadManager] Refusing the redirect to" << redirectTarget.toString() << "for asset:"
                     << asset->uuid();
            retryReason = "the server redirected the download to an address that is not allowed";
            retryAt = QDateTime::currentMSecsSinceEpoch() + (timeoutTimer ? timeoutTimer->remainingTime() : 0);
            refreshActivity();
            currentReply = nullptr;
            if (readTimer)
                readTimer->stop();
            reply->deleteLater();
            return;
        }
        if (asset->redirectsLeft > 0) {
            --asset->redirectsLeft;
            const QUrl target = QUrl(asset->downloadUrl()).resolved(redirect.toUrl());
            qDebug() << "[DownloadManager] Redirect URL (" << target.toString() << ") for asset: " << asset->uuid();
            asset->setDownloadUrl(target.toString());
            currentReply = nullptr;
            reply->deleteLater();
            startNextDownload();
            return;
        }
        qDebug() << "[DownloadManager] Reached max redirects for asset: " << asset->uuid();
    }

    // A body that ended before its announced length is an interrupted transfer, whatever
    // the network layer says (it may re-send a request on a closed connection and then
    // report a cut-off answer as complete). The stall timer resumes from the file's size.
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    const QVariant announced = reply->header(QNetworkRequest::ContentLengthHeader);
    if ((status == 200 || status == 206) && announced.isValid() && transfer.replyBytes() < announced.toULongLong()
        && !sizeReached) {
        qDebug() << "[DownloadManager] Transfer ended early:" << transfer.replyBytes() << "of" << announced.toULongLong()
                 << "bytes for asset:" << asset->uuid();
        retryReason = "the server ended the transfer early";
        retryAt = QDateTime::currentMSecsSinceEpoch() + (timeoutTimer ? timeoutTimer->remainingTime() : 0);
        refreshActivity();
        currentReply = nullptr;
        readTimer->stop();
        reply->deleteLater();
        return;
    }

    currentReply = nullptr;
    reply->deleteLater();
    timeoutTimer->stop();
    readTimer->stop();
    qDebug() << "[DownloadManager] Download finished for Asset " << asset->uuid();
    // A zero-byte asset receives no data that would create its file: it is created here,
    // hidden like the others, so that verification finds it.
    if (!QFileInfo::exists(asset->filePath())) {
        try {
            asset->file();
        } catch (const std::exception &) {
            qDebug() << "[DownloadManager] Unable to create the file of asset:" << asset->uuid();
        }
        asset->closeFile();
    }
    bytesSinceSample = 0;
    asset->setDownloadFinished(true);
    DatabaseManager::instance()->updateAssetDownloadFields(asset);

    DCP *dcp = asset->dcp();
    for (Reel *reel : asset->reels()) {
        if (!reel->isDownloaded())
            continue;
        raiseEvent(reel, 2);
        emit reel->downloadCheckingChecksum();
        checksumWorker->appendJob(reel);
        if (reel->getDCP())
            emit reel->getDCP()->statusChanged();
    }
    emit dcp->downloadFinished();
    emit dcp->finishedChanged();

    if (paused || queue.isEmpty() || cancelled) {
        currentAsset = nullptr;
        refreshActivity();
        return;
    }
    Asset *head = queue.takeFirst();
    queuedKeys.remove(assetKey(head));
    currentAsset = nullptr;
    if (queue.isEmpty())
        emit downloadStandBy();
    else
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
    if (timeoutTimer)
        timeoutTimer->stop();
    if (readTimer)
        readTimer->stop();
    qDebug() << "[DownloadManager] Aborting download";
    currentReply->abort();
    qDebug() << "[DownloadManager] Finished Aborting download";
}

void DownloadManager::pauseDownloading()
{
    pauseDownloading(false);
}

void DownloadManager::pauseDownloading(bool force)
{
    WindowCall::guard("[DownloadManager] pauseDownloading failed:", "The downloads could not be paused.",
                      [&] { pause(force); });
}

void DownloadManager::pause(bool)
{
    // Also between two transfers and while a retry waits: nothing starts until RESUME.
    paused = true;
    abortCurrentDownload();
    // Nothing restarts a paused download behind the user's back.
    if (timeoutTimer)
        timeoutTimer->stop();
    Setting::instance()->set("download_paused", "1");
    Setting::instance()->save();
    if (currentAsset) {
        for (Reel *reel : currentAsset->reels()) {
            emit reel->downloadPaused();
            if (reel->getDCP())
                emit reel->getDCP()->statusChanged();
        }
    }
    emit pausedChanged();
    emit downloadPaused();
    refreshActivity();
}

void DownloadManager::resumeDownloading()
{
    WindowCall::guard("[DownloadManager] resumeDownloading failed:", "The downloads could not be resumed.",
                      [this] { resume(); });
}

void DownloadManager::resume()
{
    abortCurrentDownload();
    paused = false;
    Setting::instance()->set("download_paused", "0");
    Setting::instance()->save();
    recheckSetAsideSpace();
    startNextDownload();
    emit pausedChanged();
    refreshActivity();
}

void DownloadManager::retryAssetDownload(Asset *asset)
{
    Q_ASSERT(QThread::currentThread() == thread());
    qDebug() << "[DownloadManager] Giving corrupted Asset another chance..." << asset->uuid();
    // Queued once, however many reels list it or ask again.
    enqueueAsset(asset);
    // The transfer starts from the event loop, once the verification that sent the asset
    // back has been stored in full; what waits there holds no pointer to the asset.
    QMetaObject::invokeMethod(
        this,
        [this] {
            if (!currentAsset && !paused)
                startNextDownload();
        },
        Qt::QueuedConnection);
}

void DownloadManager::setReadChunkSize(uint bytesPerSecond)
{
    readChunkSize = quint32(bytesPerSecond * readInterval) / 1000;
    emit readChunkSizeChanged();
}

void DownloadManager::setReadUnlimited()
{
    readChunkSize = unlimitedReadChunkSize;
    emit readChunkSizeChanged();
}

void DownloadManager::error(QNetworkReply::NetworkError code)
{
    auto *reply = qobject_cast<QNetworkReply *>(sender());
    if (!reply)
        return;
    // The abort that ended a body longer than the asset is no failure.
    if (reply == currentReply && transfer.reachedListedSize())
        return;
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    qDebug() << "[DownloadManager] Error" << code << "HTTP status code: " << status;
    if (reply != currentReply || !currentAsset)
        return;
    DCP *dcp = currentAsset->dcp();
    QString message;
    if (status == 403 || status == 404) {
        message = QString("One of the files for DCP %1 is missing and can not be downloaded. You won't be able to finish "
                          "the given download.")
                      .arg(dcp->friendlyTitle());
    } else if (status == 400) {
        message = QString("Download links for DCP %1 expired. You won't be able to finish the given download.")
                      .arg(dcp->friendlyTitle());
    } else {
        // Left to the stall timer, which tries again.
        retryReason = status > 0 ? QString("the server answered %1").arg(status) : reply->errorString();
        retryAt = QDateTime::currentMSecsSinceEpoch() + (timeoutTimer ? timeoutTimer->remainingTime() : 0);
        refreshActivity();
        return;
    }
    // Inside its own error signal the reply must be neither aborted nor outlived by a modal
    // box: the dialog runs once the signal has returned, and finds the DCP again by its
    // uuid in case it was removed meanwhile.
    const QString dcpUuid = dcp->uuid();
    QMetaObject::invokeMethod(
        this,
        [this, dcpUuid, message] {
            if (DCP *current = DCPManager::instance()->getDCP(dcpUuid))
                HandleExpiredLinks(current, message);
        },
        Qt::QueuedConnection);
}

void DownloadManager::HandleExpiredLinks(DCP *dcp, const QString &message)
{
    qDebug() << "[DownloadManager] HandleExpiredLinks" << message;
    // The DCP is set aside and the others go on; the box is shown once for it.
    setAside(dcp, SetAsideCause::LinksRefused);
    const QString shownKey = "links " + dcp->uuid();
    if (!boxesShown.contains(shownKey)) {
        boxesShown.insert(shownKey);
        UserInteraction::Message box;
        box.icon = UserInteraction::Icon::Critical;
        box.text = "Download links expired";
        box.informativeText = message
            + "\r\n\r\nDo you want to remove outdated DCP?\r\n(This will NOT DELETE the files on your hard drive but "
              "simply remove the DCP from the Tolvane Downloader)";
        box.buttons = UserInteraction::Yes | UserInteraction::No;
        box.defaultButton = UserInteraction::No;
        if (askUser(box) == UserInteraction::Yes) {
            qDebug() << "[DownloadManager] HandleExpiredLinks user action, removing expired DCP" << dcp->uuid();
            // A DCP the database would not let go of stays, set aside and hidden. The rows go
            // before the files are revealed: an end in between leaves hidden files of a DCP
            // the catalogue no longer lists, never visible files of one it still downloads.
            if (removeDownload(dcp)) {
                for (Asset *asset : dcp->getAssets()) {
                    if (QFileInfo(asset->filePath()).isFile())
                        asset->reveal();
                }
            }
        }
    }
    startNextSoon();
}

void DownloadManager::setAside(DCP *dcp, SetAsideCause cause, const QString &drive)
{
    const QString text = cause == SetAsideCause::LinksRefused
        ? QString("Links expired: open a fresh package from Tarn")
        : QString("Not enough space on %1").arg(drive.isEmpty() ? dcp->downloadPath() : drive);
    qDebug() << "[DownloadManager] Setting DCP aside:" << dcp->uuid() << text;
    setAsideDcps.insert(dcp->uuid(), SetAsideEntry{cause, drive});
    for (Asset *asset : dcp->getAssets()) {
        queue.removeAll(asset);
        queuedKeys.remove(assetKey(asset));
    }
    if (currentAsset && currentAsset->dcp() == dcp) {
        cancelled = true;
        abortCurrentDownload();
        if (timeoutTimer)
            timeoutTimer->stop();
        if (readTimer)
            readTimer->stop();
        currentAsset = nullptr;
        retryReason.clear();
        emit currentDcpChanged();
    }
    dcp->setSetAside(text);
    if (cause == SetAsideCause::NoSpace && !setAsideTimer->isActive())
        setAsideTimer->start();
    refreshActivity();
}

void DownloadManager::setAsideDrive(const QString &drive)
{
    for (DCP *dcp : DCPManager::instance()->allDCPs()) {
        if (setAsideDcps.contains(dcp->uuid()) || dcp->isFinished())
            continue;
        const bool current = currentAsset && currentAsset->dcp() == dcp;
        if (current || (!drive.isEmpty() && FileManager::volumeRoot(dcp->downloadPath()) == drive))
            setAside(dcp, SetAsideCause::NoSpace, drive);
    }
    const QString shownKey = "space " + drive;
    if (!boxesShown.contains(shownKey)) {
        boxesShown.insert(shownKey);
        askUser(diskSpaceMessage());
    }
}

void DownloadManager::recheckSetAsideSpace()
{
    QList<DCP *> back;
    for (auto it = setAsideDcps.constBegin(); it != setAsideDcps.constEnd(); ++it) {
        if (it.value().cause != SetAsideCause::NoSpace)
            continue;
        DCP *dcp = DCPManager::instance()->getDCP(it.key());
        if (!dcp)
            continue;
        // Room for the largest asset still to come, as the start of a transfer asks.
        quint64 needed = 0;
        for (Asset *asset : dcp->getAssets())
            if (isEligible(asset))
                needed = std::max(needed, asset->size());
        const FileManager::DiskSpace space = FileManager::diskSpace(dcp->downloadPath() + "/" + dcp->title());
        if (space.readable && space.bytesFree > needed)
            back.append(dcp);
    }
    for (DCP *dcp : qAsConst(back)) {
        boxesShown.remove("space " + setAsideDcps.value(dcp->uuid()).drive);
        qDebug() << "[DownloadManager] Space freed for DCP:" << dcp->uuid();
        returnSetAside(dcp);
    }
    bool waitingForSpace = false;
    for (const SetAsideEntry &entry : qAsConst(setAsideDcps))
        waitingForSpace = waitingForSpace || entry.cause == SetAsideCause::NoSpace;
    if (!waitingForSpace)
        setAsideTimer->stop();
}

void DownloadManager::returnSetAside(DCP *dcp)
{
    if (!dcp || setAsideDcps.remove(dcp->uuid()) == 0)
        return;
    qDebug() << "[DownloadManager] DCP back in the queue:" << dcp->uuid();
    boxesShown.remove("links " + dcp->uuid());
    dcp->setSetAside(QString());
    rebuildQueue();
    refreshActivity();
}

void DownloadManager::startNextSoon()
{
    QMetaObject::invokeMethod(
        this,
        [this] {
            if (!currentAsset && !paused && !shuttingDown)
                startNextDownload();
            refreshActivity();
        },
        Qt::QueuedConnection);
}

QString DownloadManager::portalError() const
{
    const NotificationManager *notifications = NotificationManager::existing();
    return notifications && notifications->waitingCount() > 0 ? notifications->lastError() : QString();
}

void DownloadManager::refreshActivity()
{
    QString activity;
    QString text;
    const NotificationManager *notifications = NotificationManager::existing();
    if (paused) {
        activity = "paused";
        text = "Paused.";
    } else if (currentAsset && !retryReason.isEmpty() && !(currentReply && currentReply->isRunning())) {
        activity = "retrying";
        text = QString("Waiting to retry: %1. Next try at %2.")
                   .arg(retryReason, QDateTime::fromMSecsSinceEpoch(retryAt).toString("HH:mm:ss"));
    } else if (currentAsset && currentAsset->dcp()) {
        activity = "downloading";
        text = QString("Downloading %1...").arg(currentAsset->dcp()->friendlyTitle());
    } else if (checksumWorker && checksumWorker->jobCount() > 0) {
        activity = "verifying";
        text = "Verifying the downloaded files...";
    } else if (notifications && notifications->waitingCount() > 0) {
        activity = "confirming";
        text = notifications->lastError().isEmpty()
            ? QString("Waiting for Tarn to confirm the downloaded reels...")
            : QString("Waiting for Tarn to confirm; trying again (%1).").arg(notifications->lastError());
    } else if (!setAsideDcps.isEmpty()) {
        activity = "set_aside";
        text = setAsideDcps.size() == 1 ? QString("1 DCP needs you.") : QString("%1 DCPs need you.").arg(setAsideDcps.size());
    } else {
        activity = "ready";
        text = "Ready.";
    }
    if (activity == m_activity && text == m_activityText)
        return;
    m_activity = activity;
    m_activityText = text;
    emit activityChanged();
}

void DownloadManager::dropFromQueue(Asset *asset)
{
    if (currentAsset && currentAsset->uuid() == asset->uuid() && currentAsset->dcp() == asset->dcp()) {
        cancelled = true;
        abortCurrentDownload();
        currentAsset = nullptr;
    }
    queue.removeAll(asset);
    queuedKeys.remove(assetKey(asset));
}

bool DownloadManager::removeDownload(DCP *dcp)
{
    if (!dcp)
        return false;
    return WindowCall::guard("[DownloadManager] removeDownload failed:", "The DCP could not be removed.",
                             [&] { removeDcp(dcp); });
}

void DownloadManager::removeDcp(DCP *dcp)
{
    // The rows go first, all or none: a database that refuses leaves the DCP listed,
    // queued and downloading, as the database still has it.
    {
        DatabaseManager *database = DatabaseManager::instance();
        DatabaseTransaction transaction(database);
        database->removeDCP(dcp);
        if (!transaction.commit())
            throw std::runtime_error("Unable to remove the DCP");
    }
    for (Asset *asset : dcp->getAssets())
        dropFromQueue(asset);
    // Its reels leave the verification queue too; the objects stay alive for the window.
    for (Reel *reel : dcp->getReels())
        checksumWorker->forgetReel(reel);
    DCPManager::instance()->removeDCPFromIndex(dcp);
    dcp->forgetRemovedReels();
    setAsideDcps.remove(dcp->uuid());
    dcp->setSetAside(QString());
    if (!removedDcps.contains(dcp))
        removedDcps.append(dcp);
    if (cancelled && !queue.isEmpty())
        startNextDownload();
    else
        emit downloadStandBy();
    refreshActivity();
}

void DownloadManager::removeDownloadReel(Reel *reel)
{
    if (!reel)
        return;
    WindowCall::guard("[DownloadManager] removeDownloadReel failed:", "The reel could not be removed.",
                      [&] { removeReel(reel); });
}

bool DownloadManager::hideUnlessAcknowledged(Asset *asset, const QSet<QString> *unacknowledged)
{
    // The reels first: for a finished catalogue that answers without touching the disk.
    for (Reel *other : asset->reels()) {
        if (!other->isChecksummed())
            continue;
        const bool synced = unacknowledged ? !unacknowledged->contains(other->uuid()) : other->isSynced();
        if (synced)
            return false;
    }
    const QString path = asset->filePath();
    if (!QFileInfo::exists(path) || FileManager::isHidden(path))
        return false;
    return FileManager::hideFile(path);
}

void DownloadManager::takeBackAssetsThatLostBytes()
{
    const QStringList cut = journal.cutPaths();
    for (DCP *dcp : DCPManager::instance()->allDCPs()) {
        for (Asset *asset : dcp->getAssets()) {
            // A corrupted asset is not downloaded again; its file was emptied already.
            if (asset->isDownloadCorrupted())
                continue;
            const QString path = asset->filePath();
            const bool wasCut = cut.contains(path);
            const bool tooShort = asset->isDownloadFinished() && FileManager::fileSize(path) < asset->size();
            if (!wasCut && !tooShort)
                continue;
            if (!asset->isDownloadFinished() && !asset->isDownloadChecksummed())
                continue;
            qDebug() << "[DownloadManager] Downloading again a file that lost bytes at the last unclean end:" << path;
            if (FileManager::fileExists(path) && !FileManager::isHidden(path))
                FileManager::hideFile(path);
            asset->setDownloadFinished(false);
            asset->setDownloadChecksummed(false);
            DatabaseManager::instance()->updateAssetDownloadFields(asset);
            emit dcp->statusChanged();
        }
    }
}

void DownloadManager::hideFilesLeftVisible()
{
    // One read for the whole catalogue: a query per file would hold up the start of a big
    // catalogue for many seconds.
    const QSet<QString> unacknowledged = DatabaseManager::instance()->reelsWithUnsyncedNotifications();
    for (DCP *dcp : DCPManager::instance()->allDCPs()) {
        for (Asset *asset : dcp->getAssets()) {
            if (hideUnlessAcknowledged(asset, &unacknowledged))
                qDebug() << "[DownloadManager] The last run left a file visible before its reel was acknowledged:"
                         << asset->filePath();
        }
    }
}

void DownloadManager::downloadReelAgain(Reel *reel)
{
    if (!reel)
        return;
    WindowCall::guard("[DownloadManager] downloadReelAgain failed:", "The reel could not be downloaded again.",
                      [&] { downloadAgain(reel); });
}

void DownloadManager::downloadAgain(Reel *reel)
{
    if (!reel->isCorrupted() || checksumWorker->hasJob(reel))
        return;
    qDebug() << "[DownloadManager] Downloading Reel again: " << reel->uuid();
    QList<Asset *> again;
    for (Asset *asset : reel->getAssets())
        if (asset->isDownloadCorrupted() || !asset->isDownloadChecksummed())
            again.append(asset);
    {
        DatabaseManager *database = DatabaseManager::instance();
        DatabaseTransaction transaction(database);
        for (Asset *asset : qAsConst(again)) {
            asset->setDownloadCorrupted(false);
            asset->setDownloadChecksummed(false);
            asset->setDownloadFinished(false);
            asset->setDownloadStarted(false);
            asset->setDownloadAttempts(0);
            database->updateAssetDownloadFields(asset);
        }
        if (!transaction.commit())
            throw std::runtime_error("Unable to store the reel's new attempts");
    }
    for (Asset *asset : qAsConst(again)) {
        // The failed file is fetched anew from its first byte; it stays hidden.
        try {
            asset->file()->resize(0);
        } catch (const std::exception &error) {
            qDebug() << "[DownloadManager] Unable to empty the file of" << asset->uuid() << error.what();
        }
        asset->closeFile();
        enqueueAsset(asset);
    }
    emit reel->downloadQueuedForRedownload();
    if (reel->getDCP()) {
        emit reel->getDCP()->statusChanged();
        emit reel->getDCP()->finishedChanged();
    }
    if (!currentAsset && !paused)
        startNextDownload();
    refreshActivity();
}

void DownloadManager::removeReel(Reel *reel)
{
    qDebug() << "[DownloadManager] Removing Reel: " << reel->uuid();
    if (checksumWorker->hasJob(reel)) {
        UserInteraction::Message message;
        message.icon = UserInteraction::Icon::Warning;
        message.text = "The current Reel is in validation(checksum) process, please wait until this is finished and try again.";
        message.buttons = UserInteraction::Ok;
        UserInteraction::current()->showMessage(message);
        return;
    }
    DCP *dcp = reel->getDCP();
    const QList<Asset *> leaving = dcp->assetsOnlyIn(reel);
    dcp->removeReel(reel);
    // The DCP was ordered with this reel: it is not complete without it.
    dcp->noteRemovedReel(reel->uuid());
    const QList<Asset *> assets = reel->getAssets();
    for (Asset *asset : assets) {
        if (!leaving.contains(asset)) {
            // Another reel still lists it: that reel keeps the asset, its file, its place in
            // the queue and its state. The file was visible on the removed reel's account
            // only: it is hidden again until a reel that still lists it is acknowledged.
            asset->removeReel(reel);
            hideUnlessAcknowledged(asset);
            continue;
        }
        dropFromQueue(asset);
        asset->removeFromFileSystem();
        DCPManager::instance()->removeAssetFromIndex(asset);
        checksumWorker->forgetAsset(asset);
        delete asset;
    }
    reel->clearAssets();
    DCPManager::instance()->removeReelFromIndex(reel);
    removedReels.append(reel);
    if (cancelled && !queue.isEmpty())
        startNextDownload();
    else
        emit downloadStandBy();
    qDebug() << "[DownloadManager] Emitting reelsChanged...";
    emit dcp->reelsChanged();
    emit dcp->finishedChanged();
    if (dcp->getReels().isEmpty())
        removeDownload(dcp);
}
