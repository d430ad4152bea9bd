#pragma once

#include "catalogue/AssetKey.h"

#include <QHash>
#include <QList>

#include <functional>

class Asset;
class DCP;
class Reel;

// The assets waiting to be downloaded, in download order; the head is the asset being (or
// about to be) downloaded. An asset listed by several reels is queued once; the assets of a
// DCP the engine passes by (set aside) are not queued at all. Assets are borrowed from the
// catalogue.
class DownloadQueue
{
public:
    // passedBy tells whether the engine passes a DCP by.
    explicit DownloadQueue(std::function<bool(const DCP *)> passedBy);

    // Appends the asset unless it is queued already or its DCP is passed by.
    void enqueue(Asset *asset);
    // Every asset of the DCPs that still needs downloading, DCP by DCP, reel by reel, in
    // their order.
    void enqueueEligible(const QList<DCP *> &dcps);
    // The queue anew from the catalogue's DCPs in their order, first the asset being
    // downloaded (current, when there is one); returns the reels whose files are all
    // downloaded and not all verified (a run may have stopped before handing them over).
    QList<Reel *> rebuild(const QList<DCP *> &dcps, Asset *current);
    bool contains(const Asset *asset) const { return m_keys.contains(assetKey(asset)); }
    // The asset leaves the queue (each time it is listed).
    void remove(Asset *asset);
    // Every asset of the DCP leaves the queue.
    void removeDcp(const DCP *dcp);
    void clear();
    // The finished head leaves the queue.
    void takeHead();

    bool isEmpty() const { return m_assets.isEmpty(); }
    int size() const { return m_assets.size(); }
    Asset *head() const { return m_assets.isEmpty() ? nullptr : m_assets.first(); }
    QList<Asset *> assets() const { return m_assets; }

private:
    std::function<bool(const DCP *)> m_passedBy;
    QList<Asset *> m_assets;
    QHash<AssetKey, Asset *> m_keys;
};
