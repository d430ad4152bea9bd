#pragma once

// Whether the catalogue in memory is what the database holds: the same DCPs, reels, assets
// and links, every object reached from one of them listed by the catalogue itself, and the
// indexes of the DCP list agreeing with the DCPs. And a way to make the database refuse
// writes, as another process holding its lock does.

#include "catalogue/DCP.h"
#include "catalogue/DCPManager.h"
#include "catalogue/DatabaseManager.h"
#include "catalogue/Reel.h"
#include "download/Asset.h"

#include <QSet>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QString>
#include <QStringList>
#include <QVariant>

namespace CatalogueCheck {

// Another connection to the catalogue file holding its write lock while it lives: the
// application's connection still reads, and every write it tries is refused once its
// busy timeout has passed.
class WriteLock
{
public:
    explicit WriteLock(const QString &path)
    {
        QSqlDatabase db = QSqlDatabase::addDatabase("QSQLITE", name);
        db.setDatabaseName(path);
        held = db.open() && QSqlQuery(db).exec("BEGIN IMMEDIATE");
    }
    ~WriteLock()
    {
        {
            QSqlDatabase db = QSqlDatabase::database(name, false);
            QSqlQuery(db).exec("ROLLBACK");
            db.close();
        }
        QSqlDatabase::removeDatabase(name);
    }
    bool held = false;

private:
    const QString name = QStringLiteral("another-process");
};

// The count a "SELECT COUNT(*) ... = ?" query gives for value; -1 when it fails.
inline int rowCount(const QString &sql, const QString &value)
{
    QSqlQuery query(DatabaseManager::instance()->database());
    query.prepare(sql);
    query.addBindValue(value);
    if (!query.exec() || !query.next())
        return -1;
    return query.value(0).toInt();
}

inline QStringList databaseRows()
{
    QStringList rows;
    const auto collect = [&rows](const QString &kind, const QString &sql) {
        QSqlQuery query(DatabaseManager::instance()->database());
        if (!query.exec(sql)) {
            rows << "query failed: " + sql;
            return;
        }
        while (query.next()) {
            QStringList fields{kind};
            for (int i = 0; i < query.record().count(); ++i)
                fields << query.value(i).toString();
            rows << fields.join(' ');
        }
    };
    collect("dcp", "SELECT uuid, title, download_path FROM dcp");
    collect("reel", "SELECT dcp_uuid, uuid, reel_number FROM reel");
    collect("asset", "SELECT dcp_uuid, uuid FROM asset");
    collect("link", "SELECT dcp_uuid, reel_uuid, asset_uuid FROM dcp_reel_asset");
    rows.sort();
    return rows;
}

// The rows the catalogue in memory stands for; problems found on the way are appended.
inline QStringList memoryRows(QStringList &problems)
{
    DCPManager *manager = DCPManager::instance();
    QStringList rows;
    QSet<Reel *> reels;
    QSet<Asset *> assets;
    for (DCP *dcp : manager->allDCPs()) {
        const QString d = dcp->uuid();
        rows << QString("dcp %1 %2 %3").arg(d, dcp->title(), dcp->downloadPath());
        if (manager->getDCP(d) != dcp)
            problems << "DCP not indexed: " + d;
        for (Reel *reel : dcp->getReels()) {
            reels.insert(reel);
            rows << QString("reel %1 %2 %3").arg(d, reel->uuid()).arg(reel->reelNumber());
            if (reel->getDCP() != dcp || manager->getReel(reel->uuid()) != reel || dcp->getReel(reel->uuid()) != reel)
                problems << "reel not linked or indexed: " + reel->uuid();
            for (Asset *asset : reel->getAssets()) {
                rows << QString("link %1 %2 %3").arg(d, reel->uuid(), asset->uuid());
                if (!dcp->getAssets().contains(asset))
                    problems << "reel " + reel->uuid() + " lists an asset its DCP does not";
                else if (!asset->reels().contains(reel))
                    problems << "asset " + asset->uuid() + " does not know reel " + reel->uuid();
            }
        }
        for (Asset *asset : dcp->getAssets()) {
            assets.insert(asset);
            rows << QString("asset %1 %2").arg(d, asset->uuid());
            if (asset->dcp() != dcp || dcp->getAsset(asset->uuid()) != asset || manager->getAsset(asset->uuid(), d) != asset)
                problems << "asset not linked or indexed: " + asset->uuid();
            // Pointers are compared before anything is read through them.
            for (Reel *reel : asset->reels()) {
                if (!dcp->getReels().contains(reel))
                    problems << "asset " + asset->uuid() + " keeps a reel its DCP does not list";
                else if (!reel->getAssets().contains(asset))
                    problems << "asset " + asset->uuid() + " names reel " + reel->uuid() + ", which does not list it";
            }
        }
    }
    const QList<Reel *> indexedReels = manager->allReels();
    const QList<Asset *> indexedAssets = manager->allAssets();
    if (indexedReels.size() != reels.size() || QSet<Reel *>(indexedReels.begin(), indexedReels.end()) != reels)
        problems << QString("the DCP list's reels (%1) are not its DCPs' reels (%2)").arg(indexedReels.size()).arg(reels.size());
    if (indexedAssets.size() != assets.size() || QSet<Asset *>(indexedAssets.begin(), indexedAssets.end()) != assets)
        problems << QString("the DCP list's assets (%1) are not its DCPs' assets (%2)")
                        .arg(indexedAssets.size())
                        .arg(assets.size());
    rows.sort();
    return rows;
}

// Empty when memory and database agree; otherwise what differs.
inline QString difference()
{
    QStringList problems;
    const QStringList memory = memoryRows(problems);
    const QStringList database = databaseRows();
    for (const QString &row : memory)
        if (memory.count(row) > database.count(row))
            problems << "only in memory: " + row;
    for (const QString &row : database)
        if (database.count(row) > memory.count(row))
            problems << "only in the database: " + row;
    problems.removeDuplicates();
    return problems.join('\n');
}

}
