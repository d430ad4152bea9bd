#pragma once

#include "base/PortalHosts.h"
#include "catalogue/AssetKey.h"
#include "catalogue/DcpListModel.h"

#include <QList>
#include <QHash>
#include <QMap>
#include <QObject>
#include <QString>

#include <functional>

class Asset;
class DCP;
class Reel;

// The in-memory catalogue: every DCP, reel and asset, their lookup indexes, and the
// filtered, sorted list the window shows. Owns the DCP objects and through them their
// reels and assets.
class DCPManager : public QObject
{
    Q_OBJECT
    // The DCPs the window shows: one model for the life of the process, whose rows follow
    // the catalogue, the search filter and the sort order.
    Q_PROPERTY(DcpListModel *dcps READ dcpList CONSTANT)
    Q_PROPERTY(bool haveSearchFilter READ haveSearchFilter NOTIFY filterChanged)
    // The portal's home page, where the window's "LAUNCH TARN" and the package reader's
    // questions send the user.
    Q_PROPERTY(QString portal_url READ portalHomeUrl CONSTANT)
public:
    static DCPManager *instance();

    bool loadDCPs();
    void addDCP(DCP *dcp);

    DcpListModel *dcpList() { return &m_shownDcps; }
    // The DCPs the window shows, in its order.
    QList<DCP *> shownDCPs() const { return m_shownDcps.shown(); }
    bool haveSearchFilter() const { return !m_searchFilter.isEmpty(); }
    QList<DCP *> allDCPs() const { return m_dcps; }
    QList<Reel *> allReels() const { return m_reels; }
    QList<Asset *> allAssets() const { return m_assets; }

    DCP *getDCP(const QString &dcpUuid) const;
    Reel *getReel(const QString &reelUuid) const;
    Asset *getAsset(const QString &assetUuid, const QString &dcpUuid) const;

    void addReelToIndex(Reel *reel);
    void addAssetToIndex(Asset *asset);
    void removeReelFromIndex(Reel *reel);
    void removeAssetFromIndex(Asset *asset);
    void removeDCPFromIndex(DCP *dcp);

    // Tells the download engine to rebuild its download and checksum queues from the
    // catalogue (downloadsChanged): after loading a non-empty catalogue and after an import
    // added reels.
    void rebuildDownloadQueue();
    // Tells the engine that a fresh package brought new links for the DCP (freshLinksArrived).
    void noteFreshLinks(DCP *dcp);

    QString portalHomeUrl() const { return PortalHosts::portalUrl("/").toString(); }

    QString decodingKey() const { return m_decodingKey; }
    void setDecodingKey(const QString &key) { m_decodingKey = key; }

    // Start-up that went on without a login (the portal could not be reached) installs how
    // to ask for one: opening a package then asks for the login first. The request returns
    // true with the decoding key after a successful login, false when there was none.
    using LoginRequest = std::function<bool(QString *decodingKey)>;
    void setLoginRequest(const LoginRequest &request) { m_loginRequest = request; }
    bool isLoggedIn() const { return !m_loginRequest; }

    // Opens a package file; throws a runtime error when there is no decoding key and lets
    // the database's errors through.
    void importPackage(const QString &path);

    // Called from the window: these never throw (see WindowCall).
    Q_INVOKABLE void loadDCPFromFile(const QString &path);
    Q_INVOKABLE void sortDCPsBy(const QString &key);
    Q_INVOKABLE void setSearchFilter(const QString &text);

signals:
    void dcpsChanged();
    void filterChanged();
    // A DCP joined or left the catalogue (searching and sorting do not raise it).
    void catalogueChanged();
    // What the download engine follows: the catalogue's downloads changed (loaded,
    // imported, merged), and fresh links arrived for a DCP.
    void downloadsChanged();
    void freshLinksArrived(DCP *dcp);

private:
    DCPManager();
    void deleteDCP(DCP *dcp);
    bool logInForPackage(const QString &path);
    bool matchesFilter(const DCP *dcp) const;
    void updateShownDcps();

    QString m_searchFilter;
    QString m_decodingKey;
    LoginRequest m_loginRequest;
    QList<DCP *> m_dcps;
    DcpListModel m_shownDcps;
    QMap<QString, DCP *> m_dcpIndex;
    QList<Reel *> m_reels;
    QMap<QString, Reel *> m_reelIndex;
    QList<Asset *> m_assets;
    QHash<AssetKey, Asset *> m_assetIndex;
};
