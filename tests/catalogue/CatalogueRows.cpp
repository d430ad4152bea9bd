#include "CatalogueRows.h"

#include "catalogue/DCP.h"
#include "catalogue/DatabaseManager.h"
#include "catalogue/Reel.h"
#include "download/Asset.h"

#include <QSqlQuery>
#include <QVariant>

namespace CatalogueRows {

void insertDcp(DatabaseManager *db, const QString &uuid, const QString &title, const QString &downloadPath)
{
    DCP dcp(uuid, title, "http://posters/" + uuid + ".jpg", downloadPath);
    dcp.setFriendlyTitle("Friendly " + title);
    dcp.setUserUuid("00000000-0000-0000-0000-0000000000aa");
    dcp.setCampaignDcpId(4521);
    db->insertDcp(&dcp);
}

void insertReel(DatabaseManager *db, const QString &dcpUuid, const QString &reelUuid, quint32 number)
{
    DCP dcp(dcpUuid, QString(), QString(), QString());
    Reel reel(reelUuid, number);
    reel.setDCP(&dcp);
    db->insertReel(&reel);
}

void insertAsset(DatabaseManager *db, const QString &dcpUuid, const AssetRow &row)
{
    DCP dcp(dcpUuid, QString(), QString(), QString());
    Asset asset(row.uuid, "hash-" + row.uuid, row.size, "application/mxf", row.uuid + ".mxf", "http://assets/" + row.uuid);
    asset.setDcp(&dcp);
    asset.setDirectoryPath(row.directory);
    asset.setDownloadStarted(row.finished);
    asset.setDownloadFinished(row.finished);
    asset.setDownloadChecksummed(row.checksummed);
    asset.setDownloadCorrupted(row.corrupted);
    asset.setDownloadAttempts(row.attempts);
    db->insertAsset(&asset);
}

void link(DatabaseManager *db, const QString &dcpUuid, const QString &reelUuid, const QString &assetUuid)
{
    DCP dcp(dcpUuid, QString(), QString(), QString());
    Reel reel(reelUuid, 1);
    Asset asset(assetUuid, QString(), 0, QString(), QString(), QString());
    asset.setDcp(&dcp);
    db->insertDCPReelAsset(&reel, &asset);
}

int count(DatabaseManager *db, const QString &sql)
{
    QSqlQuery query(db->database());
    if (!query.exec(sql) || !query.next())
        qFatal("count query failed: %s", qPrintable(sql));
    return query.value(0).toInt();
}

}
