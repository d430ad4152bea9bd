#include "catalogue/DCPManager.h"

#include "base/UserInteraction.h"
#include "base/WindowCall.h"
#include "catalogue/DCP.h"
#include "catalogue/DatabaseManager.h"
#include "catalogue/DcpQueryRows.h"
#include "catalogue/Reel.h"
#include "download/Asset.h"
#include "download/FileManager.h"
#include "import/DCPXMLReader.h"

#include <QDebug>
#include <QDir>
#include <QHash>
#include <QQmlEngine>
#include <QVariant>

#include <algorithm>
#include <stdexcept>

DCPManager *DCPManager::instance()
{
    static DCPManager *singleton = nullptr;
    if (!singleton) {
        singleton = new DCPManager();
        QQmlEngine::setObjectOwnership(singleton, QQmlEngine::CppOwnership);
        QQmlEngine::setObjectOwnership(singleton->dcpList(), QQmlEngine::CppOwnership);
        if (singleton->loadDCPs())
            singleton->rebuildDownloadQueue();
    }
    return singleton;
}

DCPManager::DCPManager() = default;

bool DCPManager::loadDCPs()
{
    // Hashes: these maps only find objects again while the rows are read. Assets need no
    // map: the statement orders the rows by DCP row and asset row, so every row of one
    // asset follows the one before.
    QHash<QString, Reel *> reels;
    QHash<QString, DCP *> dcps;
    QList<DCP *> order;

    const std::unique_ptr<DcpQueryRows> rows = DatabaseManager::instance()->getDCPRows();
    DcpQueryRows &query = *rows;
    const int dcpUuidColumn = query.column("dcp_uuid");
    const int dcpTitleColumn = query.column("dcp_title");
    const int dcpFriendlyTitleColumn = query.column("dcp_friendly_title");
    const int dcpImageUrlColumn = query.column("dcp_image_url");
    const int dcpDownloadPathColumn = query.column("dcp_download_path");
    const int dcpUserUuidColumn = query.column("dcp_user_uuid");
    const int dcpCampaignColumn = query.column("dcp_campaign_dcp_id");
    const int reelUuidColumn = query.column("reel_uuid");
    const int reelNumberColumn = query.column("reel_reel_number");
    const int assetUuidColumn = query.column("asset_uuid");
    const int assetHashColumn = query.column("asset_hash");
    const int assetSizeColumn = query.column("asset_size");
    const int assetTypeColumn = query.column("asset_type");
    const int assetFileNameColumn = query.column("asset_original_filename");
    const int assetDirectoryColumn = query.column("asset_directory_path");
    const int assetUrlColumn = query.column("asset_download_url");
    const int assetStartedColumn = query.column("asset_download_started");
    const int assetFinishedColumn = query.column("asset_download_finished");
    const int assetChecksummedColumn = query.column("asset_download_checksummed");
    const int assetCorruptedColumn = query.column("asset_download_corrupted");
    const int assetAttemptsColumn = query.column("asset_download_attempts");
    const int dcpDbIdColumn = query.column("dcp_db_id");
    const int reelDbIdColumn = query.column("reel_db_id");

    // Consecutive rows mostly name the objects of the row before, which then need no lookup.
    DCP *dcp = nullptr;
    Reel *reel = nullptr;
    Asset *asset = nullptr;
    while (query.next()) {
        // A link row whose asset, reel or DCP row is gone joins to NULLs; building objects
        // from them would put empty uuids into the catalogue.
        if (query.isNull(dcpDbIdColumn) || query.isNull(reelDbIdColumn) || query.isNull(assetUuidColumn)) {
            qDebug() << "[DCPManager] Skipping a link row without its dcp, reel or asset row";
            continue;
        }
        const QString dcpUuid = query.text(dcpUuidColumn);
        const QString reelUuid = query.text(reelUuidColumn);
        const QString assetUuid = query.text(assetUuidColumn);

        const bool sameDcp = dcp && dcp->uuid() == dcpUuid;
        if (!sameDcp) {
            dcp = dcps.value(dcpUuid, nullptr);
            if (!dcp) {
                dcp = new DCP(dcpUuid, query.text(dcpTitleColumn), query.text(dcpImageUrlColumn),
                              query.text(dcpDownloadPathColumn));
                dcp->setDbId(query.toUInt(dcpDbIdColumn));
                dcp->setUserUuid(query.text(dcpUserUuidColumn));
                dcp->setCampaignDcpId(query.toULongLong(dcpCampaignColumn));
                dcp->setFriendlyTitle(query.text(dcpFriendlyTitleColumn));
                dcps.insert(dcpUuid, dcp);
                order.append(dcp);
            }
        }

        const bool sameAsset = sameDcp && asset && asset->uuid() == assetUuid;
        if (!sameAsset) {
            asset = new Asset(assetUuid, query.text(assetHashColumn),
                              query.toULongLong(assetSizeColumn), query.text(assetTypeColumn),
                              query.text(assetFileNameColumn), query.text(assetUrlColumn));
            asset->setDirectoryPath(query.text(assetDirectoryColumn));
            asset->setDownloadStarted(query.toBool(assetStartedColumn));
            asset->setDownloadFinished(query.toBool(assetFinishedColumn));
            asset->setDownloadChecksummed(query.toBool(assetChecksummedColumn));
            asset->setDownloadCorrupted(query.toBool(assetCorruptedColumn));
            asset->setDownloadAttempts(query.toUInt(assetAttemptsColumn));
        }

        const bool sameReel = reel && reel->uuid() == reelUuid;
        if (!sameReel) {
            reel = reels.value(reelUuid, nullptr);
            if (!reel) {
                reel = new Reel(reelUuid, query.toUInt(reelNumberColumn));
                reel->setDbId(query.toUInt(reelDbIdColumn));
                reels.insert(reelUuid, reel);
            }
        }

        asset->addReel(reel);
        asset->setDcp(dcp);
        reel->addAsset(asset);
        reel->setDCP(dcp);
        // The row before already linked this reel or this asset to this DCP.
        if (!(sameDcp && sameReel) && !dcp->getReel(reelUuid))
            dcp->addReel(reel);
        if (!sameAsset && !dcp->getAsset(assetUuid))
            dcp->addAsset(asset);
    }

    if (!query.errorText().isEmpty())
        qDebug() << "[DatabaseManager] Unable to run DCP query: " << query.errorText();

    bool kept = false;
    for (DCP *dcp : qAsConst(order)) {
        const QString path = dcp->downloadPath() + "/" + dcp->title();
        if (QDir(path).exists()) {
            addDCP(dcp);
            kept = true;
        } else {
            qDebug() << "[DCPManager] Warning: loadDCPs() removing dcp" << path;
            DatabaseManager::instance()->removeDCP(dcp);
            deleteDCP(dcp);
        }
    }
    return kept;
}

