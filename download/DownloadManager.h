#pragma once

#include "base/UserInteraction.h"
#include "catalogue/AssetKey.h"
#include "download/Asset.h"
#include "download/AssetTransfer.h"
#include "download/DestinationProblems.h"
#include "download/DownloadQueue.h"
#include "download/DownloadRemoval.h"
#include "download/EngineActivity.h"
#include "download/OperatorBoxes.h"
#include "download/SetAsideDcps.h"
#include "download/TransferJournal.h"
#include "download/TransferProgress.h"

#include <QHash>
#include <QList>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QObject>
#include <QString>
#include <QTimer>
#include <QUrl>

class ChecksumWorker;
class DCP;
class Reel;

// Fetches the catalogue's assets one at a time, resuming partial files with range
// requests and pacing reads to the user's speed limit, and hands each fully downloaded reel
// to the checksum worker. It keeps the queue, the transfer loop and the reply's slots, and
// what the window binds to; its parts decide the rest: DCPs set aside (SetAsideDcps), the
// status bar's words (EngineActivity), the repair after an unclean end (UncleanEndRepair)
// and removal (DownloadRemoval).
class DownloadManager : public QObject
{
    Q_OBJECT
    Q_PROPERTY(uint read_chunk_size READ readChunkSizeValue WRITE setReadChunkSize NOTIFY readChunkSizeChanged)
    Q_PROPERTY(bool paused READ isPaused NOTIFY pausedChanged)
    Q_PROPERTY(QObject *current_dcp READ getCurrentDownloadingDCP NOTIFY currentDcpChanged)
    // What the engine is doing, for the status bar: "paused", "downloading", "retrying",
    // "verifying", "confirming", "set_aside" or "ready", and the words that say it.
    Q_PROPERTY(QString activity READ activity NOTIFY activityChanged)
    Q_PROPERTY(QString activity_text READ activityText NOTIFY activityChanged)
    // The portal's last refusal of a reel event while events wait; empty once it confirms.
    Q_PROPERTY(QString portal_error READ portalError NOTIFY activityChanged)
public:
    // The engine, made on first use. It follows the catalogue from then on: a change of its
    // DCPs rebuilds the queue, fresh links bring back a DCP set aside for refused links. A
    // catalogue that holds DCPs is first queued once the event loop runs.
    static DownloadManager *instance();

    // Called from the window (and from the manager's own slots): none of these lets an
    // exception out; a failure is logged and shown, and the catalogue stays as the
    // database has it (see WindowCall).
    Q_INVOKABLE void startDownloading(DCP *dcp);
    Q_INVOKABLE void pauseDownloading(bool force);
    Q_INVOKABLE void pauseDownloading() { pauseDownloading(false); }
    Q_INVOKABLE void resumeDownloading();
    Q_INVOKABLE bool removeDownload(DCP *dcp);
    Q_INVOKABLE void removeDownloadReel(Reel *reel);
    Q_INVOKABLE QObject *getCurrentDownloadingDCP() const;
    // A reel that failed verification three times is downloaded again from the start, its
    // attempts counted anew.
    Q_INVOKABLE void downloadReelAgain(Reel *reel);

    // A DCP set aside (its links refused, its drive full) goes back in the queue: fresh
    // links arrived, or space was freed.
    void returnSetAside(DCP *dcp) { m_setAside->bringBack(dcp); }
    QString activity() const { return m_activity.state(); }
    QString activityText() const { return m_activity.text(); }
    QString portalError() const { return EngineActivity::portalError(); }
    // Reads the engine's state again and tells the window when it changed.
    void refreshActivity();

    void rebuildQueue();
    void startNextDownload();
    void enqueueAsset(Asset *asset) { queue.enqueue(asset); }
    bool isQueued(Asset *asset) const { return queue.contains(asset); }
    static bool isEligible(const Asset *asset) { return asset->isDownloadEligible(); }
    void abortCurrentDownload();
    void setReadChunkSize(uint bytesPerSecond);
    // No limit at all: each tick may take up to the engine's first per-tick budget, far
    // more than a reply holds (the speed schedule's "unlimited" rows).
    static const quint32 unlimitedReadChunkSize = 20971520;
    void setReadUnlimited()
    {
        readChunkSize = unlimitedReadChunkSize;
        emit readChunkSizeChanged();
    }

