// What the start after an unclean end puts right before anything resumes: files that lost
// bytes are taken back, files left visible before their reel was acknowledged are hidden
// again, and reels whose verdict was stored without its event get the event. Run on a real
// catalogue and real files, without the engine.

#include "DownloadFixture.h"

#include "download/ChecksumWorker.h"
#include "download/UncleanEndRepair.h"
#include "portal/Notification.h"
#include "portal/NotificationManager.h"
#include "support/TestMain.h"

#include <QSqlQuery>
#include <QtTest>

using namespace DownloadFixture;

namespace {

struct StoredFlags {
    bool finished = false;
    bool checksummed = false;
};

StoredFlags storedFlags(const Asset *asset)
{
    QSqlQuery query(DatabaseManager::instance()->database());
    query.prepare("SELECT download_finished, download_checksummed FROM asset WHERE uuid = ? AND dcp_uuid = ?");
    query.addBindValue(asset->uuid());
    query.addBindValue(asset->dcp()->uuid());
    StoredFlags flags;
    if (query.exec() && query.next()) {
        flags.finished = query.value(0).toBool();
        flags.checksummed = query.value(1).toBool();
    }
    return flags;
}

// Stores an event of the reel as the notification manager does, acknowledged or not;
// earlier: as an earlier reel with the same uuid left it.
void storeEvent(Reel *reel, int event, bool synced, bool earlier = false)
{
    Notification n;
    n.user_uuid = userUuid();
    n.campaign_dcp_id = reel->getDCP()->campaignDcpId();
    n.reel_uuid = reel->uuid();
    n.reel_assets_hash = QString("%1-%2").arg(earlier ? reel->dbId() + 500 : reel->dbId()).arg(
        NotificationManager::assetSignature(reel));
    n.reel_number = reel->reelNumber();
    n.event = quint32(event);
    n.synced = synced;
    QVERIFY(DatabaseManager::instance()->insertNotification(&n));
}

}

class TestUncleanEndRepair : public QObject
{
    Q_OBJECT

private:
    PortalStandin standin;

    // A one-reel DCP in the catalogue whose files are all on disk, as the stored flags say.
    DCP *onDisk(const QString &title, quint64 seed, GeneratedDcp *generated)
    {
        *generated = generate(title, 1, 200000, seed);
        DCP *dcp = buildDcp(standin, *generated, 9700 + seed);
        for (const GeneratedAsset &source : trackAssets(*generated)) {
            if (!placeDownloaded(*generated, dcp, source.tag))
                return nullptr;
            assetOf(dcp, source)->setDownloadChecksummed(true);
        }
        store(dcp, false);
        return dcp;
    }

private slots:
    void initTestCase()
    {
        TestSupport::captureLog();
        QVERIFY(standin.start());
        standin.setAssetRoot(sourceRoot().toStdString());
        // The portal refuses every event: what the repair stores stays to be read.
        NotificationBehaviour refusing;
        refusing.status = 500;
        standin.setNotificationBehaviour(refusing);
        qputenv("TOLVANE_NOTIFICATION_URL", QByteArray::fromStdString(standin.baseUrl()));
        NotificationManager::instance();
    }

    // A verified file shorter than its listed size, or one the journal cut back, is
    // downloaded and verified again, hidden meanwhile; a partial file the journal cut is left
    // to its resume, and a corrupted one stays as it is.
    void takeBack_data()
    {
        QTest::addColumn<bool>("finished");
        QTest::addColumn<bool>("corrupted");
        QTest::addColumn<bool>("shortened");
        QTest::addColumn<bool>("cut");
        QTest::addColumn<bool>("takenBack");
        QTest::newRow("whole and verified") << true << false << false << false << false;
        QTest::newRow("verified, shorter than listed") << true << false << true << false << true;
        QTest::newRow("verified, cut by the journal") << true << false << false << true << true;
        QTest::newRow("partial, cut by the journal") << false << false << true << true << false;
        QTest::newRow("corrupted, shorter than listed") << true << true << true << false << false;
    }

    void takeBack()
    {
        QFETCH(bool, finished);
        QFETCH(bool, corrupted);
        QFETCH(bool, shortened);
        QFETCH(bool, cut);
        QFETCH(bool, takenBack);
        GeneratedDcp generated;
        const quint64 variant = quint64(finished) + 2 * quint64(corrupted) + 4 * quint64(shortened) + 8 * quint64(cut);
        DCP *dcp = onDisk(QString("Take_Back_%1").arg(variant), 100 + variant, &generated);
        QVERIFY(dcp);
        Asset *picture = assetOf(dcp, *generated.asset("picture:1"));
        picture->setDownloadFinished(finished);
        picture->setDownloadChecksummed(finished && !corrupted);
        picture->setDownloadCorrupted(corrupted);
        if (corrupted)
            picture->setDownloadAttempts(2);
        DatabaseManager::instance()->updateAssetDownloadFields(picture);
        if (shortened)
            QVERIFY(FileManager::truncateFile(picture->filePath(), picture->size() / 2));
        QVERIFY(!FileManager::isHidden(picture->filePath()));
        const QStringList cutPaths = cut ? QStringList{picture->filePath()} : QStringList();

        UncleanEndRepair::takeBackAssetsThatLostBytes(cutPaths);
        QCOMPARE(picture->isDownloadFinished(), finished && !takenBack);
        QCOMPARE(picture->isDownloadChecksummed(), finished && !corrupted && !takenBack);
        QCOMPARE(FileManager::isHidden(picture->filePath()), takenBack);
        const StoredFlags stored = storedFlags(picture);
        QCOMPARE(stored.finished, picture->isDownloadFinished());
        QCOMPARE(stored.checksummed, picture->isDownloadChecksummed());
        Asset *sound = assetOf(dcp, *generated.asset("sound:1"));
        QVERIFY(sound->isDownloadFinished() && sound->isDownloadChecksummed());
    }

