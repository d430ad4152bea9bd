#include "catalogue/DCP.h"
#include "catalogue/DatabaseManager.h"
#include "catalogue/DatabaseTransaction.h"
#include "catalogue/Reel.h"
#include "download/Asset.h"
#include "portal/Notification.h"
#include "support/TestMain.h"

#include <QFile>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QThread>
#include <QtTest>

#include <memory>
#include <stdexcept>

// Catalogue objects for one DCP, owned together so a test can build what it needs.
struct Fixture
{
    std::unique_ptr<DCP> dcp;
    std::vector<std::unique_ptr<Reel>> reels;
    std::vector<std::unique_ptr<Asset>> assets;

    explicit Fixture(const QString &uuid)
        : dcp(new DCP(uuid, "Title " + uuid, "http://img/" + uuid, "/downloads"))
    {
        dcp->setFriendlyTitle("Friendly " + uuid);
        dcp->setUserUuid("u0000000-0000-0000-0000-000000000000");
        dcp->setCampaignDcpId(Q_UINT64_C(9007199254740993));
    }

    Reel *addReel(const QString &uuid, quint32 number)
    {
        reels.emplace_back(new Reel(uuid, number));
        reels.back()->setDCP(dcp.get());
        dcp->addReel(reels.back().get());
        return reels.back().get();
    }

    Asset *addAsset(const QString &uuid, Reel *reel)
    {
        assets.emplace_back(new Asset(uuid, "2jmj7l5rSw0yVb/vlWAYkK/YBwk=", Q_UINT64_C(5000000000), "application/mxf",
                                      uuid + ".mxf", "http://assets/" + uuid));
        Asset *asset = assets.back().get();
        asset->setDcp(dcp.get());
        asset->addReel(reel);
        reel->addAsset(asset);
        dcp->addAsset(asset);
        return asset;
    }
};

class TestDatabase : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    int m_connections = 0;

    std::unique_ptr<DatabaseManager> open(const QString &path = QString())
    {
        const QString file = path.isEmpty() ? m_dir.path() + QString("/db%1.sqlite").arg(m_connections) : path;
        return std::make_unique<DatabaseManager>(file, QString("test-%1").arg(m_connections++));
    }

    int count(DatabaseManager &db, const QString &sql)
    {
        QSqlQuery query(db.database());
        if (!query.exec(sql) || !query.next())
            qFatal("count query failed: %s", qPrintable(sql));
        return query.value(0).toInt();
    }

    void store(DatabaseManager &db, Fixture &fixture)
    {
        db.insertDcp(fixture.dcp.get());
        for (auto &reel : fixture.reels)
            db.insertReel(reel.get());
        for (auto &asset : fixture.assets) {
            db.insertAsset(asset.get());
            for (Reel *reel : asset->reels())
                db.insertDCPReelAsset(reel, asset.get());
        }
    }

