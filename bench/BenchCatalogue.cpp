#include "BenchCatalogue.h"

#include "catalogue/DatabaseManager.h"

#include <QDir>
#include <QSqlQuery>
#include <QVariant>

namespace bench {

namespace {

QString uuid(char kind, int a, int b = 0, int c = 0)
{
    return QString("%1%2-%3-%4-0000-000000000000")
        .arg(kind)
        .arg(a, 7, 10, QChar('0'))
        .arg(b, 4, 10, QChar('0'))
        .arg(c, 4, 10, QChar('0'));
}

void run(QSqlQuery &query)
{
    if (!query.exec())
        qFatal("filling the benchmark catalogue failed");
}

}

void fillCatalogue(const QString &databasePath, const QString &downloads, const CatalogueShape &shape)
{
    DatabaseManager db(databasePath, "bench-filler");
    db.database().transaction();
    QSqlQuery dcp(db.database());
    dcp.prepare("INSERT INTO dcp (uuid,title,friendly_title,image_url,download_path,user_uuid,campaign_dcp_id) "
                "VALUES (?,?,?,?,?,?,?)");
    QSqlQuery reel(db.database());
    reel.prepare("INSERT INTO reel (uuid,dcp_uuid,reel_number) VALUES (?,?,?)");
    QSqlQuery asset(db.database());
    asset.prepare("INSERT INTO asset (uuid,dcp_uuid,hash,size,type,original_filename,directory_path,download_url,"
                  "download_started,download_finished,download_checksummed,download_corrupted,download_attempts) "
                  "VALUES (?,?,?,?,?,?,?,?,?,?,?,?,?)");
    QSqlQuery link(db.database());
    link.prepare("INSERT INTO dcp_reel_asset (dcp_uuid,reel_uuid,asset_uuid) VALUES (?,?,?)");
    for (int d = 0; d < shape.dcps; ++d) {
        const QString dcpUuid = uuid('d', d);
        const QString title = QString("Feature_%1_FTR-1_F_EN-XX_51_2K_20261210_SMPTE_OV").arg(d);
        QDir().mkpath(downloads + "/" + title);
        dcp.addBindValue(dcpUuid);
        dcp.addBindValue(title);
        dcp.addBindValue("Feature " + QString::number(d));
        dcp.addBindValue(shape.imageUrl ? shape.imageUrl(d) : "https://posters.example/" + dcpUuid + ".jpg");
        dcp.addBindValue(downloads);
        dcp.addBindValue("00000000-0000-0000-0000-0000000000aa");
        dcp.addBindValue(1000 + d);
        run(dcp);
        for (int r = 0; r < shape.reelsPerDcp; ++r) {
            const QString reelUuid = uuid('r', d, r);
            reel.addBindValue(reelUuid);
            reel.addBindValue(dcpUuid);
            reel.addBindValue(r + 1);
            run(reel);
            for (int a = 0; a < shape.assetsPerReel; ++a) {
                const QString assetUuid = uuid('a', d, r, a);
                asset.addBindValue(assetUuid);
                asset.addBindValue(dcpUuid);
                asset.addBindValue("2jmj7l5rSw0yVb/vlWAYkK/YBwk=");
                asset.addBindValue(qulonglong(2000000000ULL + a));
                asset.addBindValue("application/mxf");
                asset.addBindValue(assetUuid + "_pic.mxf");
                asset.addBindValue(QString(""));
                asset.addBindValue("https://assets.example/" + assetUuid);
                asset.addBindValue(true);                // started
                asset.addBindValue(shape.verified);      // finished
                asset.addBindValue(shape.verified);      // checksummed
                asset.addBindValue(false);               // corrupted
                asset.addBindValue(0);
                run(asset);
                link.addBindValue(dcpUuid);
                link.addBindValue(reelUuid);
                link.addBindValue(assetUuid);
                run(link);
            }
        }
    }
    db.database().commit();
}

}
