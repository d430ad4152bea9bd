#include "download/DownloadQueue.h"

#include "catalogue/DCP.h"
#include "catalogue/Reel.h"
#include "download/Asset.h"

DownloadQueue::DownloadQueue(std::function<bool(const DCP *)> passedBy)
    : m_passedBy(std::move(passedBy))
{
}

void DownloadQueue::enqueue(Asset *asset)
{
    // A DCP set aside waits for its cause to go; the queue passes it by.
    if (asset->dcp() && m_passedBy(asset->dcp()))
        return;
    Asset *&slot = m_keys[assetKey(asset)];
    if (slot)
        return;
    slot = asset;
    m_assets.append(asset);
}

void DownloadQueue::enqueueEligible(const QList<DCP *> &dcps)
{
    for (DCP *dcp : dcps)
        for (Reel *reel : dcp->getReels())
            for (Asset *asset : reel->getAssets())
                if (asset->isDownloadEligible())
                    enqueue(asset);
}

QList<Reel *> DownloadQueue::rebuild(const QList<DCP *> &dcps, Asset *current)
{
    clear();
    if (current)
        enqueue(current);
    QList<Reel *> unverified;
    for (DCP *dcp : dcps) {
        for (Reel *reel : dcp->getReels()) {
            bool needsVerification = false;
            for (Asset *asset : reel->getAssets()) {
                if (asset->isDownloadFinished())
                    needsVerification = needsVerification
                        || (!asset->isDownloadChecksummed() && !asset->isDownloadCorrupted());
                else if (asset->isDownloadEligible())
                    enqueue(asset);
            }
            if (needsVerification && reel->isDownloaded())
                unverified.append(reel);
        }
    }
    return unverified;
}

void DownloadQueue::remove(Asset *asset)
{
    m_assets.removeAll(asset);
    m_keys.remove(assetKey(asset));
}

void DownloadQueue::removeDcp(const DCP *dcp)
{
    for (Asset *asset : dcp->getAssets())
        remove(asset);
}

void DownloadQueue::clear()
{
    m_assets.clear();
    m_keys.clear();
}

void DownloadQueue::takeHead()
{
    if (!m_assets.isEmpty())
        m_keys.remove(assetKey(m_assets.takeFirst()));
}
