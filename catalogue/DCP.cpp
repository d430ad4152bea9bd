#include "catalogue/DCP.h"

#include "catalogue/DatabaseManager.h"
#include "catalogue/DatabaseTransaction.h"
#include "catalogue/Reel.h"
#include "catalogue/Setting.h"
#include "download/Asset.h"

#include <QDebug>
#include <QQmlEngine>

#include <algorithm>
#include <stdexcept>

DCP::DCP(const QString &uuid, const QString &title, const QString &imageUrl, const QString &downloadPath)
    : m_uuid(uuid)
    , m_title(title)
    , m_imageUrl(imageUrl)
    , m_downloadPath(downloadPath)
{
    QQmlEngine::setObjectOwnership(this, QQmlEngine::CppOwnership);
    // The window hands DCPs back to the download manager (start, remove): QML converts
    // its objects only to pointer types the meta-type system knows.
    static const int registered = qRegisterMetaType<DCP *>("DCP*");
    Q_UNUSED(registered)
}

QList<QObject *> DCP::reelObjects() const
{
    QList<QObject *> objects;
    objects.reserve(m_reels.size());
    for (Reel *reel : m_reels)
        objects.append(reel);
    return objects;
}

void DCP::addReel(Reel *reel)
{
    m_reels.append(reel);
    m_reelIndex.insert(reel->uuid(), reel);
    emit reelsChanged();
    emit finishedChanged();
}

void DCP::addAsset(Asset *asset)
{
    m_assets.append(asset);
    m_assetIndex.insert(AssetKey(asset->uuid(), m_uuid), asset);
}

Reel *DCP::getReel(const QString &reelUuid) const
{
    return m_reelIndex.value(reelUuid, nullptr);
}

Asset *DCP::getAsset(const QString &assetUuid) const
{
    return m_assetIndex.value(AssetKey(assetUuid, m_uuid), nullptr);
}

QList<Asset *> DCP::assetsOnlyIn(const Reel *reel) const
{
    QList<Asset *> only;
    for (Asset *asset : reel->getAssets()) {
        const bool shared = std::any_of(m_reels.cbegin(), m_reels.cend(), [&](const Reel *other) {
            return other != reel && other->getAssets().contains(asset);
        });
        if (!shared)
            only.append(asset);
    }
    return only;
}

void DCP::removeReel(Reel *reel)
{
    const QList<Asset *> leaving = assetsOnlyIn(reel);
    DatabaseManager *database = DatabaseManager::instance();
    DatabaseTransaction transaction(database);
    reel->remove();
    if (!transaction.commit())
        throw std::runtime_error("Unable to remove the reel");

    m_reels.removeAll(reel);
    m_reelIndex.remove(reel->uuid());
    for (Asset *asset : leaving) {
        m_assets.removeAll(asset);
        m_assetIndex.remove(assetKey(asset));
    }
}

void DCP::sync()
{
    qDebug() << "Syncing DCP..." << m_uuid;
    DatabaseManager *database = DatabaseManager::instance();
    DatabaseTransaction transaction(database);
    database->insertDcp(this);
    for (Reel *reel : qAsConst(m_reels))
        reel->sync();
    if (!transaction.commit())
        throw std::runtime_error("Unable to store the DCP");
}

bool DCP::isFinished() const
{
    for (const Reel *reel : m_reels) {
        if (!reel->isFinished())
            return false;
    }
    return true;
}

quint64 DCP::getTotalSize() const
{
    quint64 total = 0;
    for (const Reel *reel : m_reels)
        total += reel->getTotalSize();
    return total;
}

quint64 DCP::getDownloadedSize() const
{
    quint64 total = 0;
    for (const Reel *reel : m_reels)
        total += reel->getDownloadedSize();
    return total;
}

quint64 DCP::getDownloadedSizeUI() const
{
    quint64 total = 0;
    for (const Reel *reel : m_reels) {
        if (reel->isCorrupted() || reel->isChecksummed() || reel->isDownloaded())
            total += reel->getTotalSize();
        else
            total += reel->getDownloadedSize();
    }
    return total;
}

void DCP::setSetAside(const QString &text)
{
    if (m_setAside == text)
        return;
    m_setAside = text;
    emit statusChanged();
}

namespace {

QString removedReelsKey(const QString &dcpUuid)
{
    return "removed_reels " + dcpUuid;
}

}

int DCP::missingReels() const
{
    const QString stored = Setting::instance()->get(removedReelsKey(m_uuid));
    int missing = 0;
    for (const QString &reelUuid : stored.split(',', Qt::SkipEmptyParts))
        if (!m_reelIndex.contains(reelUuid))
            ++missing;
    return missing;
}

void DCP::noteRemovedReel(const QString &reelUuid)
{
    QStringList removed = Setting::instance()->get(removedReelsKey(m_uuid)).split(',', Qt::SkipEmptyParts);
    if (removed.contains(reelUuid))
        return;
    removed.append(reelUuid);
    Setting::instance()->set(removedReelsKey(m_uuid), removed.join(','));
    Setting::instance()->save();
}

void DCP::forgetRemovedReels()
{
    if (Setting::instance()->get(removedReelsKey(m_uuid)).isEmpty())
        return;
    Setting::instance()->set(removedReelsKey(m_uuid), QString());
    Setting::instance()->save();
}
