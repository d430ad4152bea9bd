// An import leaves the catalogue in memory equal to the database, whatever happens to the
// writes: a reel uuid another DCP already has, a database locked by another connection, and
// a merge whose new reel shares a new asset with a reel the catalogue already has. The
// download manager then walks the catalogue (queue rebuild, read ticks) without meeting
// an object the import freed. Assets come from the portal stand-in on 127.0.0.1.

#include "CatalogueCheck.h"
#include "ImportFixtures.h"

#include "PortalStandin.h"

#include "catalogue/DCP.h"
#include "catalogue/DCPManager.h"
#include "catalogue/DatabaseManager.h"
#include "catalogue/Reel.h"
#include "download/Asset.h"
#include "download/DownloadManager.h"
#include "import/DCPXMLReader.h"
#include "portal/NotificationManager.h"
#include "support/ScriptedUserInteraction.h"
#include "support/TestMain.h"

#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QtTest>

#include <memory>
#include <stdexcept>

using CatalogueCheck::rowCount;

namespace {

enum class Fault { ReelOfAnotherDcp, DatabaseLocked };

using CatalogueCheck::WriteLock;

}

Q_DECLARE_METATYPE(Fault)

class TestImportCatalogue : public QObject
{
    Q_OBJECT

    PortalStandin standin;
    QString sources;

    bool generate(const QString &title, int reels, GeneratedDcp &dcp)
    {
        DcpGeneratorOptions options;
        options.outDir = sources;
        options.title = title;
        options.reels = reels;
        options.totalSize = quint64(reels) * 6000;
        options.seed = QRandomGenerator::global()->generate64() | 1;
        return generateDcp(options, dcp);
    }

    // The package of the DCP's reels, downloading from the stand-in.
    QJsonObject package(const GeneratedDcp &dcp, const QList<int> &reels)
    {
        PackageOptions options;
        options.baseUrl = QString::fromStdString(standin.baseUrl()) + "/assets/{dcp}";
        options.dcps = {Fixtures::dcpOptions(dcp, reels)};
        QJsonObject json;
        if (!buildPackageJson(options, json))
            return QJsonObject();
        return json;
    }

    static bool import(const QJsonObject &json, const QString &destination = QString())
    {
        ScriptedUserInteraction ui;
        if (!destination.isEmpty())
            ui.directoryAnswers = QStringList{destination};
        DCPXMLReader reader(Fixtures::decodingKey());
        return reader.loadPackage(Fixtures::writePackage(json));
    }

private slots:
    void initTestCase()
    {
        TestSupport::captureLog();
        sources = Fixtures::uniqueDir("sources");
        QVERIFY(standin.start());
        standin.setAssetRoot(sources.toStdString());
        qputenv("TOLVANE_NOTIFICATION_URL", QByteArray::fromStdString(standin.baseUrl()));
        QVERIFY(DatabaseManager::instance());
        QVERIFY(DCPManager::instance());
        NotificationManager::instance()->setConsumerInterval(50);
        // The queue is built but nothing is fetched until a case asks for it.
        DownloadManager::instance()->pauseDownloading();
    }

    void failedWrites_data()
    {
        QTest::addColumn<bool>("merge");
        QTest::addColumn<Fault>("fault");
        QTest::newRow("merge, reel uuid of another DCP") << true << Fault::ReelOfAnotherDcp;
        QTest::newRow("merge, database locked") << true << Fault::DatabaseLocked;
        QTest::newRow("new DCP, reel uuid of another DCP") << false << Fault::ReelOfAnotherDcp;
        QTest::newRow("new DCP, database locked") << false << Fault::DatabaseLocked;
    }

