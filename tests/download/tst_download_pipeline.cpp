// The download pipeline in one process, against the portal stand-in: packages imported or
// DCPs put into the catalogue, downloaded, verified, reported to the notification service
// and revealed, with the faults of real links (corrupted bytes, stalls, dropped
// connections, redirects, servers that ignore the range) and a notification service that
// refuses for a while. The cases build on each other: each adds a DCP to the one catalogue
// of the process after the previous one has finished.

#include "DownloadFixture.h"
#include "PackageBuilder.h"

#include "base/PortalHosts.h"
#include "catalogue/Setting.h"
#include "download/ChecksumWorker.h"
#include "download/DownloadManager.h"
#include "portal/NotificationManager.h"
#include "support/ScriptedUserInteraction.h"
#include "support/TestMain.h"

#include <QJsonDocument>
#include <QSignalSpy>
#include <QtTest>

using namespace DownloadFixture;

namespace {
const int kStallTimeout = 1500;
const QString kDecodingKey = QStringLiteral("tolvane-decoding-key-0123456789abcdef-session");
}

class TestDownloadPipeline : public QObject
{
    Q_OBJECT

private:
    PortalStandin standin;
    ScriptedUserInteraction *ui = nullptr;
    DownloadManager *manager = nullptr;

private slots:
    void initTestCase()
    {
        ui = new ScriptedUserInteraction();
        manager = startEngine(standin, kStallTimeout);
        QVERIFY(!DatabaseManager::instance()->database().databaseName().isEmpty());
        NotificationManager::instance()->setRequestTimeout(3000);
        QVERIFY(!manager->isPaused());
        DCPManager::instance()->setDecodingKey(kDecodingKey);
    }

    void cleanup()
    {
        standin.clearAssetFaults();
        ui->messages.clear();
    }

    // A package imported through the DCP list, downloaded, verified, reported, revealed.
    void importedPackageEndToEnd()
    {
        const GeneratedDcp generated = generate("Imported_Feature", 2, 2400000, 11);
        AssetFault slow;
        slow.throttleBytesPerSecond = 1000000; // about 1.2 s per reel: every quarter is sampled
        setFault(standin, generated, slow);

        const QString packagePath = TestSupport::dataDir() + "/order.orvdcp";
        QString error;
        QVERIFY2(writeOrder(standin, generated, 4521, "Imported Feature", packagePath, kDecodingKey, &error),
                 qPrintable(error));

        // Verification starts: every file is complete and still hidden. Acknowledged: visible.
        QList<bool> hiddenAtChecksum;
        QList<bool> visibleAndSyncedAtSynced;
        QMetaObject::Connection created = connect(DCPManager::instance(), &DCPManager::dcpsChanged, this, [&] {
            DCP *dcp = DCPManager::instance()->getDCP(generated.cplUuid);
            if (!dcp || dcp->property("watched").toBool())
                return;
            dcp->setProperty("watched", true);
            for (Reel *reel : dcp->getReels()) {
                connect(reel, &Reel::downloadChecksummed, this,
                        [&, reel] { hiddenAtChecksum.append(allHidden(reel) && reel->isDownloaded()); });
                connect(reel, &Reel::downloadSynced, this,
                        [&, reel] { visibleAndSyncedAtSynced.append(noneHidden(reel) && reel->isSynced()); });
            }
        });

        ui->directoryAnswers = QStringList{downloadRoot()};
        DCPManager::instance()->loadDCPFromFile(packagePath);
        disconnect(created);
        DCP *dcp = DCPManager::instance()->getDCP(generated.cplUuid);
        QVERIFY(dcp);
        QCOMPARE(dcp->getReels().size(), 2);
        QCOMPARE(dcp->campaignDcpId(), quint64(4521));
        for (const UserInteraction::Message &m : ui->messages)
            QVERIFY2(m.text.startsWith("Warning: Are you downloading"), qPrintable(m.text));

        QVERIFY(waitVerifiedAndSynced(dcp, 30000));
        QCOMPARE(hiddenAtChecksum, (QList<bool>{true, true}));
        QCOMPARE(visibleAndSyncedAtSynced, (QList<bool>{true, true}));

        for (Reel *reel : dcp->getReels()) {
            QVERIFY(filesMatchSource(reel, generated));
            QVERIFY(noneHidden(reel));
            QVERIFY(reel->isSynced());
            for (Asset *asset : reel->getAssets()) {
                QCOMPARE(asset->downloadAttempts(), 0u);
                QVERIFY(asset->isDownloadStarted() && asset->isDownloadFinished() && asset->isDownloadChecksummed());
                QVERIFY(!asset->isDownloadCorrupted());
            }
            // Each event of the attempt reached the portal once.
            QCOMPARE(sorted(sentEvents(standin, 4521, int(reel->reelNumber()))), (QList<int>{1, 2, 3, 4, 5, 6, 8}));
        }
        // Every file was asked for once, from its start.
        for (const GeneratedAsset &a : trackAssets(generated)) {
            const auto requests = requestsFor(standin, relativePath(generated, a));
            QCOMPARE(requests.size(), size_t(1));
            QCOMPARE(QString::fromStdString(requests.front().range), QString("bytes=0-"));
        }
        QVERIFY(manager->queuedAssets().isEmpty());
        QVERIFY(!manager->currentAssetForTest());
        QCOMPARE(manager->checksumWorkerObject()->jobCount(), 0);
    }

