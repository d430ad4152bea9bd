#include "CatalogueRows.h"

#include "catalogue/DCP.h"
#include "catalogue/DCPManager.h"
#include "catalogue/DatabaseManager.h"
#include "catalogue/Reel.h"
#include "download/Asset.h"
#include "portal/Notification.h"
#include "support/TestMain.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

using CatalogueRows::AssetRow;

// What an earlier run left in the database, loaded once by the DCP list.
class TestCatalogueLoad : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    DatabaseManager *db = nullptr;
    QString m_strayFile;

    // The titles of the rows the window's model holds.
    QStringList titles(const QAbstractItemModel *model)
    {
        QStringList list;
        const int role = model->roleNames().key("dcp_object");
        for (int row = 0; row < model->rowCount(); ++row)
            list << qobject_cast<DCP *>(model->index(row, 0).data(role).value<QObject *>())->title();
        return list;
    }

    QStringList titles(const QList<DCP *> &dcps)
    {
        QStringList list;
        for (DCP *dcp : dcps)
            list << dcp->title();
        return list;
    }

private slots:
    void initTestCase()
    {
        TestSupport::captureLog();
        db = DatabaseManager::instance();
        // The catalogue is looked at here, not downloaded.
        db->insertSetting("download_paused", "1");
        const QString downloads = m_dir.path() + "/downloads";
        QVERIFY(QDir().mkpath(downloads + "/Zebra"));
        QVERIFY(QDir().mkpath(downloads + "/apple"));

        // Zebra: a picture shared by two reels, a sound with progress, a subtitle in a
        // sub-folder, and an asset uuid that the DCP apple uses too.
        CatalogueRows::insertDcp(db, "zebra", "Zebra", downloads);
        CatalogueRows::insertReel(db, "zebra", "zebra-r1", 1);
        CatalogueRows::insertReel(db, "zebra", "zebra-r2", 2);
        CatalogueRows::insertAsset(db, "zebra", AssetRow{"pic", 5000000000ULL});
        AssetRow sound{"snd", 300};
        sound.finished = true;
        sound.checksummed = true;
        sound.attempts = 1;
        CatalogueRows::insertAsset(db, "zebra", sound);
        CatalogueRows::insertAsset(db, "zebra", AssetRow{"sub", 20, "sub-folder"});
        CatalogueRows::insertAsset(db, "zebra", AssetRow{"shared", 7});
        CatalogueRows::link(db, "zebra", "zebra-r1", "pic");
        CatalogueRows::link(db, "zebra", "zebra-r1", "snd");
        CatalogueRows::link(db, "zebra", "zebra-r2", "pic");
        CatalogueRows::link(db, "zebra", "zebra-r2", "sub");
        CatalogueRows::link(db, "zebra", "zebra-r1", "shared");
        // Link rows whose asset, reel or DCP row is gone.
        CatalogueRows::link(db, "zebra", "zebra-r1", "no-such-asset");
        CatalogueRows::link(db, "zebra", "no-such-reel", "snd");
        CatalogueRows::link(db, "no-such-dcp", "zebra-r1", "pic");

        // A DCP whose directory was deleted, with a notification as history and a file
        // of someone else's beside where its directory was.
        CatalogueRows::insertDcp(db, "gone", "Gone", downloads);
        CatalogueRows::insertReel(db, "gone", "gone-r1", 1);
        CatalogueRows::insertAsset(db, "gone", AssetRow{"gone-a1", 10});
        CatalogueRows::link(db, "gone", "gone-r1", "gone-a1");
        Notification history;
        history.reel_uuid = "gone-r1";
        history.event = 8;
        history.synced = true;
        db->insertNotification(&history);
        m_strayFile = downloads + "/Gone.txt";
        QFile stray(m_strayFile);
        QVERIFY(stray.open(QIODevice::WriteOnly));
        stray.write("keep me");
        stray.close();

        CatalogueRows::insertDcp(db, "apple", "apple", downloads);
        CatalogueRows::insertReel(db, "apple", "apple-r1", 1);
        CatalogueRows::insertAsset(db, "apple", AssetRow{"shared", 9});
        CatalogueRows::link(db, "apple", "apple-r1", "shared");
    }

    void newestFirstAndMissingDirectoryDropped()
    {
        DCPManager *manager = DCPManager::instance();
        QCOMPARE(titles(manager->allDCPs()), QStringList({"apple", "Zebra"}));
        QVERIFY(!manager->getDCP("gone"));
        QVERIFY(!manager->getReel("gone-r1"));
        QVERIFY(!manager->getAsset("gone-a1", "gone"));
        QVERIFY(TestSupport::readLog().contains(
            QString("[DCPManager] Warning: loadDCPs() removing dcp \"%1/downloads/Gone\"").arg(m_dir.path()).toUtf8()));
        QCOMPARE(CatalogueRows::count(db, "SELECT COUNT(*) FROM dcp WHERE uuid = 'gone'"), 0);
        QCOMPARE(CatalogueRows::count(db, "SELECT COUNT(*) FROM reel WHERE dcp_uuid = 'gone'"), 0);
        QCOMPARE(CatalogueRows::count(db, "SELECT COUNT(*) FROM asset WHERE dcp_uuid = 'gone'"), 0);
        QCOMPARE(CatalogueRows::count(db, "SELECT COUNT(*) FROM dcp_reel_asset WHERE dcp_uuid = 'gone'"), 0);
        QCOMPARE(CatalogueRows::count(db, "SELECT COUNT(*) FROM notification WHERE reel_uuid = 'gone-r1'"), 1);
        QVERIFY(QFile::exists(m_strayFile));
        // The kept DCPs are untouched in the database.
        QCOMPARE(CatalogueRows::count(db, "SELECT COUNT(*) FROM asset WHERE dcp_uuid = 'zebra'"), 4);
    }

    void objectsAreRebuiltFromRows()
    {
        DCPManager *manager = DCPManager::instance();
        DCP *zebra = manager->getDCP("zebra");
        QVERIFY(zebra);
        QCOMPARE(zebra->dbId(), 1u);
        QCOMPARE(zebra->friendlyTitle(), QString("Friendly Zebra"));
        QCOMPARE(zebra->userUuid(), QString("00000000-0000-0000-0000-0000000000aa"));
        QCOMPARE(zebra->campaignDcpId(), quint64(4521));
        QCOMPARE(zebra->imageUrl(), QString("http://posters/zebra.jpg"));

        Reel *first = manager->getReel("zebra-r1");
        Reel *second = manager->getReel("zebra-r2");
        QVERIFY(first && second);
        QCOMPARE(first->reelNumber(), 1u);
        QCOMPARE(second->reelNumber(), 2u);
        QCOMPARE(first->dbId(), 1u);
        QCOMPARE(first->getDCP(), zebra);
        QCOMPARE(zebra->getReels(), QList<Reel *>({first, second}));

        // One asset in two reels: one object, listed by both reels and once by the DCP.
        Asset *picture = manager->getAsset("pic", "zebra");
        QVERIFY(picture);
        QVERIFY(first->getAssets().contains(picture));
        QVERIFY(second->getAssets().contains(picture));
        QCOMPARE(zebra->getAssets().count(picture), 1);
        QCOMPARE(picture->reels(), QList<Reel *>({first, second}));
        QCOMPARE(picture->size(), quint64(5000000000ULL));
        QCOMPARE(zebra->getAssets().size(), 4);

        Asset *sound = manager->getAsset("snd", "zebra");
        QVERIFY(sound->isDownloadFinished());
        QVERIFY(sound->isDownloadChecksummed());
        QVERIFY(!sound->isDownloadCorrupted());
        QCOMPARE(sound->downloadAttempts(), 1u);
        QCOMPARE(sound->downloadUrl(), QString("http://assets/snd"));
        QCOMPARE(manager->getAsset("sub", "zebra")->filePath(), m_dir.path() + "/downloads/Zebra/sub-folder/sub.mxf");

        // The same asset uuid under two DCPs stays two assets.
        Asset *zebraShared = manager->getAsset("shared", "zebra");
        Asset *appleShared = manager->getAsset("shared", "apple");
        QVERIFY(zebraShared && appleShared && zebraShared != appleShared);
        QCOMPARE(appleShared->size(), quint64(9));
        QCOMPARE(manager->allAssets().size(), 5);
        QCOMPARE(manager->allReels().size(), 3);
    }

    void danglingLinkRowsAreSkipped()
    {
        DCPManager *manager = DCPManager::instance();
        for (Reel *reel : manager->allReels())
            QVERIFY(!reel->uuid().isEmpty());
        for (Asset *asset : manager->allAssets())
            QVERIFY(!asset->uuid().isEmpty());
        QVERIFY(!manager->getDCP(""));
        QCOMPARE(manager->getReel("zebra-r1")->getAssets().size(), 3);
        QCOMPARE(TestSupport::readLog().count("[DCPManager] Skipping a link row without its dcp, reel or asset row"), 3);
        // Left in the database as they were.
        QCOMPARE(CatalogueRows::count(db, "SELECT COUNT(*) FROM dcp_reel_asset WHERE asset_uuid = 'no-such-asset'"), 1);
    }

    void filterTrimsAndIgnoresCase()
    {
        DCPManager *manager = DCPManager::instance();
        QStringList order;
        auto recordDcps = connect(manager, &DCPManager::dcpsChanged, this, [&] { order << "dcpsChanged"; });
        auto recordFilter = connect(manager, &DCPManager::filterChanged, this, [&] { order << "filterChanged"; });
        manager->setSearchFilter("  zEB \t");
        QCOMPARE(order, QStringList({"dcpsChanged", "filterChanged"}));
        QVERIFY(manager->property("haveSearchFilter").toBool());
        QCOMPARE(titles(qobject_cast<QAbstractItemModel *>(manager->property("dcps").value<QObject *>())),
                 QStringList({"Zebra"}));

        manager->setSearchFilter("friendly APP");
        QCOMPARE(titles(manager->shownDCPs()), QStringList({"apple"}));

        // A DCP not stored yet (database id 0) shows whatever the filter.
        QVERIFY(QDir().mkpath(m_dir.path() + "/downloads/Middle"));
        auto *fresh = new DCP("fresh", "Middle", "", m_dir.path() + "/downloads");
        manager->addDCP(fresh);
        manager->setSearchFilter("no such title");
        QCOMPARE(titles(manager->shownDCPs()), QStringList({"Middle"}));

        manager->setSearchFilter("   ");
        QVERIFY(!manager->haveSearchFilter());
        QCOMPARE(titles(manager->shownDCPs()), QStringList({"apple", "Zebra", "Middle"}));
        disconnect(recordDcps);
        disconnect(recordFilter);
    }

    void sorting()
    {
        DCPManager *manager = DCPManager::instance();
        QSignalSpy changed(manager, &DCPManager::dcpsChanged);
        // By the title the cards show, ignoring case: "" (Middle has none), "Friendly apple",
        // "Friendly Zebra".
        manager->sortDCPsBy("name");
        QCOMPARE(titles(manager->allDCPs()), QStringList({"Middle", "apple", "Zebra"}));
        QCOMPARE(titles(manager->shownDCPs()), QStringList({"Middle", "apple", "Zebra"}));
        QCOMPARE(changed.count(), 1);
        manager->sortDCPsBy("Date");
        QCOMPARE(titles(manager->allDCPs()), QStringList({"Middle", "apple", "Zebra"}));
        QCOMPARE(changed.count(), 1);
        manager->sortDCPsBy("date");
        QCOMPARE(titles(manager->allDCPs()), QStringList({"apple", "Zebra", "Middle"}));
        QCOMPARE(changed.count(), 2);
    }

    void addDcpThatCannotHaveADirectoryThrows()
    {
        DCPManager *manager = DCPManager::instance();
        QFile blocker(m_dir.path() + "/blocker");
        QVERIFY(blocker.open(QIODevice::WriteOnly));
        blocker.close();
        DCP dcp("blocked", "Blocked", "", m_dir.path() + "/blocker");
        const int before = manager->allDCPs().size();
        try {
            manager->addDCP(&dcp);
            QFAIL("a DCP without a directory was listed");
        } catch (const std::runtime_error &error) {
            QCOMPARE(QString(error.what()), QString("Unable to create directory for the DCP"));
        }
        QCOMPARE(manager->allDCPs().size(), before);
        QVERIFY(TestSupport::readLog().contains("[DcpManager] Unable to create directory for the DCP: "));
    }

    void removeDcpFromIndex()
    {
        DCPManager *manager = DCPManager::instance();
        DCP *apple = manager->getDCP("apple");
        QStringList order;
        connect(manager, &DCPManager::dcpsChanged, this, [&] { order << "dcpsChanged"; });
        connect(manager, &DCPManager::filterChanged, this, [&] { order << "filterChanged"; });
        manager->removeDCPFromIndex(apple);
        QCOMPARE(order, QStringList({"dcpsChanged", "filterChanged"}));
        QVERIFY(!manager->getDCP("apple"));
        QVERIFY(!manager->getReel("apple-r1"));
        QVERIFY(!manager->getAsset("shared", "apple"));
        QVERIFY(manager->getAsset("shared", "zebra"));
        QVERIFY(!manager->allDCPs().contains(apple));
        // The index does not touch the database.
        QCOMPARE(CatalogueRows::count(db, "SELECT COUNT(*) FROM dcp WHERE uuid = 'apple'"), 1);
    }

    void loadingAPackageNeedsTheKey()
    {
        DCPManager *manager = DCPManager::instance();
        try {
            manager->importPackage("/some/package.orvdcp");
            QFAIL("a package was read without a decoding key");
        } catch (const std::runtime_error &error) {
            QCOMPARE(QString(error.what()), QString("Can not load DCP when decoding key is empty"));
        }
    }
};

TOLVANE_TEST_MAIN(TestCatalogueLoad)
#include "test_catalogue_load.moc"
