#pragma once

#include "catalogue/AssetKey.h"

#include <QList>
#include <QMap>
#include <QObject>
#include <QString>

#include <atomic>

class Asset;
class DCP;

// One reel of a composition and the assets whose files make it up.
class Reel : public QObject
{
    Q_OBJECT
    Q_PROPERTY(QString uuid READ uuid)
    Q_PROPERTY(quint32 reel_number READ reelNumber CONSTANT)
public:
    Reel(const QString &uuid, const QString &pictureUuid, const QString &soundUuid,
         const QString &subtitleUuid, quint32 reelNumber);
    Reel(const QString &uuid, quint32 reelNumber);

    quint32 dbId() const { return m_dbId; }
    void setDbId(quint32 id) { m_dbId = id; }
    QString uuid() const { return m_uuid; }
    QString pictureUuid() const { return m_pictureUuid; }
    QString soundUuid() const { return m_soundUuid; }
    QString subtitleUuid() const { return m_subtitleUuid; }
    quint32 reelNumber() const { return m_reelNumber; }
    DCP *getDCP() const { return m_dcp; }
    void setDCP(DCP *dcp) { m_dcp = dcp; }
    QList<Asset *> getAssets() const { return m_assets; }

    void addAsset(Asset *asset);
    // Takes an asset that is being destroyed out of this reel.
    void removeAsset(Asset *asset);
    void clearAssets();
    // Puts another object for the same asset in the place of one this reel lists.
    void replaceAsset(Asset *listed, Asset *replacement);
    void sync();
    // Deletes the reel's row and link rows, and the rows of the assets no other reel of
    // its DCP lists.
    void remove();

    Q_INVOKABLE quint64 getTotalSize() const;
    Q_INVOKABLE quint64 getDownloadedSize() const;
    Q_INVOKABLE bool isSynced() const;
    // The synced state as this reel's own signals last reported it, read from the database
    // only on the first call: for the window, which must not query the database while it
    // redraws on every progress signal.
    Q_INVOKABLE bool isSyncedKnown() const;
    Q_INVOKABLE bool isFinished() const;
    Q_INVOKABLE bool isDownloaded() const;
    Q_INVOKABLE bool isChecksummed() const;
    Q_INVOKABLE bool isCorrupted() const;

signals:
    void downloadSynced();
    void downloadPaused();
    void downloadChecksummed();
    void downloadCorrupted();
    void downloadQueuedForRedownload();
    void downloadCheckingChecksum();
    void downloadProgress(quint64 speed);

private:
    quint32 m_dbId = 0;
    QString m_uuid;
    QString m_pictureUuid;
    QString m_soundUuid;
    QString m_subtitleUuid;
    quint32 m_reelNumber;
    DCP *m_dcp = nullptr;
    QList<Asset *> m_assets;
    QMap<AssetKey, Asset *> m_assetIndex;
    // -1 not read yet, 0 events still unacknowledged, 1 synced. Written from the checksum
    // worker's thread too (through the signals it raises), hence atomic.
    mutable std::atomic<int> m_syncedKnown{-1};
};
