#pragma once

#include "catalogue/AssetKey.h"
#include "import/PackageDocuments.h"

#include <QByteArray>
#include <QHash>
#include <QJsonArray>
#include <QJsonObject>
#include <QList>
#include <QMap>
#include <QSet>
#include <QString>

class Asset;
class DCP;
class Reel;

// Reads one ORVDCP package and imports its DCPs: decrypts the file, checks the JSON,
// asks for and checks the destination, parses each DCP's ASSETMAP, CPL and PKL into reels
// and assets, and writes the DCP directory and the catalogue. One reader per import.
//
// The parse steps (parseAssetMap, parseCPL, parsePKL, buildDCP, applyAssetUrls,
// applyChunkPaths) need neither the database nor the user; the destination checks and
// storeOrMerge ask the user through UserInteraction and write the catalogue.
class DCPXMLReader
{
public:
    explicit DCPXMLReader(const QString &decodingKey);
    ~DCPXMLReader();

    DCPXMLReader(const DCPXMLReader &) = delete;
    DCPXMLReader &operator=(const DCPXMLReader &) = delete;

    // Imports the package at path (a local path or a "file:" URL). True when the file was
    // opened and every DCP element was handled to the end.
    bool loadPackage(const QString &path);

    // The plaintext of a package file: key is the 32-byte cipher key.
    static QByteArray decryptPackage(const QByteArray &key, const QByteArray &file);

    // Per-DCP input, as loadPackage sets it from a DCP element.
    void setPackageFields(const QString &userUuid, qint64 campaignDcpId, const QString &friendlyTitle,
                          const QString &imageUrl, const QJsonArray &reelSelection, const QJsonArray &assetPairs);
    void setDocuments(const QByteArray &cpl, const QString &cplName, const QByteArray &pkl, const QString &pklName,
                      const QByteArray &assetMap, const QByteArray &volIndex);
    void setDownloadPath(const QString &path) { m_downloadPath = path; }

    // Empties the reels, assets and asset map entries of the previous DCP element (objects
    // that did not go into the catalogue are deleted).
    void resetDcp();
    bool parseAssetMap(const QString &text);
    bool parseCPL(const QString &text);
    bool parsePKL(const QString &text);
    void buildDCP();
    void applyAssetUrls();
    void applyChunkPaths();
    // Every name of the assembled DCP that becomes a path on disk stays inside its
    // directory; logs the first one that does not.
    bool namesAreSafe() const;

    QString compositionId() const { return m_compositionId; }
    QString compositionTitle() const { return m_compositionTitle; }
    DCP *currentDCP() const { return m_currentDcp; }
    QList<Reel *> reels() const { return m_reels; }
    QList<Asset *> assets() const { return m_assets; }
    Asset *asset(const QString &uuid) const { return m_assetIndex.value(AssetKey(uuid, m_compositionId), nullptr); }

    // Destination of the new DCPs of a package, and its checks.
    QString chooseDestination();
    bool checkFatDrive(const QString &folder);
    // The decision of checkFatDrive for a file-system type as the system names it.
    bool checkFatFileSystemType(const QString &fileSystemType);
    bool confirmLocalDrive(const QString &folder);
    bool confirmDiskSpace(const QString &folder, qint64 projectSize);
    // The decision of confirmDiskSpace for a number of available bytes.
    bool confirmDiskSpace(qint64 projectSize, qint64 availableBytes);

    // Stores the assembled DCP as a new one or merges its new reels into the catalogue's.
    void storeOrMerge();
    bool createDCPDirectory();
    bool createDCPXMLFiles();
    bool confirmConflictingFiles();

    QString dcpDirectory() const;

private:
    // The folder for a new DCP: folder, or "folder (2)" and so on when another DCP of the
    // catalogue already downloads into that folder of the same destination.
    QString unusedFolderName(const QString &folder) const;
    bool handleDcpElement(const QJsonObject &element, const QString &destination);
    bool destinationPass(const QJsonArray &dcps, qint64 projectSize, QString &destination);
    void storeNew();
    void merge(DCP *existing);
    void forgetUnstoredAssets(const QList<Asset *> &assets);
    void rebuildDownloadQueue();
    void link(Reel *reel, Asset *asset);

    QString m_decodingKey;
    DCP *m_currentDcp = nullptr;
    QString m_downloadPath;
    QString m_compositionId;
    QString m_compositionTitle;
    QString m_imageUrl;
    QString m_userUuid;
    qint64 m_campaignDcpId = 0;
    QByteArray m_cplXml, m_pklXml, m_assetMapXml, m_volIndexXml;
    QString m_cplXmlName, m_pklXmlName;
    QString m_assetMapXmlName = QStringLiteral("ASSETMAP");
    QString m_volIndexXmlName = QStringLiteral("VOLINDEX");
    QString m_friendlyTitle;
    QJsonArray m_assetPairs;
    QJsonArray m_reelSelection;
    QList<Reel *> m_reels;
    QMap<QString, Reel *> m_reelIndex;
    QHash<Reel *, QStringList> m_otherAssetIds;
    QList<Asset *> m_assets;
    QMap<AssetKey, Asset *> m_assetIndex;
    QMap<QString, PackageDocuments::AssetMapEntry> m_assetMapEntries;
    // Objects of the current DCP element that the catalogue took over.
    QSet<const void *> m_adopted;
};
