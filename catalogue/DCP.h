#pragma once

#include "catalogue/AssetKey.h"

#include <QList>
#include <QMap>
#include <QObject>
#include <QString>

class Asset;
class Reel;

// One digital cinema package of the catalogue: its reels and assets, its sizes and state.
class DCP : public QObject
{
    Q_OBJECT
    Q_PROPERTY(QString id READ uuid)
    Q_PROPERTY(QString title READ title CONSTANT)
    Q_PROPERTY(QString friendly_title READ friendlyTitle CONSTANT)
    Q_PROPERTY(QString image_url READ imageUrl CONSTANT)
    Q_PROPERTY(QString download_path READ downloadPath)
    Q_PROPERTY(QList<QObject *> reels READ reelObjects NOTIFY reelsChanged)
    Q_PROPERTY(bool finished READ isFinished NOTIFY finishedChanged)
    Q_PROPERTY(QString set_aside READ setAsideText NOTIFY statusChanged)
    // Reels it was ordered with that the operator removed; it is not complete without them.
    Q_PROPERTY(int missing_reels READ missingReels NOTIFY reelsChanged)
public:
    DCP(const QString &uuid, const QString &title, const QString &imageUrl, const QString &downloadPath);

    quint32 dbId() const { return m_dbId; }
    void setDbId(quint32 id) { m_dbId = id; }
    QString uuid() const { return m_uuid; }
    QString title() const { return m_title; }
    QString friendlyTitle() const { return m_friendlyTitle; }
    void setFriendlyTitle(const QString &title) { m_friendlyTitle = title; }
    QString imageUrl() const { return m_imageUrl; }
    QString downloadPath() const { return m_downloadPath; }
    QString userUuid() const { return m_userUuid; }
    void setUserUuid(const QString &uuid) { m_userUuid = uuid; }
    quint64 campaignDcpId() const { return m_campaignDcpId; }
    void setCampaignDcpId(quint64 id) { m_campaignDcpId = id; }

    QList<Asset *> getAssets() const { return m_assets; }
    QList<Reel *> getReels() const { return m_reels; }
    QList<QObject *> reelObjects() const;

    void addReel(Reel *reel);
    void addAsset(Asset *asset);
    Reel *getReel(const QString &reelUuid) const;
    Asset *getAsset(const QString &assetUuid) const;
    // The reel's assets that no other reel of this DCP lists.
    QList<Asset *> assetsOnlyIn(const Reel *reel) const;
    // Takes the reel out and deletes its rows; the assets another reel still lists stay,
    // with their rows and that reel's link rows.
    void removeReel(Reel *reel);
    void sync();

    bool isFinished() const;

    // Why the downloads passed this DCP by, in the operator's words; empty while it is
    // downloaded like any other.
    QString setAsideText() const { return m_setAside; }
    bool isSetAside() const { return !m_setAside.isEmpty(); }
    void setSetAside(const QString &text);

    // The reels removed from this DCP are remembered in the settings store until a package
    // brings them back or the DCP leaves the catalogue.
    int missingReels() const;
    void noteRemovedReel(const QString &reelUuid);
    void forgetRemovedReels();

    Q_INVOKABLE quint64 getTotalSize() const;
    Q_INVOKABLE quint64 getDownloadedSize() const;
    Q_INVOKABLE quint64 getDownloadedSizeUI() const;

signals:
    void finishedChanged();
    void reelsChanged();
    void statusChanged();
    void downloadFinished();
    void downloadProgress();

private:
    quint32 m_dbId = 0;
    QString m_uuid;
    QString m_title;
    QString m_friendlyTitle;
    QString m_imageUrl;
    QString m_downloadPath;
    QString m_userUuid;
    quint64 m_campaignDcpId = 0;
    QString m_setAside;
    QList<Asset *> m_assets;
    QMap<AssetKey, Asset *> m_assetIndex;
    QList<Reel *> m_reels;
    QMap<QString, Reel *> m_reelIndex;
};
