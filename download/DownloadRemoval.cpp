#include "download/DownloadRemoval.h"

#include "base/UserInteraction.h"
#include "catalogue/DCP.h"
#include "catalogue/DCPManager.h"
#include "catalogue/DatabaseManager.h"
#include "catalogue/DatabaseTransaction.h"
#include "catalogue/Reel.h"
#include "download/Asset.h"
#include "download/ChecksumWorker.h"
#include "download/DownloadManager.h"
#include "download/SetAsideDcps.h"
#include "download/UncleanEndRepair.h"

#include <QDebug>
#include <QFileInfo>
#include <QUrl>

#include <stdexcept>

DownloadRemoval::DownloadRemoval(DownloadManager *engine)
    : m_engine(engine)
{
}

void DownloadRemoval::removeDcp(DCP *dcp)
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
        m_engine->dropFromQueue(asset);
    // Its reels leave the verification queue too; the objects stay alive for the window.
    for (Reel *reel : dcp->getReels())
        m_engine->checksumWorkerObject()->forgetReel(reel);
    DCPManager::instance()->removeDCPFromIndex(dcp);
    dcp->forgetRemovedReels();
    m_engine->setAsideDcps()->forget(dcp);
    if (!m_removedDcps.contains(dcp))
        m_removedDcps.append(dcp);
    m_engine->continueAfterRemoval();
}

void DownloadRemoval::removeReel(Reel *reel)
{
    qDebug() << "[DownloadManager] Removing Reel: " << reel->uuid();
    if (m_engine->checksumWorkerObject()->hasJob(reel)) {
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
            UncleanEndRepair::hideUnlessAcknowledged(asset);
            continue;
        }
        m_engine->dropFromQueue(asset);
        asset->removeFromFileSystem();
        DCPManager::instance()->removeAssetFromIndex(asset);
        m_engine->checksumWorkerObject()->forgetAsset(asset);
        delete asset;
    }
    reel->clearAssets();
    DCPManager::instance()->removeReelFromIndex(reel);
    m_removedReels.append(reel);
    m_engine->continueAfterRemoval();
    qDebug() << "[DownloadManager] Emitting reelsChanged...";
    emit dcp->reelsChanged();
    emit dcp->finishedChanged();
    if (dcp->getReels().isEmpty())
        m_engine->removeDownload(dcp);
}

void DownloadRemoval::downloadAgain(Reel *reel)
{
    if (!reel->isCorrupted() || m_engine->checksumWorkerObject()->hasJob(reel))
        return;
    qDebug() << "[DownloadManager] Downloading Reel again: " << reel->uuid();
    // Only the files that failed for good start over. Another file of the reel may be on its
    // way (sent back by the same verification): its transfer and its attempts are left alone.
    QList<Asset *> again;
    for (Asset *asset : reel->getAssets())
        if (asset->isDownloadCorrupted())
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
        m_engine->enqueueAsset(asset);
    }
    emit reel->downloadQueuedForRedownload();
    if (reel->getDCP()) {
        emit reel->getDCP()->statusChanged();
        emit reel->getDCP()->finishedChanged();
    }
    m_engine->startIfIdle();
    m_engine->refreshActivity();
}

QString DownloadRemoval::refusalMessage(int status, const QString &friendlyTitle)
{
    if (status == 403 || status == 404)
        return QString("One of the files for DCP %1 is missing and can not be downloaded. You won't be able to finish "
                       "the given download.")
            .arg(friendlyTitle);
    if (status == 400)
        return QString("Download links for DCP %1 expired. You won't be able to finish the given download.")
            .arg(friendlyTitle);
    return QString();
}

void DownloadRemoval::retryWithCurrentLink(Asset *asset, const QUrl &refusedUrl)
{
    qDebug() << "[DownloadManager] Refusal of a replaced link" << refusedUrl.toString()
             << "; trying the current link of asset:" << asset->uuid();
    const AssetKey key = assetKey(asset);
    DownloadManager *engine = m_engine;
    QMetaObject::invokeMethod(
        engine,
        [engine, key] {
            // Once the refused reply has ended, unless something else started meanwhile.
            const Asset *current = engine->downloadingAsset();
            if (current && assetKey(current) == key && !engine->isTransferRunning() && !engine->isPaused())
                engine->startNextDownload();
        },
        Qt::QueuedConnection);
}

void DownloadRemoval::linksRefused(Asset *asset, const QUrl &refusedUrl, const QString &message)
{
    if (refusedUrl != QUrl(asset->downloadUrl())) {
        retryWithCurrentLink(asset, refusedUrl);
        return;
    }
    // Inside its own error signal the reply must be neither aborted nor outlived by a modal
    // box: the dialog runs once the signal has returned, and finds the DCP again by its
    // uuid in case it was removed meanwhile.
    const QString dcpUuid = asset->dcp()->uuid();
    const QString assetUuid = asset->uuid();
    QMetaObject::invokeMethod(
        m_engine,
        [this, dcpUuid, assetUuid, refusedUrl, message] {
            DCP *dcp = DCPManager::instance()->getDCP(dcpUuid);
            if (!dcp)
                return;
            // Fresh links may have come in the meantime, too.
            Asset *refused = dcp->getAsset(assetUuid);
            if (refused && QUrl(refused->downloadUrl()) != refusedUrl) {
                retryWithCurrentLink(refused, refusedUrl);
                return;
            }
            HandleExpiredLinks(dcp, message);
        },
        Qt::QueuedConnection);
}

void DownloadRemoval::HandleExpiredLinks(DCP *dcp, const QString &message)
{
    qDebug() << "[DownloadManager] HandleExpiredLinks" << message;
    // The DCP is set aside and the others go on; the box is shown once for it.
    SetAsideDcps *setAside = m_engine->setAsideDcps();
    setAside->setAside(dcp, SetAsideDcps::Cause::LinksRefused);
    if (setAside->firstLinksBox(dcp->uuid())) {
        UserInteraction::Message box;
        box.icon = UserInteraction::Icon::Critical;
        box.text = "Download links expired";
        box.informativeText = message
            + "\r\n\r\nDo you want to remove outdated DCP?\r\n(This will NOT DELETE the files on your hard drive but "
              "simply remove the DCP from the Tolvane Downloader)";
        box.buttons = UserInteraction::Yes | UserInteraction::No;
        box.defaultButton = UserInteraction::No;
        if (m_engine->askUser(box) == UserInteraction::Yes) {
            qDebug() << "[DownloadManager] HandleExpiredLinks user action, removing expired DCP" << dcp->uuid();
            // A DCP the database would not let go of stays, set aside and hidden. The rows go
            // before the files are revealed: an end in between leaves hidden files of a DCP
            // the catalogue no longer lists, never visible files of one it still downloads.
            if (m_engine->removeDownload(dcp)) {
                for (Asset *asset : dcp->getAssets()) {
                    if (QFileInfo(asset->filePath()).isFile())
                        asset->reveal();
                }
            }
        }
    }
    m_engine->startNextSoon();
}
