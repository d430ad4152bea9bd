#include "download/UncleanEndRepair.h"

#include "catalogue/DCP.h"
#include "catalogue/DCPManager.h"
#include "catalogue/Reel.h"
#include "download/Asset.h"
#include "download/ChecksumWorker.h"
#include "download/FileManager.h"
#include "portal/NotificationManager.h"

#include <QDebug>
#include <QFileInfo>

namespace UncleanEndRepair {

void repair(const QStringList &cutPaths, const ChecksumWorker *checksumWorker)
{
    takeBackAssetsThatLostBytes(cutPaths);
    hideFilesLeftVisible();
    addMissingEvents(checksumWorker);
}

void takeBackAssetsThatLostBytes(const QStringList &cutPaths)
{
    for (DCP *dcp : DCPManager::instance()->allDCPs()) {
        for (Asset *asset : dcp->getAssets()) {
            // A corrupted asset is not downloaded again; its file was emptied already.
            if (asset->isDownloadCorrupted())
                continue;
            const QString path = asset->filePath();
            const bool wasCut = cutPaths.contains(path);
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

void hideFilesLeftVisible()
{
    // One read for the whole catalogue: a query per file would hold up the start of a big
    // catalogue for many seconds.
    const auto acknowledgements = DatabaseManager::instance()->reelAcknowledgements();
    for (DCP *dcp : DCPManager::instance()->allDCPs()) {
        for (Asset *asset : dcp->getAssets()) {
            if (hideUnlessAcknowledged(asset, &acknowledgements))
                qDebug() << "[DownloadManager] The last run left a file visible before its reel was acknowledged:"
                         << asset->filePath();
        }
    }
}

void addMissingEvents(const ChecksumWorker *checksumWorker)
{
    NotificationManager *notifications = NotificationManager::instance();
    for (Reel *reel : DCPManager::instance()->allReels()) {
        bool needsVerification = false;
        for (const Asset *asset : reel->getAssets())
            needsVerification = needsVerification
                || (asset->isDownloadFinished() && !asset->isDownloadChecksummed() && !asset->isDownloadCorrupted());
        // A reel about to be handed to verification has its event 2 stored already, unless
        // the run was killed between storing its last file as finished and storing the event.
        if (needsVerification && reel->isDownloaded() && !checksumWorker->hasJob(reel))
            notifications->notify(reel, 2);
        if (!needsVerification && reel->isChecksummed())
            notifications->notify(reel, 8);
    }
}

bool hideUnlessAcknowledged(Asset *asset, const QHash<QString, DatabaseManager::ReelAcknowledgement> *acknowledgements)
{
    // The reels first: for a finished catalogue that answers without touching the disk.
    for (Reel *other : asset->reels()) {
        if (!other->isChecksummed())
            continue;
        bool synced = false;
        if (acknowledgements) {
            const auto found = acknowledgements->constFind(DatabaseManager::reelKey(other->uuid(), other->dbId()));
            synced = found == acknowledgements->constEnd() || found->allSynced;
        } else {
            synced = other->isSynced();
        }
        if (synced)
            return false;
    }
    const QString path = asset->filePath();
    if (!QFileInfo::exists(path) || FileManager::isHidden(path))
        return false;
    return FileManager::hideFile(path);
}

}