    // One corrupted byte: the file is emptied, downloaded again and passes on the second try.
    void flippedByteOnceIsDownloadedAgain()
    {
        const GeneratedDcp generated = generate("Flip_Once", 1, 600000, 21);
        const GeneratedAsset picture = *generated.asset("picture:1");
        AssetFault flip;
        flip.flipOffset = 1000;
        flip.flipRequests = 1;
        standin.setAssetFault(relativePath(generated, picture), flip);

        DCP *dcp = buildDcp(standin, generated, 6001);
        Reel *reel = dcp->getReels().first();
        QSignalSpy requeued(reel, &Reel::downloadQueuedForRedownload);
        QSignalSpy checksummed(reel, &Reel::downloadChecksummed);
        store(dcp);

        QVERIFY(waitVerifiedAndSynced(dcp));
        QCOMPARE(requeued.size(), 1);
        QCOMPARE(checksummed.size(), 1);
        Asset *asset = assetOf(dcp, picture);
        QCOMPARE(asset->downloadAttempts(), 1u);
        QVERIFY(asset->isDownloadChecksummed() && !asset->isDownloadCorrupted());
        QVERIFY(filesMatchSource(reel, generated));
        QVERIFY(noneHidden(reel));

        const auto requests = requestsFor(standin, relativePath(generated, picture));
        QCOMPARE(requests.size(), size_t(2));
        QCOMPARE(QString::fromStdString(requests[1].range), QString("bytes=0-")); // the file was emptied

        // The events of the second attempt are new events, under the new signature.
        const QList<NotificationRow> rows = notificationRows(reel->uuid());
        QSet<QString> hashes;
        for (const NotificationRow &row : rows) {
            hashes.insert(row.hash);
            QVERIFY(row.synced);
        }
        QCOMPARE(hashes.size(), 2);
        // The first attempt's progress and verification start keep the first signature; the
        // failed verification is reported with the attempt it sends the asset to.
        QList<int> first, second;
        const QString secondAttempt = asset->uuid() + "1";
        for (const NotificationRow &row : rows)
            (row.hash.contains(secondAttempt) ? second : first).append(row.event);
        QVERIFY(first.contains(1) && first.contains(2) && first.contains(6));
        QVERIFY(!first.contains(7) && !first.contains(8));
        for (int event : {1, 2, 6, 7, 8})
            QCOMPARE(second.count(event), 1);
        QCOMPARE(first.count(1), 1);
        QCOMPARE(sentEvents(standin, 6001, 1).count(8), 1);
        QCOMPARE(sentEvents(standin, 6001, 1).count(7), 1);
    }

