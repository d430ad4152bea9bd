#pragma once

#include "app/UserInteraction.h"
#include "catalogue/AssetKey.h"
#include "download/TransferJournal.h"
#include "download/AssetTransfer.h"

#include <QHash>
#include <QSet>
#include <QList>
#include <QMap>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QObject>
#include <QString>

class Asset;
class ChecksumWorker;
class DCP;
class QThread;
class QTimer;
class Reel;

// Fetches the catalogue's assets one at a time, resuming partial files with range
// requests and pacing reads to the user's speed limit; hands each fully downloaded reel
// to the checksum worker; ends downloads whose links expired and removes DCPs and reels.
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
    static DownloadManager *instance();

    // Called from the window (and from the manager's own slots): none of these lets an
    // exception out; a failure is logged and shown, and the catalogue stays as the
    // database has it (see WindowCall).
    Q_INVOKABLE void startDownloading(DCP *dcp);
    Q_INVOKABLE void pauseDownloading(bool force);
    Q_INVOKABLE void pauseDownloading();
    Q_INVOKABLE void resumeDownloading();
    Q_INVOKABLE bool removeDownload(DCP *dcp);
    Q_INVOKABLE void removeDownloadReel(Reel *reel);
    Q_INVOKABLE QObject *getCurrentDownloadingDCP() const;
    // A reel that failed verification three times is downloaded again from the start, its
    // attempts counted anew.
    Q_INVOKABLE void downloadReelAgain(Reel *reel);

    // A DCP set aside (its links refused, its drive full) goes back in the queue: fresh
    // links arrived, space was freed, or the operator started it.
    void returnSetAside(DCP *dcp);
    QString activity() const { return m_activity; }
    QString activityText() const { return m_activityText; }
    QString portalError() const;
    // Reads the engine's state again and tells the window when it changed.
    void refreshActivity();

    void rebuildQueue();
    void startNextDownload();
    void enqueueAsset(Asset *asset);
    bool isQueued(Asset *asset) const;
    static bool isEligible(const Asset *asset);
    // The reel event a progress sample raises: 3, 4 or 5 from 25, 50 and 75 percent; 0 below.
    static int progressEvent(quint64 downloaded, quint64 total);
    void abortCurrentDownload();
    bool hasEnoughDiskSpace(const QString &directory, quint64 size);
    void setReadChunkSize(uint bytesPerSecond);
    // No limit at all: each tick may take up to the engine's first per-tick budget, far
    // more than a reply holds (the speed schedule's "unlimited" rows).
    static const quint32 unlimitedReadChunkSize = 20971520;
    void setReadUnlimited();

    uint readChunkSizeValue() const { return readChunkSize; }
    bool isPaused() const { return paused; }
    Asset *currentAssetForTest() const { return currentAsset; }
    QList<Asset *> queuedAssets() const { return queue; }
    ChecksumWorker *checksumWorkerObject() const { return checksumWorker; }
    // What the running reply holds that the engine has not read yet.
    qint64 unreadReplyBytes() const { return currentReply ? currentReply->bytesAvailable() : 0; }

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
    enum class SetAsideCause { LinksRefused, NoSpace };
    // Passes the DCP by until its cause is gone; its assets leave the queue and a transfer
    // of it stops. The others go on.
    void setAside(DCP *dcp, SetAsideCause cause, const QString &drive = QString());
    // Every DCP downloading to the drive, which has too little space left.
    void setAsideDrive(const QString &drive);
    // Space freed on a drive brings its DCPs back.
    void recheckSetAsideSpace();
    void startNextSoon();
    void HandleExpiredLinks(DCP *dcp, const QString &message);
    void dropFromQueue(Asset *asset);
    void stopOnWriteFailure(const QString &reason);
    // Stops downloads after a failed write of path and tells the user: the disk-space box
    // for a full disk, otherwise the box that names the file and the system's reason.
    void stopOnWriteError(const QString &path, int error);
    // Shows a box; while it is open no transfer is started (a stall timer firing in its
    // event loop would open a second box on top of it).
    UserInteraction::Button askUser(const UserInteraction::Message &message);
    void raiseEvent(Reel *reel, int event);
    // Hides the file of an asset that no reel listing it has had acknowledged yet; true when
    // it hid a visible file.
    // unacknowledged, when given, holds the reels with an event not yet acknowledged (read
    // once for many files instead of asking the database for each).
    bool hideUnlessAcknowledged(Asset *asset, const QSet<QString> *unacknowledged = nullptr);
    // A run ended between creating a file and hiding it leaves the file visible, and a later
    // run resumes it as it finds it: after such an end every file of the catalogue that no
    // acknowledged reel lists is hidden again.
    void hideFilesLeftVisible();
    // After an unclean end: an asset whose file recovery cut back, or a finished asset whose
    // file is shorter than its listed size, is downloaded and verified again, hidden meanwhile.
    void takeBackAssetsThatLostBytes();

    // The work of the invokables above; these throw the database's errors.
    void downloadFirst(DCP *dcp);
    void pause(bool force);
    void resume();
    void removeDcp(DCP *dcp);
    void removeReel(Reel *reel);
    void downloadAgain(Reel *reel);

    QList<Asset *> queue;
    QHash<AssetKey, Asset *> queuedKeys;
    Asset *currentAsset = nullptr;
    quint64 bytesSinceSample = 0;
    QNetworkAccessManager network;
    QNetworkReply *currentReply = nullptr;
    QTimer *timeoutTimer = nullptr;
    QTimer *readTimer = nullptr;
    quint32 readChunkSize = 20971520;
    bool paused = false;
    bool cancelled = false;
    ChecksumWorker *checksumWorker = nullptr;
    QThread *checksumThread = nullptr;
    // Removed DCPs and reels stay alive for the rest of the run: the window and signals
    // already queued may still refer to them. Kept here so they are owned, not lost.
    QList<DCP *> removedDcps;
    QList<Reel *> removedReels;

    struct SetAsideEntry {
        SetAsideCause cause;
        QString drive;
    };
    QHash<QString, SetAsideEntry> setAsideDcps; // by DCP uuid
    // The box for a cause is shown once: "links <dcp uuid>" or "space <drive>".
    QSet<QString> boxesShown;
    QTimer *setAsideTimer = nullptr;
    // Why the last transfer stopped before its end, and when the next try is due.
    QString retryReason;
    qint64 retryAt = 0;
    QString m_activity = "ready";
    QString m_activityText = "Ready.";
    QTimer *activityTimer = nullptr;

    bool askingUser = false;
    bool shuttingDown = false;
    TransferJournal journal;
    // Set when the last run ended uncleanly: the first queue rebuild repairs what a kill
    // can leave between two writes (a visible file, an event not stored).
    bool repairAtNextRebuild = false;
    // The journal's recovery and this run's marker, once the catalogue is loaded.
    void startJournal();
    bool journalStarted = false;
    // The running (or last) transfer of the current asset: its request, reads, durable
    // points and write errors.
    AssetTransfer transfer{&journal};
};