void DCPManager::rebuildDownloadQueue()
{
    emit downloadsChanged();
}

void DCPManager::noteFreshLinks(DCP *dcp)
{
    emit freshLinksArrived(dcp);
}

void DCPManager::deleteDCP(DCP *dcp)
{
    for (Asset *asset : dcp->getAssets())
        delete asset;
    for (Reel *reel : dcp->getReels())
        delete reel;
    delete dcp;
}

void DCPManager::addDCP(DCP *dcp)
{
    const QString path = dcp->downloadPath() + "/" + dcp->title();
    if (!FileManager::dirExists(path) && !FileManager::makePath(path)) {
        qDebug() << "[DcpManager] Unable to create directory for the DCP: " << path;
        throw std::runtime_error("Unable to create directory for the DCP");
    }
    m_dcps.append(dcp);
    m_dcpIndex.insert(dcp->uuid(), dcp);
    for (Asset *asset : dcp->getAssets())
        addAssetToIndex(asset);
    for (Reel *reel : dcp->getReels())
        addReelToIndex(reel);
    updateShownDcps();
    emit dcpsChanged();
    emit catalogueChanged();
}

bool DCPManager::matchesFilter(const DCP *dcp) const
{
    return m_searchFilter.isEmpty() || dcp->dbId() == 0 || dcp->title().contains(m_searchFilter, Qt::CaseInsensitive)
        || dcp->friendlyTitle().contains(m_searchFilter, Qt::CaseInsensitive);
}

void DCPManager::updateShownDcps()
{
    QList<DCP *> shown;
    for (DCP *dcp : qAsConst(m_dcps)) {
        if (matchesFilter(dcp))
            shown.append(dcp);
    }
    m_shownDcps.show(shown);
}

DCP *DCPManager::getDCP(const QString &dcpUuid) const
{
    return m_dcpIndex.value(dcpUuid, nullptr);
}

