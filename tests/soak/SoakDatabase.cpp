#include "SoakDatabase.h"

#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>

namespace {

QString prefixOf(const DbReel &reel)
{
    return QString::number(reel.id) + "-";
}

}

bool DbSnapshot::reelAcknowledged(const DbReel &reel) const
{
    bool verified = false;
    bool any = false;
    for (const DbNotification &n : notifications) {
        if (n.reelUuid != reel.uuid || !n.assetsHash.startsWith(prefixOf(reel)))
            continue;
        any = true;
        if (!n.synced)
            return false;
        verified = verified || n.event == 8;
    }
    return any && verified;
}

QStringList DbSnapshot::pendingEvents(const DbReel &reel) const
{
    QStringList pending;
    bool verified = false;
    for (const DbNotification &n : notifications) {
        if (n.reelUuid != reel.uuid || !n.assetsHash.startsWith(prefixOf(reel)))
            continue;
        verified = verified || n.event == 8;
        if (!n.synced)
            pending.append(QString("%1/%2").arg(n.event).arg(n.assetsHash));
    }
    if (!verified)
        pending.append("no verification-passed event (8) stored");
    return pending;
}

QList<const DbReel *> DbSnapshot::reelsOf(const DbAsset &asset) const
{
    QList<const DbReel *> out;
    for (const DbReel &reel : reels) {
        if (reel.dcpUuid == asset.dcpUuid && reel.assetUuids.contains(asset.uuid))
            out.append(&reel);
    }
    return out;
}

bool readSnapshot(const QString &databasePath, DbSnapshot &snapshot, QString *error)
{
    const QString connection = "soak-snapshot";
    bool ok = true;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase("QSQLITE", connection);
        db.setDatabaseName(databasePath);
        // Not read-only: a killed engine may leave a hot journal, which only a writer can roll back
        // (the next start of the engine would do the same).
        db.setConnectOptions("QSQLITE_BUSY_TIMEOUT=5000");
        const auto fail = [&](const QString &what, const QSqlError &sqlError) {
            if (error)
                *error = what + ": " + sqlError.text();
            ok = false;
        };
        if (!db.open()) {
            fail("cannot open " + databasePath, db.lastError());
        } else {
            snapshot = DbSnapshot();
            QSqlQuery q(db);
            if (!q.exec("SELECT uuid, title, download_path FROM dcp"))
                fail("reading dcp", q.lastError());
            while (ok && q.next()) {
                snapshot.dcpTitles.insert(q.value(0).toString(), q.value(1).toString());
                snapshot.dcpFolders.insert(q.value(0).toString(), q.value(2).toString() + "/" + q.value(1).toString());
            }
            if (ok && !q.exec("SELECT id, uuid, dcp_uuid, reel_number FROM reel"))
                fail("reading reel", q.lastError());
            while (ok && q.next()) {
                DbReel reel;
                reel.id = q.value(0).toLongLong();
                reel.uuid = q.value(1).toString();
                reel.dcpUuid = q.value(2).toString();
                reel.number = q.value(3).toInt();
                snapshot.reels.insert(reel.uuid, reel);
            }
            if (ok && !q.exec("SELECT reel_uuid, asset_uuid FROM dcp_reel_asset"))
                fail("reading dcp_reel_asset", q.lastError());
            while (ok && q.next()) {
                auto it = snapshot.reels.find(q.value(0).toString());
                if (it != snapshot.reels.end() && !it->assetUuids.contains(q.value(1).toString()))
                    it->assetUuids.append(q.value(1).toString());
            }
            if (ok
                && !q.exec("SELECT uuid, dcp_uuid, size, original_filename, directory_path, download_started, "
                           "download_finished, download_checksummed, download_corrupted, download_attempts FROM asset"))
                fail("reading asset", q.lastError());
            while (ok && q.next()) {
                DbAsset asset;
                asset.uuid = q.value(0).toString();
                asset.dcpUuid = q.value(1).toString();
                asset.size = q.value(2).toULongLong();
                const QString directory = q.value(4).toString();
                asset.path = snapshot.dcpFolders.value(asset.dcpUuid) + (directory.isEmpty() ? "" : "/" + directory) + "/"
                    + q.value(3).toString();
                asset.started = q.value(5).toBool();
                asset.finished = q.value(6).toBool();
                asset.checksummed = q.value(7).toBool();
                asset.corrupted = q.value(8).toBool();
                asset.attempts = q.value(9).toUInt();
                snapshot.assets.insert(qMakePair(asset.uuid, asset.dcpUuid), asset);
            }
            if (ok
                && !q.exec("SELECT campaign_dcp_id, reel_uuid, reel_assets_hash, reel_number, event, synced "
                           "FROM notification ORDER BY id"))
                fail("reading notification", q.lastError());
            while (ok && q.next()) {
                DbNotification n;
                n.campaignDcpId = q.value(0).toULongLong();
                n.reelUuid = q.value(1).toString();
                n.assetsHash = q.value(2).toString();
                n.reelNumber = q.value(3).toInt();
                n.event = q.value(4).toInt();
                n.synced = q.value(5).toBool();
                snapshot.notifications.append(n);
            }
        }
        db.close();
    }
    QSqlDatabase::removeDatabase(connection);
    return ok;
}