    uint readChunkSizeValue() const { return readChunkSize; }
    bool isPaused() const { return paused; }
    Asset *currentAssetForTest() const { return currentAsset; }
    // The asset being (or about to be) downloaded, and whether its request is on its way.
    Asset *downloadingAsset() const { return currentAsset; }
    bool isTransferRunning() const { return currentReply && currentReply->isRunning(); }
    QList<Asset *> queuedAssets() const { return queue.assets(); }
    ChecksumWorker *checksumWorkerObject() const { return checksumWorker; }
    SetAsideDcps *setAsideDcps() const { return m_setAside; }
    // What the running reply holds that the engine has not read yet.
    qint64 unreadReplyBytes() const { return currentReply ? currentReply->bytesAvailable() : 0; }

    // For the engine's parts (removal, DCPs set aside). The asset leaves the queue; its
    // transfer stops when it is the current one.
    void dropFromQueue(Asset *asset);
    // After a removal: the next asset starts when the removal stopped the transfer,
    // otherwise the engine stands by.
    void continueAfterRemoval();
    // Starts the head of the queue unless a transfer runs or downloads are paused.
    void startIfIdle()
    {
        if (!currentAsset && !paused)
            startNextDownload();
    }
    // The same from the event loop, once what runs now has returned.
    void startNextSoon();
    // Nothing more of the running transfer is stored: a write failed.
    void markWriteFailed() { transfer.markWriteFailed(); }
    // Shows a box (see OperatorBoxes).
    UserInteraction::Button askUser(const UserInteraction::Message &message) { return m_boxes.ask(message); }

    // Timings, as members so tests can shorten them.
    quint32 timeoutInterval = 15000;
    quint32 readInterval = 20;
    quint32 bufferSize = 1048576;
    // A file being written is made durable each time it passes a multiple of this many
    // bytes (and whenever its transfer stops); a member so tests can shorten it.
    quint64 syncInterval = quint64(64) * 1024 * 1024;

    // The clean end, when the application quits: stops the transfer (what it wrote is made
    // durable), waits for the reel event in flight, ends the journal and stops the checksum
    // worker's thread. Nothing starts or asks the user anything after it began.
    static void shutdown();
    bool isShuttingDown() const { return shuttingDown; }

signals:
    void downloadProgress(double speed);
    void downloadPaused();
    void downloadStandBy();
    void bufferSizeChanged();
    void pausedChanged();
    void readChunkSizeChanged();
    void assetNeedsRedownloading(Asset *asset);
    void currentDcpChanged();
    void activityChanged();

private slots:
    void downloadFinished();
    void downloadReadyRead();
    void error(QNetworkReply::NetworkError code);
    void metaDataChanged();
    void downloadTimedOut();
    void retryAssetDownload(Asset *asset);

private:
    DownloadManager();
    // Connects the engine to the catalogue's changes and builds the queue from it once the
    // event loop runs.
    void followCatalogue();
    // The DCP is passed by: its assets leave the queue and its transfer stops.
    void passBy(DCP *dcp);
    // The current asset's transfer stops for good (its DCP or the asset leaves); the next
    // start takes the head of the queue.
    void stopCurrent();
    // The transfer stopped before its end, for the reason given; the stall timer tries again.
    void waitToRetry(const QString &reason);
    // Ends the reply's part in the engine: it is dropped and reading stops.
    void dropReply(QNetworkReply *reply);
    // The finished asset is stored and its complete reels go to verification; then the next.
    void completeAsset(Asset *asset);

    // The work of the invokables above; these throw the database's errors.
    void downloadFirst(DCP *dcp);
    void pause(bool force);
    void resume();
    // Paused or not, stored for the next start.
    void storePaused(bool value);

    DownloadQueue queue;
    Asset *currentAsset = nullptr;
    QNetworkAccessManager network;
    QNetworkReply *currentReply = nullptr;
    QTimer timeoutTimer;
    QTimer readTimer;
    QTimer activityTimer;
    quint32 readChunkSize = 20971520;
    bool paused = false;
    bool cancelled = false;
    ChecksumWorker *checksumWorker = nullptr;

    SetAsideDcps *m_setAside = nullptr;
    EngineActivity m_activity;
    DownloadRemoval m_removal{this};
    DestinationProblems m_destination{this};
    TransferProgress m_progress;

    OperatorBoxes m_boxes;
    bool shuttingDown = false;
    TransferJournal journal;
    // Set when the last run ended uncleanly: the first queue rebuild repairs what a kill
    // can leave between two writes (a visible file, an event not stored).
    bool repairAtNextRebuild = false;
    // The running (or last) transfer of the current asset: its request, reads, durable
    // points and write errors.
    AssetTransfer transfer{&journal};
};