    // The same byte corrupted on every try: the third failure marks the asset corrupted and
    // it is never downloaded again; the reel's files stay hidden.
    void flippedByteThriceIsCorrupted()
    {
        const GeneratedDcp generated = generate("Flip_Thrice", 1, 400000, 31);
        const GeneratedAsset picture = *generated.asset("picture:1");
        AssetFault flip;
        flip.flipOffset = 5;
        flip.flipRequests = 3;
        standin.setAssetFault(relativePath(generated, picture), flip);

        DCP *dcp = buildDcp(standin, generated, 6002);
        Reel *reel = dcp->getReels().first();
        QSignalSpy requeued(reel, &Reel::downloadQueuedForRedownload);
        QSignalSpy corrupted(reel, &Reel::downloadCorrupted);
        QSignalSpy synced(reel, &Reel::downloadSynced);
        store(dcp);

        QTRY_COMPARE_WITH_TIMEOUT(corrupted.size(), 1, 20000);
        QCOMPARE(requeued.size(), 2);
        Asset *asset = assetOf(dcp, picture);
        QCOMPARE(asset->downloadAttempts(), 2u);
        QVERIFY(asset->isDownloadCorrupted() && asset->isDownloadFinished() && !asset->isDownloadChecksummed());
        QTRY_VERIFY_WITH_TIMEOUT(NotificationManager::instance()->pendingNotifications.isEmpty(), 10000);
        QVERIFY(reel->isSynced());
        QCOMPARE(synced.size(), 0); // no verification passed: nothing is revealed
        QVERIFY(allHidden(reel));
        // The second and third failures share the last attempt's signature: reported once.
        QCOMPARE(sentEvents(standin, 6002, 1).count(7), 2);
        QCOMPARE(sentEvents(standin, 6002, 1).count(8), 0);

        // Not queued again, whoever asks.
        QCOMPARE(requestsFor(standin, relativePath(generated, picture)).size(), size_t(3));
        DCPManager::instance()->rebuildDownloadQueue();
        QVERIFY(!manager->queuedAssets().contains(asset));
        QVERIFY(!manager->currentAssetForTest());
        QVERIFY(!DownloadManager::isEligible(asset));
        QCOMPARE(manager->checksumWorkerObject()->jobCount(), 0);
    }

    // A transfer that stops sending is given up after the stall timeout and resumed from the
    // size of the file.
    void stallResumesFromFileSize()
    {
        const GeneratedDcp generated = generate("Stall", 1, 800000, 41);
        const GeneratedAsset picture = *generated.asset("picture:1");
        const qint64 stallAt = qint64(picture.size) / 2 + 1000;
        AssetFault stall;
        stall.stallAfter = stallAt;
        const std::string path = relativePath(generated, picture);
        standin.setAssetFault(path, stall);

        DCP *dcp = buildDcp(standin, generated, 6003);
        store(dcp);
        Asset *asset = assetOf(dcp, picture);
        QTRY_COMPARE_WITH_TIMEOUT(qint64(asset->sizeOnDisk()), stallAt, 5000);
        QElapsedTimer stalled;
        stalled.start();
        QTRY_COMPARE_WITH_TIMEOUT(requestsFor(standin, path).size(), size_t(2), kStallTimeout + 3000);
        QVERIFY2(stalled.elapsed() >= kStallTimeout - 300, qPrintable(QString::number(stalled.elapsed())));
        standin.clearAssetFault(path);

        QVERIFY(waitVerifiedAndSynced(dcp));
        const auto requests = requestsFor(standin, path);
        QCOMPARE(requests.size(), size_t(2));
        QCOMPARE(QString::fromStdString(requests[1].range), QString("bytes=%1-").arg(stallAt));
        QCOMPARE(requests[1].status, 206);
        QVERIFY(filesMatchSource(dcp->getReels().first(), generated));
        QCOMPARE(asset->downloadAttempts(), 0u);
        QVERIFY(TestSupport::readLog().contains("[DownloadManager] Timeout reached..."));
    }

    // The server closes the connection in the middle of the file: nothing is lost or written
    // twice, the transfer resumes from the file's size.
    void droppedConnectionResumes()
    {
        const GeneratedDcp generated = generate("Dropped", 1, 800000, 51);
        const GeneratedAsset picture = *generated.asset("picture:1");
        const qint64 dropAt = qint64(picture.size) / 2 + 4321;
        AssetFault drop;
        drop.dropAfter = dropAt;
        const std::string path = relativePath(generated, picture);
        standin.setAssetFault(path, drop);

        DCP *dcp = buildDcp(standin, generated, 6004);
        QSignalSpy requeued(dcp->getReels().first(), &Reel::downloadQueuedForRedownload);
        store(dcp);
        Asset *asset = assetOf(dcp, picture);
        QTRY_COMPARE_WITH_TIMEOUT(qint64(asset->sizeOnDisk()), dropAt, 5000);
        const bool done = waitVerifiedAndSynced(dcp);
        const auto requests = requestsFor(standin, path);
        for (const AssetRequest &r : requests)
            qWarning() << "request" << r.range.c_str() << r.status;
        QVERIFY(done);

        // The engine asks from the file's size; the network layer may have sent a request
        // again on its own, with the same range, before giving up.
        QVERIFY(requests.size() >= 2);
        for (const AssetRequest &r : requests) {
            const QString range = QString::fromStdString(r.range);
            QVERIFY2(range == "bytes=0-" || range == QString("bytes=%1-").arg(dropAt), qPrintable(range));
        }
        QCOMPARE(QString::fromStdString(requests.back().range), QString("bytes=%1-").arg(dropAt));
        QCOMPARE(requeued.size(), 0); // no verification attempt was burnt
        QCOMPARE(qint64(asset->sizeOnDisk()), qint64(picture.size));
        QVERIFY(filesMatchSource(dcp->getReels().first(), generated));
        QCOMPARE(asset->downloadAttempts(), 0u);
    }