private slots:
    void initTestCase()
    {
        TestSupport::captureLog();
    }

    void createsAllSixTables()
    {
        const QString path = m_dir.path() + "/fresh.sqlite";
        QVERIFY(!QFile::exists(path));
        auto db = open(path);
        QVERIFY(QFile::exists(path));
        QSqlQuery query(db->database());
        QVERIFY(query.exec("SELECT name FROM sqlite_master WHERE type = 'table' AND name NOT LIKE 'sqlite_%' ORDER BY name"));
        QStringList tables;
        while (query.next())
            tables << query.value(0).toString();
        QCOMPARE(tables, QStringList({"asset", "dcp", "dcp_reel_asset", "notification", "reel", "setting"}));
        QVERIFY(TestSupport::readLog().contains("[DatabaseManager] Creating Tables...ok\r\n"));
    }

    void reopeningKeepsRows()
    {
        const QString path = m_dir.path() + "/reopen.sqlite";
        {
            auto db = open(path);
            db->insertSetting("username", "operator");
        }
        auto db = open(path);
        QSqlQuery query = db->getSettingsQuery();
        QVERIFY(query.next());
        QCOMPARE(query.value(0).toString(), QString("username"));
        QCOMPARE(query.value(1).toString(), QString("operator"));
        QVERIFY(!query.next());
    }

    void unopenableFileThrows()
    {
        try {
            open(m_dir.path() + "/no/such/dir/db.sqlite");
            QFAIL("opening a database in a missing directory succeeded");
        } catch (const std::runtime_error &error) {
            QCOMPARE(QString(error.what()), QString("Unable to open the database"));
        }
        QVERIFY(TestSupport::readLog().contains("[DatabaseManager] Unable to open the database "));
    }

    void fileThatIsNotADatabaseThrows()
    {
        const QString path = m_dir.path() + "/garbage.sqlite";
        QFile garbage(path);
        QVERIFY(garbage.open(QIODevice::WriteOnly));
        garbage.write(QByteArray(8192, 'x'));
        garbage.close();
        try {
            open(path);
            QFAIL("a file that is not a database was accepted");
        } catch (const std::runtime_error &error) {
            QCOMPARE(QString(error.what()), QString("Unable to query the database"));
        }
        const QByteArray log = TestSupport::readLog();
        QVERIFY(log.contains("[DatabaseManager] Creating Tables... failed  \""));
        QVERIFY(log.contains("[DatabaseManager] Unable to query the database\r\n"));
    }

    void idsAfterInsert()
    {
        auto db = open();
        Fixture first("d1");
        Reel *reel = first.addReel("r1", 1);
        Fixture second("d2");
        Reel *secondReel = second.addReel("r2", 1);
        db->insertDcp(first.dcp.get());
        db->insertDcp(second.dcp.get());
        db->insertReel(reel);
        db->insertReel(secondReel);
        QCOMPARE(first.dcp->dbId(), 1u);
        QCOMPARE(second.dcp->dbId(), 2u);
        QCOMPARE(secondReel->dbId(), 2u);

        Notification notification;
        notification.user_uuid = "u";
        notification.campaign_dcp_id = 7;
        notification.reel_uuid = "r1";
        notification.reel_assets_hash = "1-a0";
        notification.reel_number = 1;
        notification.event = 3;
        db->insertNotification(&notification);
        Notification another = notification;
        db->insertNotification(&another);
        QCOMPARE(notification.id, quint64(1));
        QCOMPARE(another.id, quint64(2));

        QSqlQuery row(db->database());
        QVERIFY(row.exec("SELECT campaign_dcp_id, title, friendly_title FROM dcp WHERE id = 1") && row.next());
        QCOMPARE(row.value(0).toULongLong(), Q_UINT64_C(9007199254740993));
        QCOMPARE(row.value(1).toString(), QString("Title d1"));
        QCOMPARE(row.value(2).toString(), QString("Friendly d1"));
    }

    void duplicateDcpIsRefusedWithLogLine()
    {
        auto db = open();
        Fixture fixture("dup");
        db->insertDcp(fixture.dcp.get());
        try {
            db->insertDcp(fixture.dcp.get());
            QFAIL("the same DCP uuid was stored twice");
        } catch (const std::runtime_error &error) {
            QCOMPARE(QString(error.what()), QString("Unable to run insertDcp query"));
        }
        QVERIFY(TestSupport::readLog().contains(
            "[DatabaseManager] Unable to run insertDcp query:  \"UNIQUE constraint failed: dcp.uuid"));
        QCOMPARE(count(*db, "SELECT COUNT(*) FROM dcp"), 1);
    }

    void assetUuidIsUniquePerDcpOnly()
    {
        auto db = open();
        Fixture first("da");
        Fixture second("db");
        Asset *a = first.addAsset("shared-asset", first.addReel("ra", 1));
        Asset *b = second.addAsset("shared-asset", second.addReel("rb", 1));
        QVERIFY(db->insertAsset(a));
        QVERIFY(db->insertAsset(b));
        try {
            db->insertAsset(a);
            QFAIL("the same asset was stored twice under one DCP");
        } catch (const std::runtime_error &error) {
            QCOMPARE(QString(error.what()), QString("Unable to run insertAsset query"));
        }
        QVERIFY(TestSupport::readLog().contains(
            "[DatabaseManager] Unable to run insertAsset query:  \"UNIQUE constraint failed: asset.uuid, asset.dcp_uuid"));
        QCOMPARE(count(*db, "SELECT COUNT(*) FROM asset WHERE uuid = 'shared-asset'"), 2);
        QCOMPARE(count(*db, "SELECT COUNT(*) FROM asset WHERE size = 5000000000"), 2);
    }

    void updatesDownloadFieldsOfOneAssetOnly()
    {
        auto db = open();
        Fixture first("ua");
        Fixture second("ub");
        Asset *a = first.addAsset("same", first.addReel("rua", 1));
        Asset *b = second.addAsset("same", second.addReel("rub", 1));
        db->insertAsset(a);
        db->insertAsset(b);
        a->setDownloadStarted(true);
        a->setDownloadFinished(true);
        a->setDownloadCorrupted(true);
        a->setDownloadAttempts(2);
        db->updateAssetDownloadFields(a);
        QSqlQuery row(db->database());
        QVERIFY(row.exec("SELECT dcp_uuid, download_started, download_finished, download_checksummed, download_corrupted, "
                         "download_attempts FROM asset ORDER BY dcp_uuid"));
        QVERIFY(row.next());
        QCOMPARE(row.value(0).toString(), QString("ua"));
        QCOMPARE(row.value(1).toInt(), 1);
        QCOMPARE(row.value(2).toInt(), 1);
        QCOMPARE(row.value(3).toInt(), 0);
        QCOMPARE(row.value(4).toInt(), 1);
        QCOMPARE(row.value(5).toInt(), 2);
        QVERIFY(row.next());
        QCOMPARE(row.value(1).toInt() + row.value(2).toInt() + row.value(4).toInt() + row.value(5).toInt(), 0);
    }

    void removeDcpWithoutAssets()
    {
        auto db = open();
        Fixture empty("empty");
        Fixture other("other");
        other.addAsset("other-asset", other.addReel("other-reel", 1));
        store(*db, empty);
        store(*db, other);
        db->removeDCP(empty.dcp.get());
        QCOMPARE(count(*db, "SELECT COUNT(*) FROM dcp"), 1);
        QCOMPARE(count(*db, "SELECT COUNT(*) FROM asset"), 1);
        QCOMPARE(count(*db, "SELECT COUNT(*) FROM reel"), 1);
        QCOMPARE(count(*db, "SELECT COUNT(*) FROM dcp_reel_asset"), 1);
    }

    void removeDcpWithThreeReels()
    {
        auto db = open();
        Fixture fixture("three");
        for (int i = 1; i <= 3; ++i) {
            Reel *reel = fixture.addReel(QString("three-r%1").arg(i), quint32(i));
            fixture.addAsset(QString("three-a%1").arg(i), reel);
        }
        // An asset listed by two reels, linked twice.
        Asset *shared = fixture.assets.front().get();
        shared->addReel(fixture.reels[1].get());
        fixture.reels[1]->addAsset(shared);
        Fixture keep("keep");
        keep.addAsset("three-a1", keep.addReel("keep-r1", 1));
        store(*db, fixture);
        store(*db, keep);

        Notification notification;
        notification.reel_uuid = "three-r1";
        db->insertNotification(&notification);

        QCOMPARE(count(*db, "SELECT COUNT(*) FROM dcp_reel_asset"), 5);
        db->removeDCP(fixture.dcp.get());
        QCOMPARE(count(*db, "SELECT COUNT(*) FROM dcp WHERE uuid = 'three'"), 0);
        QCOMPARE(count(*db, "SELECT COUNT(*) FROM reel WHERE dcp_uuid = 'three'"), 0);
        QCOMPARE(count(*db, "SELECT COUNT(*) FROM asset WHERE dcp_uuid = 'three'"), 0);
        QCOMPARE(count(*db, "SELECT COUNT(*) FROM dcp_reel_asset WHERE dcp_uuid = 'three'"), 0);
        // The other DCP, with an asset of the same uuid, is untouched; history stays.
        QCOMPARE(count(*db, "SELECT COUNT(*) FROM asset WHERE uuid = 'three-a1' AND dcp_uuid = 'keep'"), 1);
        QCOMPARE(count(*db, "SELECT COUNT(*) FROM dcp_reel_asset WHERE dcp_uuid = 'keep'"), 1);
        QCOMPARE(count(*db, "SELECT COUNT(*) FROM notification"), 1);
    }

    void removeReelKeepsAssets()
    {
        auto db = open();
        Fixture fixture("rr");
        Reel *gone = fixture.addReel("rr-1", 1);
        Reel *kept = fixture.addReel("rr-2", 2);
        fixture.addAsset("rr-a1", gone);
        fixture.addAsset("rr-a2", kept);
        store(*db, fixture);
        db->removeReel(gone);
        QCOMPARE(count(*db, "SELECT COUNT(*) FROM reel"), 1);
        QCOMPARE(count(*db, "SELECT COUNT(*) FROM dcp_reel_asset WHERE reel_uuid = 'rr-1'"), 0);
        QCOMPARE(count(*db, "SELECT COUNT(*) FROM dcp_reel_asset WHERE reel_uuid = 'rr-2'"), 1);
        QCOMPARE(count(*db, "SELECT COUNT(*) FROM asset"), 2);
    }

    void countsUnsyncedNotifications()
    {
        auto db = open();
        QCOMPARE(db->countUnsyncedNotifications("no-such-reel"), 0);
        Notification first;
        first.reel_uuid = "n-reel";
        Notification second = first;
        db->insertNotification(&first);
        db->insertNotification(&second);
        QCOMPARE(db->countUnsyncedNotifications("n-reel"), 2);
        first.synced = true;
        db->updateNotificationSynced(&first);
        QCOMPARE(db->countUnsyncedNotifications("n-reel"), 1);
        QSqlQuery query = db->getReelNotificationsQuery("n-reel");
        QVERIFY(query.next());
        QCOMPARE(query.value("synced").toBool(), true);
        QVERIFY(query.next());
        QCOMPARE(query.value("synced").toBool(), false);
    }

    void failedTransactionLeavesNothing()
    {
        auto db = open();
        Fixture fixture("tx");
        db->insertDcp(fixture.dcp.get());
        Fixture again("tx");
        again.addReel("tx-new-reel", 1);
        try {
            DatabaseTransaction transaction(db.get());
            db->insertReel(again.reels.front().get());
            db->insertDcp(again.dcp.get()); // refused: the uuid exists
            transaction.commit();
            QFAIL("the duplicate DCP was stored");
        } catch (const std::runtime_error &) {
        }
        QCOMPARE(count(*db, "SELECT COUNT(*) FROM reel"), 0);
        QVERIFY(!db->inTransaction());
        // The connection is usable again.
        Fixture next("tx-next");
        DatabaseTransaction transaction(db.get());
        db->insertDcp(next.dcp.get());
        QVERIFY(transaction.commit());
        QCOMPARE(count(*db, "SELECT COUNT(*) FROM dcp"), 2);
    }

    void refusesOtherThreads()
    {
        auto db = open();
        QString refusal;
        QThread *thread = QThread::create([&] {
            try {
                db->countUnsyncedNotifications("any");
            } catch (const std::logic_error &error) {
                refusal = error.what();
            }
        });
        thread->start();
        QVERIFY(thread->wait(10000));
        delete thread;
        QCOMPARE(refusal, QString("DatabaseManager used outside its thread"));
    }
};

TOLVANE_TEST_MAIN(TestDatabase)
#include "test_database.moc"