    // A write that fails half way through an import leaves the catalogue as the database
    // has it, and the download queue can be rebuilt from it.
    void failedWrites()
    {
        QFETCH(bool, merge);
        QFETCH(Fault, fault);
        GeneratedDcp dcp, other;
        QVERIFY(generate("Failing Writes", 3, dcp));
        QVERIFY(generate("Owner Of A Reel", 1, other));
        const QString destination = Fixtures::uniqueDir("failing");
        QVERIFY(import(package(other, {}), destination));
        if (merge) {
            QVERIFY(import(package(dcp, {1}), destination));
            QVERIFY(DCPManager::instance()->getDCP(dcp.cplUuid));
        }

        // Reel 2 alone would go in; reel 3 fails.
        QJsonObject json = package(dcp, {1, 2, 3});
        if (fault == Fault::ReelOfAnotherDcp)
            json = Fixtures::withDocumentEdit(json, 0, "cpl_xml", dcp.reelUuids[2], other.reelUuids[0]);
        const int dcpRows = rowCount("SELECT COUNT(*) FROM dcp WHERE uuid = ?", dcp.cplUuid);
        const QList<Reel *> reelsBefore = merge ? DCPManager::instance()->getDCP(dcp.cplUuid)->getReels() : QList<Reel *>();
        {
            std::unique_ptr<WriteLock> lock;
            if (fault == Fault::DatabaseLocked) {
                lock.reset(new WriteLock(DatabaseManager::instance()->databasePath()));
                QVERIFY(lock->held);
            }
            QVERIFY_EXCEPTION_THROWN(import(json, destination), std::runtime_error);
        }

        // The download manager walks every reel and asset of the catalogue.
        DCPManager::instance()->rebuildDownloadQueue();
        for (Asset *asset : DownloadManager::instance()->queuedAssets())
            QVERIFY(DCPManager::instance()->allAssets().contains(asset));

        QCOMPARE(CatalogueCheck::difference(), QString());
        QCOMPARE(rowCount("SELECT COUNT(*) FROM dcp WHERE uuid = ?", dcp.cplUuid), dcpRows);
        QCOMPARE(rowCount("SELECT COUNT(*) FROM reel WHERE uuid = ?", dcp.reelUuids[1]), 0);
        QVERIFY(!DCPManager::instance()->getReel(dcp.reelUuids[1]));
        DCP *stored = DCPManager::instance()->getDCP(dcp.cplUuid);
        QCOMPARE(bool(stored), merge);
        if (stored)
            QCOMPARE(stored->getReels(), reelsBefore);
        QCOMPARE(DCPManager::instance()->getDCP(other.cplUuid)->getReels().size(), 1);

        // Once the database takes writes again, the same package goes in.
        if (fault == Fault::DatabaseLocked) {
            QVERIFY(import(json, destination));
            stored = DCPManager::instance()->getDCP(dcp.cplUuid);
            QVERIFY(stored);
            QCOMPARE(stored->getReels().size(), 3);
            QCOMPARE(CatalogueCheck::difference(), QString());
        }
    }

    // The package's reel 2, which the catalogue already has, names a new asset that the
    // newly merged reel 3 names too. The asset belongs to reel 3 alone: reel 2 is left as
    // the catalogue has it, and the package's reel object goes with the package.
    void mergedAssetLeavesThePackageReelBehind()
    {
        GeneratedDcp dcp;
        QVERIFY(generate("Shared New Sound", 3, dcp));
        const QString sound2 = dcp.asset("sound:2")->uuid;
        const QString sound3 = dcp.asset("sound:3")->uuid;
        const QString destination = Fixtures::uniqueDir("shared-new");
        QVERIFY(import(package(dcp, {1, 2}), destination));
        DCP *stored = DCPManager::instance()->getDCP(dcp.cplUuid);
        QVERIFY(stored);
        Reel *reel2 = stored->getReel(dcp.reelUuids[1]);
        QVERIFY(reel2);
        const QList<Asset *> reel2Assets = reel2->getAssets();

        // In this order, reel 2 plays reel 3's sound.
        QJsonObject json = package(dcp, {2, 3});
        json = Fixtures::withDocumentEdit(json, 0, "cpl_xml", sound2, sound3);
        QVERIFY(import(json));
        Reel *reel3 = stored->getReel(dcp.reelUuids[2]);
        QVERIFY(reel3);
        Asset *sound = stored->getAsset(sound3);
        QVERIFY(sound);

        // The download manager's read ticks walk the asset's reels.
        DownloadManager::instance()->resumeDownloading();
        QTRY_VERIFY_WITH_TIMEOUT(sound->isDownloadFinished(), 60000);
        DownloadManager::instance()->pauseDownloading();


        QCOMPARE(sound->reels(), QList<Reel *>{reel3});
        QVERIFY(reel3->getAssets().contains(sound));
        QCOMPARE(reel2->getAssets(), reel2Assets);
        QCOMPARE(rowCount("SELECT COUNT(*) FROM dcp_reel_asset WHERE asset_uuid = ?", sound3), 1);
        QCOMPARE(rowCount("SELECT COUNT(*) FROM dcp_reel_asset WHERE reel_uuid = ?", dcp.reelUuids[1]), 2);
        QCOMPARE(CatalogueCheck::difference(), QString());
    }
};

TOLVANE_TEST_MAIN(TestImportCatalogue)
#include "tst_import_catalogue.moc"