    // Three redirects are followed.
    void threeRedirectsAreFollowed()
    {
        const GeneratedDcp generated = generate("Redirect_Three", 1, 300000, 61);
        const GeneratedAsset picture = *generated.asset("picture:1");
        AssetFault hops;
        hops.redirectHops = 3;
        const std::string path = relativePath(generated, picture);
        standin.setAssetFault(path, hops);

        DCP *dcp = buildDcp(standin, generated, 6005);
        store(dcp);
        QVERIFY(waitVerifiedAndSynced(dcp));
        const auto requests = requestsFor(standin, path);
        QCOMPARE(requests.size(), size_t(4));
        for (int i = 0; i < 3; ++i)
            QCOMPARE(requests[size_t(i)].status, 302);
        QCOMPARE(requests[3].status, 206);
        QVERIFY(filesMatchSource(dcp->getReels().first(), generated));
        QCOMPARE(assetOf(dcp, picture)->downloadAttempts(), 0u);
    }

    // A fourth redirect ends the download without data; verification then fails it.
    void fourthRedirectFinishesWithoutData()
    {
        const GeneratedDcp generated = generate("Redirect_Four", 1, 300000, 71);
        const GeneratedAsset picture = *generated.asset("picture:1");
        AssetFault hops;
        hops.redirectHops = 4;
        const std::string path = relativePath(generated, picture);
        standin.setAssetFault(path, hops);

        DCP *dcp = buildDcp(standin, generated, 6006);
        Reel *reel = dcp->getReels().first();
        QSignalSpy requeued(reel, &Reel::downloadQueuedForRedownload);
        QSignalSpy corrupted(reel, &Reel::downloadCorrupted);
        store(dcp);

        QTRY_VERIFY_WITH_TIMEOUT(requeued.size() >= 1, 10000);
        auto requests = requestsFor(standin, path);
        QVERIFY(requests.size() >= 4);
        for (size_t i = 0; i < 4; ++i)
            QCOMPARE(requests[i].status, 302);
        QVERIFY(TestSupport::readLog().contains("[DownloadManager] Reached max redirects for asset:  \""
                                                + picture.uuid.toUtf8()));

        // The hop count belongs to the asset object: the retries also end at a redirect.
        QTRY_COMPARE_WITH_TIMEOUT(corrupted.size(), 1, 15000);
        Asset *asset = assetOf(dcp, picture);
        QVERIFY(asset->isDownloadCorrupted());
        QCOMPARE(asset->sizeOnDisk(), quint64(0));
        for (const AssetRequest &r : requestsFor(standin, path))
            QCOMPARE(r.status, 302);
        QTRY_VERIFY_WITH_TIMEOUT(NotificationManager::instance()->pendingNotifications.isEmpty(), 10000);
    }

    // A partial file is resumed with a range from its size, and the answer appended.
    void partialFileIsResumedWithRange()
    {
        const GeneratedDcp generated = generate("Partial", 1, 300000, 81);
        const GeneratedAsset picture = *generated.asset("picture:1");
        DCP *dcp = buildDcp(standin, generated, 6007);
        Asset *asset = assetOf(dcp, picture);
        QVERIFY(writePrefix(sourcePath(generated, picture), asset->filePath(), 1000));
        store(dcp);
        QVERIFY(waitVerifiedAndSynced(dcp));
        const auto requests = requestsFor(standin, relativePath(generated, picture));
        QCOMPARE(requests.size(), size_t(1));
        QCOMPARE(QString::fromStdString(requests[0].range), QString("bytes=1000-"));
        QCOMPARE(requests[0].status, 206);
        QVERIFY(filesMatchSource(dcp->getReels().first(), generated));
        QCOMPARE(asset->downloadAttempts(), 0u);
        // The sound file had none: it was asked for from byte 0.
        const auto sound = requestsFor(standin, relativePath(generated, *generated.asset("sound:1")));
        QCOMPARE(QString::fromStdString(sound.at(0).range), QString("bytes=0-"));
    }