Reel *DCPManager::getReel(const QString &reelUuid) const
{
    return m_reelIndex.value(reelUuid, nullptr);
}

Asset *DCPManager::getAsset(const QString &assetUuid, const QString &dcpUuid) const
{
    return m_assetIndex.value(AssetKey(assetUuid, dcpUuid), nullptr);
}

void DCPManager::addReelToIndex(Reel *reel)
{
    m_reels.append(reel);
    m_reelIndex.insert(reel->uuid(), reel);
}

void DCPManager::addAssetToIndex(Asset *asset)
{
    // A new DCP's assets are indexed when they are stored and again when the DCP is
    // listed; the list holds each asset once.
    const AssetKey key = assetKey(asset);
    Asset *&slot = m_assetIndex[key];
    if (slot == asset)
        return;
    if (slot)
        m_assets.removeAll(slot);
    slot = asset;
    m_assets.append(asset);
}

void DCPManager::removeReelFromIndex(Reel *reel)
{
    m_reels.removeAll(reel);
    m_reelIndex.remove(reel->uuid());
}

void DCPManager::removeAssetFromIndex(Asset *asset)
{
    m_assets.removeAll(asset);
    m_assetIndex.remove(assetKey(asset));
}

void DCPManager::removeDCPFromIndex(DCP *dcp)
{
    for (Reel *reel : dcp->getReels())
        removeReelFromIndex(reel);
    for (Asset *asset : dcp->getAssets())
        removeAssetFromIndex(asset);
    m_dcps.removeAll(dcp);
    m_dcpIndex.remove(dcp->uuid());
    updateShownDcps();
    emit dcpsChanged();
    emit filterChanged();
    emit catalogueChanged();
}

void DCPManager::loadDCPFromFile(const QString &path)
{
    WindowCall::guard("[DCPManager] loadDCPFromFile failed:", "The package could not be loaded.",
                      [&] {
                          // Without a login, nothing chosen means nothing to log in for.
                          if (!isLoggedIn() && (path.isEmpty() || !logInForPackage(path)))
                              return;
                          importPackage(path);
                      });
}

bool DCPManager::logInForPackage(const QString &path)
{
    if (isLoggedIn())
        return true;
    qDebug() << "[DCPManager] Opening a package needs a login:" << path;
    // The request runs the login while this call waits; keep it alive until it returns.
    const LoginRequest request = m_loginRequest;
    QString key;
    if (!request(&key)) {
        qDebug() << "[DCPManager] No login; the package was not opened:" << path;
        UserInteraction::Message message;
        message.icon = UserInteraction::Icon::Warning;
        message.title = "Tolvane Downloader";
        message.text = "The package was not opened: opening a package needs a login to Tarn.";
        message.informativeText = "The downloads already in the catalogue go on. Please open the package again "
                                  "when you can log in.";
        message.buttons = UserInteraction::Ok;
        UserInteraction::current()->showMessage(message);
        return false;
    }
    m_decodingKey = key;
    m_loginRequest = nullptr;
    return true;
}

void DCPManager::importPackage(const QString &path)
{
    if (m_decodingKey.isEmpty())
        throw std::runtime_error("Can not load DCP when decoding key is empty");
    if (path.isEmpty())
        return;
    DCPXMLReader reader(m_decodingKey);
    reader.loadPackage(path);
}

void DCPManager::sortDCPsBy(const QString &key)
{
    WindowCall::guard("[DCPManager] sortDCPsBy failed:", "The DCPs could not be sorted.", [&] {
        if (key == "date") {
            std::sort(m_dcps.begin(), m_dcps.end(), [](const DCP *a, const DCP *b) { return a->dbId() > b->dbId(); });
        } else if (key == "name") {
            // By the title the cards show, ignoring case; equal titles keep their order.
            std::stable_sort(m_dcps.begin(), m_dcps.end(), [](const DCP *a, const DCP *b) {
                return a->friendlyTitle().compare(b->friendlyTitle(), Qt::CaseInsensitive) < 0;
            });
        } else {
            return;
        }
        updateShownDcps();
        emit dcpsChanged();
    });
}

void DCPManager::setSearchFilter(const QString &text)
{
    WindowCall::guard("[DCPManager] setSearchFilter failed:", "The search could not be applied.", [&] {
        m_searchFilter = text.trimmed();
        updateShownDcps();
        emit dcpsChanged();
        emit filterChanged();
    });
}
