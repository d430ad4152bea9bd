// Reel events and the notification service (the portal stand-in): what is stored, in which
// order events leave, which answers count as accepted, when a reel's files are revealed;
// and the engine's controls that need no transfer.

#include "DownloadFixture.h"

#include "catalogue/Setting.h"
#include "download/DownloadManager.h"
#include "portal/Notification.h"
#include "portal/NotificationManager.h"
#include "support/ScriptedUserInteraction.h"
#include "support/TestMain.h"

#include <QSignalSpy>
#include <QtTest>

using namespace DownloadFixture;

namespace {

int rowsFor(const QString &reelUuid)
{
    return notificationRows(reelUuid).size();
}

Notification row(quint64 campaign, quint32 reelNumber, quint32 event, const QString &reelUuid)
{
    Notification n;
    n.user_uuid = userUuid();
    n.campaign_dcp_id = campaign;
    n.reel_uuid = reelUuid;
    n.reel_assets_hash = "1-x0";
    n.reel_number = reelNumber;
    n.event = event;
    return n;
}

}

class TestNotifications : public QObject
{
    Q_OBJECT

private:
    PortalStandin standin;
    ScriptedUserInteraction *ui = nullptr;
    NotificationManager *nm = nullptr;

    QList<std::string> sentKeys() const
    {
        QList<std::string> keys;
        for (const NotificationRequest &r : standin.notificationRequests())
            keys.append(r.value("campaign_dcp_id") + "-" + r.value("reel_number") + "-" + r.value("event"));
        return keys;
    }

    // A catalogue reel whose files exist on disk, hidden, as after its download.
    Reel *downloadedReel(const QString &title, quint64 campaign, quint64 seed)
    {
        const GeneratedDcp generated = generate(title, 1, 20000, seed);
        DCP *dcp = buildDcp(standin, generated, campaign);
        store(dcp, false);
        Reel *reel = dcp->getReels().first();
        for (Asset *asset : reel->getAssets()) {
            writePrefix(sourcePath(generated, *std::find_if(generated.assets.begin(), generated.assets.end(),
                                                            [&](const GeneratedAsset &a) { return a.uuid == asset->uuid(); })),
                        asset->filePath(), qint64(asset->size()));
            FileManager::hideFile(asset->filePath());
            asset->setDownloadFinished(true);
            asset->setDownloadChecksummed(true);
        }
        return reel;
    }

private slots:
    void initTestCase()
    {
        TestSupport::captureLog();
        ui = new ScriptedUserInteraction();
        QVERIFY(standin.start());
        standin.setAssetRoot(sourceRoot().toStdString());
        qputenv("TOLVANE_NOTIFICATION_URL", QByteArray::fromStdString(standin.baseUrl()));
        // Rows left unsent by an earlier run, stored out of order.
        for (Notification n : {row(9, 1, 2, "reel-nine"), row(12, 1, 1, "reel-twelve"), row(9, 1, 1, "reel-nine")})
            QVERIFY(DatabaseManager::instance()->insertNotification(&n));
        NotificationBehaviour held;
        held.hang = true; // nothing is answered until the order is checked
        standin.setNotificationBehaviour(held);
        nm = NotificationManager::instance();
        QCOMPARE(nm->pendingNotifications.size(), 3);
        nm->setConsumerInterval(50);
        nm->setRequestTimeout(800);
    }

    // Pending rows found at start-up leave smallest key first: campaign 12 before 9 (text
    // order), and within a reel event 1 before 2. A request that never answers is given up
    // after the request time-out and sent again.
    void startupRowsInKeyOrderAndHangingRequestRetried()
    {
        QTRY_COMPARE_WITH_TIMEOUT(int(standin.notificationRequests().size()), 1, 3000);
        QCOMPARE(sentKeys().at(0), std::string("12-1-1"));
        // The hanging request times out and is retried: the same event again.
        QTRY_VERIFY_WITH_TIMEOUT(standin.notificationRequests().size() >= 2, 3000);
        QCOMPARE(sentKeys().at(1), std::string("12-1-1"));
        QVERIFY(TestSupport::readLog().contains("[NotificationManager] Failed Reel num:  1 Ev:  1"));
        standin.setNotificationBehaviour(NotificationBehaviour());
        QTRY_VERIFY_WITH_TIMEOUT(nm->pendingNotifications.isEmpty(), 5000);
        QList<std::string> keys = sentKeys();
        keys.removeAll(std::string("12-1-1"));
        QCOMPARE(keys, (QList<std::string>{"9-1-1", "9-1-2"}));
        const NotificationRequest first = standin.notificationRequests().front();
        QCOMPARE(first.query.size(), size_t(4));
        QCOMPARE(first.query[0].first, std::string("user_uuid"));
        QCOMPARE(first.query[3].first, std::string("event"));
    }