    // The whole file is on disk but not marked finished (the process stopped between its
    // last write and storing the flag): the range after its end gets 416, and that ends the
    // transfer instead of retrying it for ever.
    void completeFileOnDiskIsVerifiedNotRetried()
    {
        const GeneratedDcp generated = generate("Already_Whole", 1, 300000, 85);
        const GeneratedAsset picture = *generated.asset("picture:1");
        DCP *dcp = buildDcp(standin, generated, 6010);
        Asset *asset = assetOf(dcp, picture);
        QVERIFY(writePrefix(sourcePath(generated, picture), asset->filePath(), int(picture.size)));
        store(dcp);
        QVERIFY(waitVerifiedAndSynced(dcp));
        const auto requests = requestsFor(standin, relativePath(generated, picture));
        QCOMPARE(requests.size(), size_t(1));
        QCOMPARE(QString::fromStdString(requests[0].range), QString("bytes=%1-").arg(picture.size));
        QCOMPARE(requests[0].status, 416);
        QVERIFY(asset->isDownloadChecksummed());
        QCOMPARE(asset->downloadAttempts(), 0u);
        QVERIFY(filesMatchSource(dcp->getReels().first(), generated));
    }

    // A server that ignores the range answers 200 with the whole file: the file starts over.
    void ignoredRangeStartsTheFileOver()
    {
        const GeneratedDcp generated = generate("Ignored_Range", 1, 300000, 91);
        const GeneratedAsset picture = *generated.asset("picture:1");
        AssetFault ignore;
        ignore.ignoreRange = true;
        const std::string path = relativePath(generated, picture);
        standin.setAssetFault(path, ignore);
        DCP *dcp = buildDcp(standin, generated, 6008);
        Asset *asset = assetOf(dcp, picture);
        QVERIFY(writePrefix(sourcePath(generated, picture), asset->filePath(), 5000));
        store(dcp);
        QVERIFY(waitVerifiedAndSynced(dcp));
        const auto requests = requestsFor(standin, path);
        QCOMPARE(requests.size(), size_t(1));
        QCOMPARE(QString::fromStdString(requests[0].range), QString("bytes=5000-"));
        QCOMPARE(requests[0].status, 200);
        QCOMPARE(asset->sizeOnDisk(), picture.size);
        QVERIFY(filesMatchSource(dcp->getReels().first(), generated));
        QCOMPARE(asset->downloadAttempts(), 0u);
    }

    // The notification service fails for a while: the verified files stay hidden until every
    // event of the reel has been acknowledged.
    void refusedNotificationsKeepFilesHidden()
    {
        NotificationBehaviour failing;
        failing.status = 500;
        failing.body = "busy";
        standin.setNotificationBehaviour(failing);

        const GeneratedDcp generated = generate("Notify_Later", 1, 300000, 101);
        DCP *dcp = buildDcp(standin, generated, 6009);
        Reel *reel = dcp->getReels().first();
        QSignalSpy checksummed(reel, &Reel::downloadChecksummed);
        QSignalSpy synced(reel, &Reel::downloadSynced);
        store(dcp);
        QTRY_COMPARE_WITH_TIMEOUT(checksummed.size(), 1, 10000);
        const int sentBefore = int(standin.notificationRequests().size());
        // Several refused rounds later, still nothing revealed.
        QTRY_VERIFY_WITH_TIMEOUT(int(standin.notificationRequests().size()) >= sentBefore + 5, 5000);
        QVERIFY(reel->isChecksummed());
        QVERIFY(!reel->isSynced());
        QVERIFY(allHidden(reel));
        QCOMPARE(synced.size(), 0);
        for (const NotificationRow &row : notificationRows(reel->uuid()))
            QVERIFY(!row.synced);

        standin.setNotificationBehaviour(NotificationBehaviour());
        QTRY_COMPARE_WITH_TIMEOUT(synced.size(), 1, 10000);
        QVERIFY(reel->isSynced());
        QVERIFY(noneHidden(reel));
        QVERIFY(filesMatchSource(reel, generated));
        const QSet<int> events = eventsOf(notificationRows(reel->uuid()));
        QVERIFY(events.contains(1) && events.contains(2) && events.contains(6) && events.contains(8));
        QVERIFY(!events.contains(7));
    }

    void cleanupTestCase()
    {
        standin.stop();
    }
};

TOLVANE_TEST_MAIN(TestDownloadPipeline)
#include "tst_download_pipeline.moc"
