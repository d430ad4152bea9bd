#include "CatalogueRows.h"

#include "catalogue/DCP.h"
#include "catalogue/DCPManager.h"
#include "catalogue/DatabaseManager.h"
#include "catalogue/Reel.h"
#include "download/Asset.h"
#include "download/FileManager.h"
#include "portal/Notification.h"
#include "support/TestMain.h"

#include <QDir>
#include <QFile>
#include <QQmlEngine>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>
#include <vector>

// A DCP with its reels and assets, deleted together at the end of a test.
struct Package
{
    std::unique_ptr<DCP> dcp;
    std::vector<std::unique_ptr<Reel>> reels;
    std::vector<std::unique_ptr<Asset>> assets;

    Package(const QString &uuid, const QString &downloadPath)
        : dcp(new DCP(uuid, "Title " + uuid, "http://posters/" + uuid, downloadPath))
    {
    }

    Reel *reel(const QString &uuid, quint32 number)
    {
        reels.emplace_back(new Reel(uuid, "", "", "", number));
        reels.back()->setDCP(dcp.get());
        dcp->addReel(reels.back().get());
        return reels.back().get();
    }

    Asset *asset(const QString &uuid, quint64 size, Reel *reel, const QString &directory = QString())
    {
        assets.emplace_back(new Asset(uuid, "hash", size, "application/mxf", uuid + ".mxf", "http://assets/" + uuid));
        Asset *asset = assets.back().get();
        asset->setDcp(dcp.get());
        asset->setDirectoryPath(directory);
        if (reel) {
            asset->addReel(reel);
            reel->addAsset(asset);
        }
        dcp->addAsset(asset);
        return asset;
    }
};

void writeBytes(const QString &path, int count)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        qFatal("cannot write %s", qPrintable(path));
    file.write(QByteArray(count, 'x'));
}

class TestCatalogueObjects : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    DatabaseManager *db = nullptr;

