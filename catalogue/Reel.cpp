#include "catalogue/Reel.h"

#include "catalogue/DCP.h"
#include "catalogue/DatabaseManager.h"
#include "download/Asset.h"

#include <QDebug>
#include <QQmlEngine>

AssetKey assetKey(const Asset *asset)
{
    return AssetKey(asset->uuid(), asset->dcp() ? asset->dcp()->uuid() : QString());
}

Reel::Reel(const QString &uuid, const QString &pictureUuid, const QString &soundUuid,
           const QString &subtitleUuid, quint32 reelNumber)
    : m_uuid(uuid)
    , m_pictureUuid(pictureUuid)
    , m_soundUuid(soundUuid)
    , m_subtitleUuid(subtitleUuid)
    , m_reelNumber(reelNumber)
{
    QQmlEngine::setObjectOwnership(this, QQmlEngine::CppOwnership);
    // The window hands reels back to the download manager for removal.
    static const int registered = qRegisterMetaType<Reel *>("Reel*");
    Q_UNUSED(registered)
    // Every signal but downloadSynced means a new event is, or is about to be, stored for
    // this reel; downloadSynced comes once all of them are acknowledged.
    auto unsynced = [this] { m_syncedKnown.store(0); };
    connect(this, &Reel::downloadChecksummed, unsynced);
    connect(this, &Reel::downloadCorrupted, unsynced);
    connect(this, &Reel::downloadQueuedForRedownload, unsynced);
    connect(this, &Reel::downloadCheckingChecksum, unsynced);
    connect(this, &Reel::downloadProgress, unsynced);
    connect(this, &Reel::downloadSynced, [this] { m_syncedKnown.store(1); });
}

Reel::Reel(const QString &uuid, quint32 reelNumber)
    : Reel(uuid, QString(), QString(), QString(), reelNumber)
{
}

void Reel::addAsset(Asset *asset)
{
    const AssetKey key = assetKey(asset);
    if (m_assetIndex.contains(key))
        return;
    m_assets.append(asset);
    m_assetIndex.insert(key, asset);
}

void Reel::removeAsset(Asset *asset)
{
    m_assets.removeAll(asset);
    for (auto it = m_assetIndex.begin(); it != m_assetIndex.end();) {
        if (it.value() == asset)
            it = m_assetIndex.erase(it);
        else
            ++it;
    }
}

void Reel::replaceAsset(Asset *listed, Asset *replacement)
{
    const int position = m_assets.indexOf(listed);
    if (position < 0)
        return;
    if (m_assets.contains(replacement)) {
        removeAsset(listed);
        return;
    }
    removeAsset(listed);
    m_assets.insert(position, replacement);
    m_assetIndex.insert(assetKey(replacement), replacement);
}

void Reel::clearAssets()
{
    m_assets.clear();
    m_assetIndex.clear();
}

void Reel::sync()
{
    qDebug() << "Syncing Reel... " << m_uuid;
    DatabaseManager::instance()->insertReel(this);
    for (Asset *asset : qAsConst(m_assets))
        asset->sync();
}

void Reel::remove()
{
    qDebug() << "Removing Reel... " << m_uuid;
    DatabaseManager::instance()->removeReel(this);
    const QList<Asset *> leaving = m_dcp ? m_dcp->assetsOnlyIn(this) : m_assets;
    for (Asset *asset : leaving)
        asset->removeFromDatabase();
}

quint64 Reel::getTotalSize() const
{
    quint64 total = 0;
    for (const Asset *asset : m_assets)
        total += asset->size();
    return total;
}

quint64 Reel::getDownloadedSize() const
{
    quint64 total = 0;
    for (const Asset *asset : m_assets)
        total += asset->sizeOnDisk();
    return total;
}

bool Reel::isSynced() const
{
    // Events left by an earlier reel with the same uuid are not this reel's.
    return DatabaseManager::instance()->countUnsyncedNotifications(m_uuid, m_dbId) == 0;
}

bool Reel::isSyncedKnown() const
{
    int known = m_syncedKnown.load();
    if (known < 0) {
        const int read = isSynced() ? 1 : 0;
        // A signal that arrived meanwhile is newer than the database read.
        m_syncedKnown.compare_exchange_strong(known, read);
        return m_syncedKnown.load() == 1;
    }
    return known == 1;
}

bool Reel::isFinished() const
{
    for (const Asset *asset : m_assets) {
        const bool checksummed = asset->isDownloadChecksummed();
        const quint32 attempts = asset->downloadAttempts();
        const bool done = asset->isDownloadFinished() || (checksummed && attempts > 2)
            || (checksummed && attempts == 2 && asset->isDownloadCorrupted());
        if (!done)
            return false;
    }
    return true;
}

bool Reel::isDownloaded() const
{
    for (const Asset *asset : m_assets) {
        if (!asset->isDownloadFinished())
            return false;
    }
    return true;
}

bool Reel::isChecksummed() const
{
    for (const Asset *asset : m_assets) {
        if (!asset->isDownloadChecksummed())
            return false;
    }
    return true;
}

bool Reel::isCorrupted() const
{
    for (const Asset *asset : m_assets) {
        if (asset->isDownloadCorrupted())
            return true;
    }
    return false;
}