    // An event raised twice for one attempt is stored and sent once.
    void sameEventStoredOnce()
    {
        Reel *reel = downloadedReel("Twice", 301, 41);
        standin.clearNotificationRequests();
        nm->notify(reel, 3);
        nm->notify(reel, 3);
        QCOMPARE(rowsFor(reel->uuid()), 1);
        QTRY_VERIFY_WITH_TIMEOUT(nm->pendingNotifications.isEmpty(), 3000);
        QTest::qWait(200);
        QCOMPARE(sentKeys(), (QList<std::string>{"301-1-3"}));
        nm->notify(reel, 3);
        QCOMPARE(rowsFor(reel->uuid()), 1);
    }

    // Only the two bytes "ok" are an acknowledgement.
    void onlyOkIsAccepted()
    {
        Reel *reel = downloadedReel("Bodies", 302, 42);
        for (const char *body : {"ok\n", "OK"}) {
            NotificationBehaviour other;
            other.body = body;
            standin.setNotificationBehaviour(other);
            standin.clearNotificationRequests();
            nm->notify(reel, body[0] == 'o' ? 1 : 2);
            QTRY_VERIFY_WITH_TIMEOUT(standin.notificationRequests().size() >= 2, 3000);
            QVERIFY(!nm->pendingNotifications.isEmpty());
            for (const NotificationRow &r : notificationRows(reel->uuid()))
                QVERIFY(!r.synced);
        }
        standin.setNotificationBehaviour(NotificationBehaviour());
        QTRY_VERIFY_WITH_TIMEOUT(nm->pendingNotifications.isEmpty(), 3000);
        QVERIFY(reel->isSynced());
    }

    // Closing the program while an event is in flight waits for its answer: the portal's
    // acknowledgement is recorded, so the next start does not send the event again. A
    // portal that does not answer holds the closing only for the given time.
    void closingWaitsForTheEventInFlight()
    {
        Reel *reel = downloadedReel("Closing", 305, 45);
        NotificationBehaviour slow;
        slow.delayMs = 400;
        standin.setNotificationBehaviour(slow);
        standin.clearNotificationRequests();
        nm->notify(reel, 1);
        QTRY_COMPARE_WITH_TIMEOUT(int(standin.notificationRequests().size()), 1, 3000);
        QCOMPARE(standin.notificationRequests().front().status, 0); // still unanswered
        nm->finishCurrentRequest(5000);
        QVERIFY(standin.notificationRequests().front().acknowledged);
        QVERIFY(nm->pendingNotifications.isEmpty());
        QCOMPARE(notificationRows(reel->uuid()).size(), 1);
        QVERIFY(notificationRows(reel->uuid()).first().synced);

        NotificationBehaviour held;
        held.hang = true;
        standin.setNotificationBehaviour(held);
        standin.clearNotificationRequests();
        nm->notify(reel, 2);
        QTRY_COMPARE_WITH_TIMEOUT(int(standin.notificationRequests().size()), 1, 3000);
        nm->finishCurrentRequest(200);
        QVERIFY(!notificationRows(reel->uuid()).last().synced);
        standin.setNotificationBehaviour(NotificationBehaviour());
        QTRY_VERIFY_WITH_TIMEOUT(nm->pendingNotifications.isEmpty(), 5000);
    }

    // Files are revealed only when every event of the reel, event 8 among them, is
    // acknowledged.
    void revealNeedsEveryEventAndVerification()
    {
        Reel *reel = downloadedReel("Reveal", 303, 43);
        QSignalSpy synced(reel, &Reel::downloadSynced);
        // Event 5 is refused while 6 and 8 go through: 303-1-5 is sent first and fails.
        NotificationBehaviour failing;
        failing.status = 500;
        standin.setNotificationBehaviour(failing);
        nm->notify(reel, 5);
        QTRY_VERIFY_WITH_TIMEOUT(!standin.notificationRequests().empty()
                                     && standin.notificationRequests().back().value("event") == "5",
                                 3000);
        // Let 6 and 8 be acknowledged alone: take 5 out of the way for a moment.
        const QString key5 = nm->pendingNotifications.firstKey();
        const Notification held = nm->pendingNotifications.take(key5);
        standin.setNotificationBehaviour(NotificationBehaviour());
        nm->notify(reel, 6);
        nm->notify(reel, 8);
        QTRY_VERIFY_WITH_TIMEOUT(nm->pendingNotifications.isEmpty(), 3000);
        QCOMPARE(synced.size(), 0);
        QVERIFY(allHidden(reel));
        QVERIFY(!reel->isSynced());
        // Event 5 acknowledged at last: now the files are revealed.
        nm->pendingNotifications.insert(key5, held);
        QTRY_COMPARE_WITH_TIMEOUT(synced.size(), 1, 3000);
        QVERIFY(noneHidden(reel));
        QVERIFY(reel->isSynced());
    }

