#include "catalogue/DCPManager.h"

#include "app/WindowCall.h"
#include "catalogue/DCP.h"
#include "catalogue/DatabaseManager.h"
#include "catalogue/Reel.h"
#include "download/Asset.h"
#include "download/DownloadManager.h"
#include "download/FileManager.h"
#include "import/DCPXMLReader.h"

#include <QDebug>
#include <QDir>
#include <QQmlEngine>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QVariant>

#include <algorithm>
#include <stdexcept>

DCPManager *DCPManager::instance()
{
    static DCPManager *singleton = nullptr;
    if (!singleton) {
        singleton = new DCPManager();
        QQmlEngine::setObjectOwnership(singleton, QQmlEngine::CppOwnership);
        if (singleton->loadDCPs())
            singleton->rebuildDownloadQueue();
    }
    return singleton;
}

DCPManager::DCPManager() = default;

bool DCPManager::loadDCPs()
{
    QMap<AssetKey, Asset *> assets;
    QMap<QString, Reel *> reels;
    QMap<QString, DCP *> dcps;
    QList<DCP *> order;

    QSqlQuery query = DatabaseManager::instance()->getDCPsQuery();
    const QSqlRecord record = query.record();
    const int dcpUuidColumn = record.indexOf("dcp_uuid");
    const int dcpTitleColumn = record.indexOf("dcp_title");
    const int dcpFriendlyTitleColumn = record.indexOf("dcp_friendly_title");
    const int dcpImageUrlColumn = record.indexOf("dcp_image_url");
    const int dcpDownloadPathColumn = record.indexOf("dcp_download_path");
    const int dcpUserUuidColumn = record.indexOf("dcp_user_uuid");
    const int dcpCampaignColumn = record.indexOf("dcp_campaign_dcp_id");
    const int reelUuidColumn = record.indexOf("reel_uuid");
    const int reelNumberColumn = record.indexOf("reel_reel_number");
    const int assetUuidColumn = record.indexOf("asset_uuid");
    const int assetHashColumn = record.indexOf("asset_hash");
    const int assetSizeColumn = record.indexOf("asset_size");
    const int assetTypeColumn = record.indexOf("asset_type");
    const int assetFileNameColumn = record.indexOf("asset_original_filename");
    const int assetDirectoryColumn = record.indexOf("asset_directory_path");
    const int assetUrlColumn = record.indexOf("asset_download_url");
    const int assetStartedColumn = record.indexOf("asset_download_started");
    const int assetFinishedColumn = record.indexOf("asset_download_finished");
    const int assetChecksummedColumn = record.indexOf("asset_download_checksummed");
    const int assetCorruptedColumn = record.indexOf("asset_download_corrupted");
    const int assetAttemptsColumn = record.indexOf("asset_download_attempts");
    const int dcpDbIdColumn = record.indexOf("dcp_db_id");
    const int reelDbIdColumn = record.indexOf("reel_db_id");

    while (query.next()) {
        // A link row whose asset, reel or DCP row is gone joins to NULLs; building objects
        // from them would put empty uuids into the catalogue.
        if (query.isNull(dcpDbIdColumn) || query.isNull(reelDbIdColumn) || query.isNull(assetUuidColumn)) {
            qDebug() << "[DCPManager] Skipping a link row without its dcp, reel or asset row";
            continue;
        }
        const QString dcpUuid = query.value(dcpUuidColumn).toString();
        const QString reelUuid = query.value(reelUuidColumn).toString();
        const quint32 reelNumber = query.value(reelNumberColumn).toUInt();
        const QString assetUuid = query.value(assetUuidColumn).toString();

        const AssetKey key(assetUuid, dcpUuid);
        Asset *asset = assets.value(key, nullptr);
        if (!asset) {
            asset = new Asset(assetUuid, query.value(assetHashColumn).toString(), query.value(assetSizeColumn).toULongLong(),
                              query.value(assetTypeColumn).toString(), query.value(assetFileNameColumn).toString(),
                              query.value(assetUrlColumn).toString());
            asset->setDirectoryPath(query.value(assetDirectoryColumn).toString());
            asset->setDownloadStarted(query.value(assetStartedColumn).toBool());
            asset->setDownloadFinished(query.value(assetFinishedColumn).toBool());
            asset->setDownloadChecksummed(query.value(assetChecksummedColumn).toBool());
            asset->setDownloadCorrupted(query.value(assetCorruptedColumn).toBool());
            asset->setDownloadAttempts(query.value(assetAttemptsColumn).toUInt());
            assets.insert(key, asset);
        }

        Reel *reel = reels.value(reelUuid, nullptr);
        if (!reel) {
            reel = new Reel(reelUuid, reelNumber);
            reel->setDbId(query.value(reelDbIdColumn).toUInt());
            reels.insert(reelUuid, reel);
        }

        DCP *dcp = dcps.value(dcpUuid, nullptr);
        if (!dcp) {
            dcp = new DCP(dcpUuid, query.value(dcpTitleColumn).toString(), query.value(dcpImageUrlColumn).toString(),
                          query.value(dcpDownloadPathColumn).toString());
            dcp->setDbId(query.value(dcpDbIdColumn).toUInt());
            dcp->setUserUuid(query.value(dcpUserUuidColumn).toString());
            dcp->setCampaignDcpId(query.value(dcpCampaignColumn).toULongLong());
            dcp->setFriendlyTitle(query.value(dcpFriendlyTitleColumn).toString());
            dcps.insert(dcpUuid, dcp);
            order.append(dcp);
        }

        asset->addReel(reel);
        asset->setDcp(dcp);
        reel->addAsset(asset);
        reel->setDCP(dcp);
        if (!dcp->getReel(reelUuid))
            dcp->addReel(reel);
        if (!dcp->getAsset(assetUuid))
            dcp->addAsset(asset);
    }

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
    DownloadManager::instance()->rebuildQueue();
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
    emit dcpsChanged();
}

QList<QObject *> DCPManager::dcps()
{
    m_shownDcps.clear();
    for (DCP *dcp : qAsConst(m_dcps)) {
        if (m_searchFilter.isEmpty() || dcp->dbId() == 0 || dcp->title().contains(m_searchFilter, Qt::CaseInsensitive)
            || dcp->friendlyTitle().contains(m_searchFilter, Qt::CaseInsensitive))
            m_shownDcps.append(dcp);
    }
    return m_shownDcps;
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
    Asset *known = m_assetIndex.value(key, nullptr);
    if (known == asset)
        return;
    if (known)
        m_assets.removeAll(known);
    m_assets.append(asset);
    m_assetIndex.insert(key, asset);
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
    emit dcpsChanged();
    emit filterChanged();
}

void DCPManager::loadDCPFromFile(const QString &path)
{
    WindowCall::guard("[DCPManager] loadDCPFromFile failed:", "The package could not be loaded.",
                      [&] { importPackage(path); });
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
            std::sort(m_dcps.begin(), m_dcps.end(), [](const DCP *a, const DCP *b) { return a->title() < b->title(); });
        } else {
            return;
        }
        emit dcpsChanged();
    });
}

void DCPManager::setSearchFilter(const QString &text)
{
    WindowCall::guard("[DCPManager] setSearchFilter failed:", "The search could not be applied.", [&] {
        m_searchFilter = text.trimmed();
        emit dcpsChanged();
        emit filterChanged();
    });
}