private slots:
    void initTestCase()
    {
        TestSupport::captureLog();
        db = DatabaseManager::instance();
        DCPManager::instance(); // an empty catalogue
    }

    void reelWithoutAssets()
    {
        Reel reel("empty-reel", 1);
        QCOMPARE(reel.getTotalSize(), quint64(0));
        QCOMPARE(reel.getDownloadedSize(), quint64(0));
        QVERIFY(reel.isDownloaded());
        QVERIFY(reel.isChecksummed());
        QVERIFY(reel.isFinished());
        QVERIFY(!reel.isCorrupted());
    }

    void dcpWithoutReels()
    {
        DCP dcp("no-reels", "No Reels", "", m_dir.path());
        QVERIFY(dcp.property("finished").toBool());
        QCOMPARE(dcp.getTotalSize(), quint64(0));
        QCOMPARE(dcp.getDownloadedSize(), quint64(0));
        QCOMPARE(dcp.getDownloadedSizeUI(), quint64(0));
        QCOMPARE(QQmlEngine::objectOwnership(&dcp), QQmlEngine::CppOwnership);
    }

    void reelIsFinished_data()
    {
        QTest::addColumn<bool>("finished");
        QTest::addColumn<bool>("checksummed");
        QTest::addColumn<quint32>("attempts");
        QTest::addColumn<bool>("corrupted");
        QTest::addColumn<bool>("done");
        QTest::newRow("fresh") << false << false << 0u << false << false;
        QTest::newRow("finished") << true << false << 0u << false << true;
        QTest::newRow("checksummed, attempts 1") << false << true << 1u << false << false;
        QTest::newRow("checksummed, attempts 2") << false << true << 2u << false << false;
        QTest::newRow("checksummed, attempts 2, corrupted") << false << true << 2u << true << true;
        QTest::newRow("checksummed, attempts 3") << false << true << 3u << false << true;
        QTest::newRow("attempts 3, not checksummed") << false << false << 3u << false << false;
    }

    void reelIsFinished()
    {
        QFETCH(bool, finished);
        QFETCH(bool, checksummed);
        QFETCH(quint32, attempts);
        QFETCH(bool, corrupted);
        QFETCH(bool, done);
        Package package("finish", m_dir.path());
        Reel *reel = package.reel("finish-reel", 1);
        package.asset("ok-asset", 10, reel)->setDownloadFinished(true);
        Asset *asset = package.asset("probe-asset", 10, reel);
        asset->setDownloadFinished(finished);
        asset->setDownloadChecksummed(checksummed);
        asset->setDownloadAttempts(attempts);
        asset->setDownloadCorrupted(corrupted);
        QCOMPARE(reel->isFinished(), done);
        QCOMPARE(package.dcp->property("finished").toBool(), done);
    }

    void downloadedSizeForTheWindow()
    {
        Package package("sizes", m_dir.path());
        Reel *corrupted = package.reel("corrupted-reel", 1);
        Asset *broken = package.asset("broken", 1000, corrupted);
        broken->setDownloadCorrupted(true);
        writeBytes(broken->filePath(), 10);
        Reel *partial = package.reel("partial-reel", 2);
        Asset *half = package.asset("half", 800, partial, "sub");
        writeBytes(half->filePath(), 400);

        QCOMPARE(corrupted->getDownloadedSize(), quint64(10));
        QCOMPARE(package.dcp->getTotalSize(), quint64(1800));
        QCOMPARE(package.dcp->getDownloadedSize(), quint64(410));
        // A corrupted reel counts as full, a partial one as what is on disk.
        QCOMPARE(package.dcp->getDownloadedSizeUI(), quint64(1400));
        half->setDownloadFinished(true);
        QCOMPARE(package.dcp->getDownloadedSizeUI(), quint64(1800));
    }

    void assetSharedByTwoReelsCountsTwice()
    {
        Package package("shared-size", m_dir.path());
        Reel *first = package.reel("shared-size-1", 1);
        Reel *second = package.reel("shared-size-2", 2);
        Asset *shared = package.asset("shared-font", 100, first);
        shared->addReel(second);
        second->addAsset(shared);
        QCOMPARE(package.dcp->getTotalSize(), quint64(200));
    }

    void addAssetTwiceListsItOnce()
    {
        Package package("twice", m_dir.path());
        Reel *reel = package.reel("twice-reel", 1);
        Asset *asset = package.asset("twice-asset", 5, reel);
        reel->addAsset(asset);
        QCOMPARE(reel->getAssets().size(), 1);
        QCOMPARE(reel->getTotalSize(), quint64(5));
    }

    void addReelSignalsInOrder()
    {
        DCP dcp("signals", "Signals", "", m_dir.path());
        QStringList order;
        connect(&dcp, &DCP::reelsChanged, this, [&] { order << "reelsChanged"; });
        connect(&dcp, &DCP::finishedChanged, this, [&] { order << "finishedChanged"; });
        Reel reel("signals-reel", 1);
        dcp.addReel(&reel);
        QCOMPARE(order, QStringList({"reelsChanged", "finishedChanged"}));
        QCOMPARE(dcp.getReel("signals-reel"), &reel);
        QCOMPARE(dcp.property("reels").value<QList<QObject *>>().size(), 1);
        QVERIFY(!dcp.getReel("other"));
    }

    // A reel's events carry its row id at the start of their asset hash; an event left by an
    // earlier reel with the same uuid is not this reel's.
    void isSyncedFollowsNotifications()
    {
        Reel reel("sync-reel", 1);
        reel.setDbId(7);
        QVERIFY(reel.isSynced());
        Notification earlier;
        earlier.reel_uuid = "sync-reel";
        earlier.reel_assets_hash = "3-a0";
        earlier.event = 1;
        db->insertNotification(&earlier);
        QVERIFY(reel.isSynced());
        Notification notification;
        notification.reel_uuid = "sync-reel";
        notification.reel_assets_hash = "7-a0";
        notification.event = 1;
        db->insertNotification(&notification);
        QVERIFY(!reel.isSynced());
        notification.synced = true;
        db->updateNotificationSynced(&notification);
        QVERIFY(reel.isSynced());
    }

    void filePath()
    {
        Package package("paths", "/media/usb");
        Asset *top = package.asset("top", 1, nullptr);
        Asset *nested = package.asset("nested", 1, nullptr, "d1bd0a6f-sub");
        QCOMPARE(top->filePath(), QString("/media/usb/Title paths/top.mxf"));
        QCOMPARE(nested->filePath(), QString("/media/usb/Title paths/d1bd0a6f-sub/nested.mxf"));
    }

    void stripUrnUuid_data()
    {
        QTest::addColumn<QString>("input");
        QTest::addColumn<QString>("expected");
        QTest::newRow("prefixed") << "urn:uuid:8e2c6a51-0d8c-4b58-9d2b-3b5c8a7e1f00" << "8e2c6a51-0d8c-4b58-9d2b-3b5c8a7e1f00";
        QTest::newRow("capitals") << "URN:UUID:8e2c6a51-0d8c-4b58-9d2b-3b5c8a7e1f00" << "URN:UUID:8e2c6a51-0d8c-4b58-9d2b-3b5c8a7e1f00";
        QTest::newRow("bare") << "8e2c6a51-0d8c-4b58-9d2b-3b5c8a7e1f00" << "8e2c6a51-0d8c-4b58-9d2b-3b5c8a7e1f00";
        QTest::newRow("prefix inside") << "x-urn:uuid:1" << "x-urn:uuid:1";
    }

    void stripUrnUuid()
    {
        QFETCH(QString, input);
        QFETCH(QString, expected);
        QCOMPARE(::stripUrnUuid(input), expected);
    }

    void assetFileIsCreatedHiddenAndClosedOnce()
    {
        Package package("files", m_dir.path());
        Asset *asset = package.asset("file-asset", 10, nullptr, "deep/er");
        QFile *file = asset->file();
        QVERIFY(file && file->isOpen());
        QCOMPARE(asset->file(), file);
        QVERIFY(FileManager::isHidden(asset->filePath()));
        QCOMPARE(file->write("abc"), qint64(3));
        QVERIFY(asset->closeFile());
        QVERIFY(!asset->closeFile());
        QCOMPARE(asset->sizeOnDisk(), quint64(3));
        QVERIFY(asset->reveal());
        QVERIFY(!FileManager::isHidden(asset->filePath()));
        asset->removeFromFileSystem();
        QVERIFY(!QFile::exists(asset->filePath()));
        asset->removeFromFileSystem(); // a missing file is no error
        QCOMPARE(asset->sizeOnDisk(), quint64(0));
    }

    void assetFileThatCannotBeOpenedThrows()
    {
        writeBytes(m_dir.path() + "/blocked", 1);
        Package package("blocked-dcp", m_dir.path() + "/blocked");
        Asset *asset = package.asset("blocked-asset", 10, nullptr);
        try {
            asset->file();
            QFAIL("a file under a regular file was opened");
        } catch (const std::runtime_error &error) {
            QCOMPARE(QString(error.what()), QString("[Asset] Unable to open Asset"));
        }
        QVERIFY(TestSupport::readLog().contains(QString("[Asset] Unable to open Asset  \"%1\"").arg(asset->filePath()).toUtf8()));
    }

    void dcpSyncStoresEverythingOnce()
    {
        Package package("stored", m_dir.path());
        package.dcp->setCampaignDcpId(77);
        Reel *first = package.reel("stored-1", 1);
        Reel *second = package.reel("stored-2", 2);
        Asset *shared = package.asset("stored-shared", 10, first);
        shared->addReel(second);
        second->addAsset(shared);
        package.asset("stored-own", 10, second);
        package.dcp->sync();

        QVERIFY(package.dcp->dbId() > 0);
        QVERIFY(first->dbId() > 0 && second->dbId() > first->dbId());
        QCOMPARE(CatalogueRows::count(db, "SELECT COUNT(*) FROM asset WHERE dcp_uuid = 'stored'"), 2);
        QCOMPARE(CatalogueRows::count(db, "SELECT COUNT(*) FROM dcp_reel_asset WHERE dcp_uuid = 'stored'"), 3);
        QCOMPARE(CatalogueRows::count(db, "SELECT COUNT(*) FROM reel WHERE dcp_uuid = 'stored'"), 2);
        // The shared asset was stored with the first reel and then known to the DCP list.
        QVERIFY(TestSupport::readLog().contains("[Asset] Syncing asset (ignored exists)... \"stored-shared\""));
        QCOMPARE(DCPManager::instance()->getAsset("stored-shared", "stored"), shared);
        // Listing the stored DCP indexes its assets again: still one entry each.
        DCPManager::instance()->addDCP(package.dcp.get());
        QCOMPARE(DCPManager::instance()->allAssets().count(shared), 1);
        QCOMPARE(DCPManager::instance()->allAssets().size(), 2);
        DCPManager::instance()->removeDCPFromIndex(package.dcp.get());
        QVERIFY(DCPManager::instance()->allAssets().isEmpty());
    }

    void failedDcpSyncLeavesNoRows()
    {
        CatalogueRows::insertDcp(db, "taken", "Taken", m_dir.path());
        Package package("taken", m_dir.path());
        package.asset("taken-asset", 1, package.reel("taken-reel", 1));
        QVERIFY_EXCEPTION_THROWN(package.dcp->sync(), std::runtime_error);
        QCOMPARE(CatalogueRows::count(db, "SELECT COUNT(*) FROM reel WHERE uuid = 'taken-reel'"), 0);
        QCOMPARE(CatalogueRows::count(db, "SELECT COUNT(*) FROM asset WHERE uuid = 'taken-asset'"), 0);
        QCOMPARE(CatalogueRows::count(db, "SELECT COUNT(*) FROM dcp WHERE uuid = 'taken'"), 1);
    }

    void removeReelFromDcp()
    {
        Package package("removal", m_dir.path());
        Reel *gone = package.reel("removal-1", 1);
        Reel *kept = package.reel("removal-2", 2);
        package.asset("removal-a1", 10, gone);
        package.asset("removal-a2", 10, kept);
        package.dcp->sync();
        for (Asset *asset : package.dcp->getAssets())
            DCPManager::instance()->removeAssetFromIndex(asset);

        QSignalSpy reelsChanged(package.dcp.get(), &DCP::reelsChanged);
        package.dcp->removeReel(gone);
        QCOMPARE(reelsChanged.count(), 0); // the caller signals
        QCOMPARE(package.dcp->getReels(), QList<Reel *>({kept}));
        QVERIFY(!package.dcp->getReel("removal-1"));
        QVERIFY(!package.dcp->getAsset("removal-a1"));
        QVERIFY(package.dcp->getAsset("removal-a2"));
        QCOMPARE(package.dcp->getAssets().size(), 1);
        QCOMPARE(CatalogueRows::count(db, "SELECT COUNT(*) FROM reel WHERE dcp_uuid = 'removal'"), 1);
        QCOMPARE(CatalogueRows::count(db, "SELECT COUNT(*) FROM asset WHERE dcp_uuid = 'removal'"), 1);
        QCOMPARE(CatalogueRows::count(db, "SELECT COUNT(*) FROM dcp_reel_asset WHERE reel_uuid = 'removal-1'"), 0);
        const QByteArray log = TestSupport::readLog();
        QVERIFY(log.contains("Removing Reel...  \"removal-1\""));
        QVERIFY(log.contains("[Asset] Removing Asset from DB...  \"removal-a1\""));
    }

    // An asset that another reel lists stays with that reel: in the DCP, with its row and
    // the other reel's link row.
    void removeReelKeepsSharedAsset()
    {
        Package package("sharing", m_dir.path());
        Reel *gone = package.reel("sharing-1", 1);
        Reel *kept = package.reel("sharing-2", 2);
        Asset *own = package.asset("sharing-own", 10, gone);
        Asset *shared = package.asset("sharing-shared", 10, gone);
        shared->addReel(kept);
        kept->addAsset(shared);
        package.asset("sharing-kept", 10, kept);
        package.dcp->sync();
        for (Asset *asset : package.dcp->getAssets())
            DCPManager::instance()->removeAssetFromIndex(asset);

        QCOMPARE(package.dcp->assetsOnlyIn(gone), QList<Asset *>{own});
        package.dcp->removeReel(gone);
        QCOMPARE(package.dcp->getReels(), QList<Reel *>({kept}));
        QVERIFY(!package.dcp->getAsset("sharing-own"));
        QCOMPARE(package.dcp->getAsset("sharing-shared"), shared);
        QCOMPARE(package.dcp->getAssets().size(), 2);
        QCOMPARE(CatalogueRows::count(db, "SELECT COUNT(*) FROM asset WHERE dcp_uuid = 'sharing'"), 2);
        QCOMPARE(CatalogueRows::count(db, "SELECT COUNT(*) FROM asset WHERE uuid = 'sharing-shared'"), 1);
        QCOMPARE(CatalogueRows::count(db, "SELECT COUNT(*) FROM dcp_reel_asset WHERE reel_uuid = 'sharing-1'"), 0);
        QCOMPARE(CatalogueRows::count(db, "SELECT COUNT(*) FROM dcp_reel_asset WHERE reel_uuid = 'sharing-2'"), 2);
        QVERIFY(!TestSupport::readLog().contains("[Asset] Removing Asset from DB...  \"sharing-shared\""));
    }
};

TOLVANE_TEST_MAIN(TestCatalogueObjects)
#include "test_catalogue_objects.moc"