    // An event left by an earlier reel with the same uuid, never acknowledged, is not this
    // reel's: once its own events are acknowledged the reel is revealed and counts as synced
    // (its card can say so), both ways of asking agreeing.
    void eventsOfAnEarlierReelDoNotCount()
    {
        Reel *reel = downloadedReel("Earlier_Uuid", 305, 61);
        Notification stale = row(300, 1, 1, reel->uuid());
        stale.reel_assets_hash = QString("%1-old").arg(reel->dbId() + 1000);
        QVERIFY(DatabaseManager::instance()->insertNotification(&stale));
        QSignalSpy synced(reel, &Reel::downloadSynced);
        for (int event : {1, 2, 6, 8})
            nm->notify(reel, event);
        QTRY_COMPARE_WITH_TIMEOUT(synced.size(), 1, 3000);
        QVERIFY(noneHidden(reel));
        QVERIFY(reel->isSynced());
        const auto acknowledgements = DatabaseManager::instance()->reelAcknowledgements();
        const auto own = acknowledgements.value(DatabaseManager::reelKey(reel->uuid(), reel->dbId()));
        QVERIFY(own.allSynced && own.verified);
        const auto earlier = acknowledgements.value(DatabaseManager::reelKey(reel->uuid(), reel->dbId() + 1000));
        QVERIFY(!earlier.allSynced && !earlier.verified);
    }

    // All events acknowledged, but no verification passed: nothing is revealed.
    void noRevealWithoutEvent8()
    {
        Reel *reel = downloadedReel("Failed_Verify", 304, 44);
        QSignalSpy synced(reel, &Reel::downloadSynced);
        for (int event : {1, 2, 6, 7})
            nm->notify(reel, event);
        QTRY_VERIFY_WITH_TIMEOUT(nm->pendingNotifications.isEmpty(), 3000);
        QVERIFY(reel->isSynced());
        QCOMPARE(synced.size(), 0);
        QVERIFY(allHidden(reel));
    }

    void progressPercentagesRaiseEvents_data()
    {
        QTest::addColumn<quint64>("downloaded");
        QTest::addColumn<quint64>("total");
        QTest::addColumn<int>("event");
        QTest::newRow("24%") << quint64(24) << quint64(100) << 0;
        QTest::newRow("25%") << quint64(25) << quint64(100) << 3;
        QTest::newRow("49%") << quint64(49) << quint64(100) << 3;
        QTest::newRow("50%") << quint64(50) << quint64(100) << 4;
        QTest::newRow("74%") << quint64(74) << quint64(100) << 4;
        QTest::newRow("75%") << quint64(75) << quint64(100) << 5;
        QTest::newRow("100%") << quint64(100) << quint64(100) << 5;
        QTest::newRow("just under a quarter") << quint64(1073741823) << quint64(4294967296) << 0;
        QTest::newRow("a quarter of 4 GiB") << quint64(1073741824) << quint64(4294967296) << 3;
        QTest::newRow("500 GB, 75%") << Q_UINT64_C(375000000000) << Q_UINT64_C(500000000000) << 5;
        QTest::newRow("empty reel") << quint64(0) << quint64(0) << 0;
    }

    void progressPercentagesRaiseEvents()
    {
        QFETCH(quint64, downloaded);
        QFETCH(quint64, total);
        QFETCH(int, event);
        QCOMPARE(TransferProgress::progressEvent(downloaded, total), event);
    }

    // Engine controls that need no transfer: the button's pause and the engine's own.
    void readChunkSizeAndPauseWithoutTransfer_data()
    {
        QTest::addColumn<int>("unused");
        QTest::newRow("button") << 0;
        QTest::newRow("forced") << 1;
    }

    void readChunkSizeAndPauseWithoutTransfer()
    {
        DownloadManager *manager = DownloadManager::instance();
        QSignalSpy chunk(manager, &DownloadManager::readChunkSizeChanged);
        manager->setProperty("read_chunk_size", 125000u);
        QCOMPARE(manager->property("read_chunk_size").toUInt(), 2500u);
        QCOMPARE(chunk.size(), 1);
        manager->setReadChunkSize(25000000);
        QCOMPARE(manager->readChunkSizeValue(), 500000u);

        // PAUSE pauses with no transfer running too, and the pause is stored.
        const QString form = QTest::currentDataTag();
        QVERIFY(!manager->isPaused());
        QSignalSpy pausedChanged(manager, &DownloadManager::pausedChanged);
        QSignalSpy downloadPaused(manager, &DownloadManager::downloadPaused);
        if (form == "forced")
            manager->pauseDownloading(true);
        else
            manager->pauseDownloading();
        QVERIFY(manager->isPaused());
        QCOMPARE(pausedChanged.size(), 1);
        QCOMPARE(downloadPaused.size(), 1);
        QCOMPARE(manager->activity(), QString("paused"));
        QSqlQuery query(DatabaseManager::instance()->database());
        QVERIFY(query.exec("SELECT value FROM setting WHERE key = 'download_paused'") && query.next());
        QCOMPARE(query.value(0).toString(), QString("1"));
        manager->resumeDownloading();
        QVERIFY(!manager->isPaused());
        QVERIFY(query.exec("SELECT value FROM setting WHERE key = 'download_paused'") && query.next());
        QCOMPARE(query.value(0).toString(), QString("0"));
        QCOMPARE(pausedChanged.size(), 2);
    }

    void cleanupTestCase()
    {
        standin.stop();
    }
};

TOLVANE_TEST_MAIN(TestNotifications)
#include "tst_notifications.moc"