    // A visible file is hidden again unless a reel listing it was acknowledged in full: the
    // portal's acknowledgements are read once for the whole catalogue, and events an earlier
    // reel with the same uuid left do not count.
    void hideFilesLeftVisible_data()
    {
        QTest::addColumn<bool>("verified");
        QTest::addColumn<bool>("acknowledged");
        QTest::addColumn<bool>("earlierReelWaits");
        QTest::addColumn<bool>("hidden");
        QTest::newRow("verified and acknowledged") << true << true << false << false;
        QTest::newRow("verified, an event waits") << true << false << false << true;
        QTest::newRow("not verified yet") << false << true << false << true;
        QTest::newRow("acknowledged, an earlier reel's event waits") << true << true << true << false;
    }

    void hideFilesLeftVisible()
    {
        QFETCH(bool, verified);
        QFETCH(bool, acknowledged);
        QFETCH(bool, earlierReelWaits);
        QFETCH(bool, hidden);
        GeneratedDcp generated;
        DCP *dcp = onDisk(QString("Left_Visible_%1%2%3").arg(verified).arg(acknowledged).arg(earlierReelWaits),
                          200 + quint64(verified + 2 * acknowledged + 4 * earlierReelWaits), &generated);
        QVERIFY(dcp);
        Reel *reel = dcp->getReels().first();
        if (!verified) {
            for (Asset *asset : reel->getAssets()) {
                asset->setDownloadChecksummed(false);
                DatabaseManager::instance()->updateAssetDownloadFields(asset);
            }
        }
        for (int event : {1, 2, 6, 8})
            storeEvent(reel, event, acknowledged || event != 8);
        if (earlierReelWaits)
            storeEvent(reel, 1, false, true);

        UncleanEndRepair::hideFilesLeftVisible();
        for (Asset *asset : reel->getAssets())
            QCOMPARE(FileManager::isHidden(asset->filePath()), hidden);
        QCOMPARE(TestSupport::readLog().contains(
                     ("The last run left a file visible before its reel was acknowledged: \""
                      + reel->getAssets().first()->filePath() + "\"")
                         .toUtf8()),
                 hidden);
    }

    // A reel downloaded but never handed to verification gets its event 2, a verified reel
    // without event 8 gets it; events already stored are not stored twice, and a reel
    // already handed to verification needs none.
    void missingEvents()
    {
        GeneratedDcp generated;
        DCP *verifiedDcp = onDisk("Missing_Eight", 301, &generated);
        DCP *downloadedDcp = onDisk("Missing_Two", 302, &generated);
        DCP *storedDcp = onDisk("Nothing_Missing", 303, &generated);
        DCP *handedOverDcp = onDisk("Handed_Over", 304, &generated);
        QVERIFY(verifiedDcp && downloadedDcp && storedDcp && handedOverDcp);
        for (DCP *unverified : {downloadedDcp, handedOverDcp}) {
            for (Asset *asset : unverified->getAssets()) {
                asset->setDownloadChecksummed(false);
                DatabaseManager::instance()->updateAssetDownloadFields(asset);
            }
        }
        Reel *verified = verifiedDcp->getReels().first();
        Reel *downloaded = downloadedDcp->getReels().first();
        Reel *stored = storedDcp->getReels().first();
        Reel *handedOver = handedOverDcp->getReels().first();
        NotificationManager::instance()->notify(stored, 8);
        ChecksumWorker worker;
        worker.appendJob(handedOver);

        UncleanEndRepair::addMissingEvents(&worker);
        QCOMPARE(eventsOf(notificationRows(verified->uuid())), QSet<int>({8}));
        QCOMPARE(eventsOf(notificationRows(downloaded->uuid())), QSet<int>({2}));
        QCOMPARE(notificationRows(stored->uuid()).size(), 1);
        QVERIFY(!eventsOf(notificationRows(handedOver->uuid())).contains(2));
        UncleanEndRepair::addMissingEvents(&worker);
        QCOMPARE(notificationRows(verified->uuid()).size(), 1);
        QCOMPARE(notificationRows(downloaded->uuid()).size(), 1);
    }

    void cleanupTestCase()
    {
        standin.stop();
    }
};

TOLVANE_TEST_MAIN(TestUncleanEndRepair)
#include "tst_unclean_end_repair.moc"
