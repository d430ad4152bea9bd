// Verification of reels whose assets are shared, already verified, empty, or fail in
// different ways at once, against the portal stand-in: what is downloaded (and how often),
// what each reel reports, and what reaches the portal.

#include "DownloadFixture.h"

#include "download/ChecksumWorker.h"
#include "download/DownloadManager.h"
#include "portal/NotificationManager.h"
#include "support/ScriptedUserInteraction.h"
#include "support/TestMain.h"

#include <QCryptographicHash>
#include <QMap>
#include <QSignalSpy>
#include <QUuid>
#include <QtTest>

using namespace DownloadFixture;

class TestDownloadVerification : public QObject
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
        manager = startEngine(standin, 1500);
    }

    void cleanup()
    {
        standin.clearAssetFaults();
        QVERIFY2(ui->messages.isEmpty(), qPrintable(ui->messages.value(0).text));
        // Nothing is left over for the next case.
        QTRY_VERIFY_WITH_TIMEOUT(!manager->currentAssetForTest() && manager->queuedAssets().isEmpty(), 10000);
        QTRY_COMPARE_WITH_TIMEOUT(manager->checksumWorkerObject()->jobCount(), 0, 10000);
    }

    // Two reels wait for verification of one shared asset whose first download has a wrong
    // byte: handed over together when that download completes both reels, or after a
    // restart that found both unverified. The first reel's verification sends the asset
    // back to the download; the second reel does not hash (nor fail, nor empty) the file
    // while it is downloaded again, but waits for it: the asset is downloaded twice in all
    // and both reels pass.
    void sharedAssetFailedOnceIsDownloadedAgainOnce_data()
    {
        QTest::addColumn<bool>("restart");
        QTest::newRow("completed together") << false;
        QTest::newRow("after a restart") << true;
    }

    void sharedAssetFailedOnceIsDownloadedAgainOnce()
    {
        QFETCH(bool, restart);
        const GeneratedDcp generated = generate(restart ? "Shared_Flip_Restart" : "Shared_Flip", 2, 2400000,
                                                restart ? 202 : 201);
        const quint64 campaign = restart ? 7102 : 7101;
        const GeneratedAsset shared = *generated.asset("picture:1");
        if (!restart)
            flipByte(standin, generated, "picture:1", 4000);
        // Still running when the other reel's turn comes.
        const std::string path = throttle(standin, generated, "picture:1", 1500000);

        DCP *dcp = buildDcp(standin, generated, campaign);
        Reel *first = dcp->getReels().at(0);
        Reel *second = dcp->getReels().at(1);
        Asset *asset = assetOf(dcp, shared);
        alsoList(second, asset);
        // Every other file is on disk already, so the shared file completes both reels and
        // its download hands them to the worker together; after a restart the first
        // download of the shared file is on disk too.
        for (const char *tag : {"sound:1", "picture:2", "sound:2"})
            QVERIFY(placeDownloaded(generated, dcp, tag));
        if (restart)
            QVERIFY(placeDownloaded(generated, dcp, "picture:1", 4000));
        bool bothWaiting = false;
        QObject watch; // the connection below ends with this case
        // The DCP's status changes each time a reel is handed to the worker.
        connect(dcp, &DCP::statusChanged, &watch, [&] {
            ChecksumWorker *worker = manager->checksumWorkerObject();
            bothWaiting = bothWaiting || (worker->hasJob(first) && worker->hasJob(second));
        });
        QSignalSpy firstChecked(first, &Reel::downloadChecksummed);
        QSignalSpy secondChecked(second, &Reel::downloadChecksummed);
        QSignalSpy firstCorrupted(first, &Reel::downloadCorrupted);
        QSignalSpy secondCorrupted(second, &Reel::downloadCorrupted);
        store(dcp);

        QVERIFY(waitVerifiedAndSynced(dcp, 30000));
        QVERIFY(bothWaiting);
        const auto requests = requestsFor(standin, path);
        QCOMPARE(requests.size(), size_t(restart ? 1 : 2));
        for (const AssetRequest &r : requests)
            QCOMPARE(QString::fromStdString(r.range), QString("bytes=0-"));
        QCOMPARE(asset->downloadAttempts(), 1u);
        QVERIFY(asset->isDownloadChecksummed() && !asset->isDownloadCorrupted());
        QCOMPARE(firstChecked.size(), 1);
        QCOMPARE(secondChecked.size(), 1);
        QCOMPARE(firstCorrupted.size() + secondCorrupted.size(), 0);
        QVERIFY(filesMatchSource(first, generated));
        QVERIFY(filesMatchSource(second, generated));
        QVERIFY(noneHidden(first) && noneHidden(second));
        // Only the reel whose verification failed reports a failure.
        QCOMPARE(sentEvents(standin, campaign, 1).count(7), 1);
        QCOMPARE(sentEvents(standin, campaign, 1).count(8), 1);
        QCOMPARE(sentEvents(standin, campaign, 2).count(7), 0);
        QCOMPARE(sentEvents(standin, campaign, 2).count(8), 1);
    }

    // A zero-byte asset: the server has nothing to send from byte 0 (416). It is finished
    // at once, its empty file created, verified and revealed with the rest of its reel.
    void zeroByteAssetIsDownloadedAndVerified()
    {
        const GeneratedDcp generated = generate("Empty_Asset", 1, 200000, 211);
        const QString fileName = "empty_caption.xml";
        QFile empty(generated.path + "/" + fileName);
        QVERIFY(empty.open(QIODevice::WriteOnly));
        empty.close();
        const std::string path = (QFileInfo(generated.path).fileName() + "/" + fileName).toStdString();

        DCP *dcp = buildDcp(standin, generated, 7111);
        Reel *reel = dcp->getReels().first();
        Asset *asset = new Asset(QUuid::createUuid().toString(QUuid::WithoutBraces),
                                 QString::fromLatin1(QCryptographicHash::hash(QByteArray(), QCryptographicHash::Sha1).toBase64()),
                                 0, "text/xml", fileName, QString::fromStdString(standin.assetUrl(path)));
        asset->setDcp(dcp);
        alsoList(reel, asset);
        dcp->addAsset(asset);
        QSignalSpy requeued(reel, &Reel::downloadQueuedForRedownload);
        store(dcp);

        QVERIFY(waitVerifiedAndSynced(dcp));
        const auto requests = requestsFor(standin, path);
        QCOMPARE(requests.size(), size_t(1));
        QCOMPARE(QString::fromStdString(requests[0].range), QString("bytes=0-"));
        QCOMPARE(requests[0].status, 416);
        QCOMPARE(requeued.size(), 0);
        QVERIFY(asset->isDownloadFinished() && asset->isDownloadChecksummed());
        QCOMPARE(asset->downloadAttempts(), 0u);
        QVERIFY(QFileInfo(asset->filePath()).isFile());
        QCOMPARE(asset->sizeOnDisk(), quint64(0));
        QVERIFY(noneHidden(reel));
        QVERIFY(filesMatchSource(reel, generated));
    }

    // An asset listed by two reels is queued and downloaded once, and the progress of its
    // transfer is reported to both reels.
    void sharedAssetDownloadedOnceWithProgressToBothReels()
    {
        const GeneratedDcp generated = generate("Shared_Progress", 2, 2400000, 221);
        const GeneratedAsset shared = *generated.asset("picture:1");
        // Long enough for several speed samples.
        const std::string path = throttle(standin, generated, "picture:1", 1000000);

        DCP *dcp = buildDcp(standin, generated, 7121);
        Reel *first = dcp->getReels().at(0);
        Reel *second = dcp->getReels().at(1);
        Asset *asset = assetOf(dcp, shared);
        alsoList(second, asset);
        QMap<Reel *, int> samples;
        QObject watch; // the connections below end with this case
        for (Reel *reel : {first, second}) {
            connect(reel, &Reel::downloadProgress, &watch, [&, reel] {
                if (manager->currentAssetForTest() == asset)
                    ++samples[reel];
            });
        }
        store(dcp);
        QCOMPARE(manager->queuedAssets().count(asset), 1);
        QCOMPARE(manager->queuedAssets().size(), 4);

        QVERIFY(waitVerifiedAndSynced(dcp, 30000));
        QCOMPARE(requestsFor(standin, path).size(), size_t(1));
        QVERIFY2(samples.value(first) > 0 && samples.value(second) > 0,
                 qPrintable(QString("%1 %2").arg(samples.value(first)).arg(samples.value(second))));
        QCOMPARE(samples.value(first), samples.value(second));
        // Both reels were told of the data: event 1 of the first attempt reached the portal
        // for each of them.
        QCOMPARE(sentEvents(standin, 7121, 1).count(1), 1);
        QCOMPARE(sentEvents(standin, 7121, 2).count(1), 1);
        QVERIFY(filesMatchSource(first, generated));
        QVERIFY(filesMatchSource(second, generated));
    }

    // A reel whose assets are all verified already passes at once, with events 6 and 8,
    // without reading a file; nothing asks for it to be verified or downloaded again.
    void reelWithEveryAssetVerifiedPassesWithoutReading()
    {
        const GeneratedDcp generated = generate("All_Verified", 1, 100000, 231);
        DCP *dcp = buildDcp(standin, generated, 7131);
        Reel *reel = dcp->getReels().first();
        for (Asset *asset : reel->getAssets()) {
            asset->setDownloadStarted(true);
            asset->setDownloadFinished(true);
            asset->setDownloadChecksummed(true);
        }
        QSignalSpy checked(reel, &Reel::downloadChecksummed);
        QSignalSpy requeued(reel, &Reel::downloadQueuedForRedownload);
        QSignalSpy corrupted(reel, &Reel::downloadCorrupted);
        store(dcp);
        QCOMPARE(manager->checksumWorkerObject()->jobCount(), 0);
        QVERIFY(manager->queuedAssets().isEmpty());

        // The files are not there: reading any of them would be seen in the log.
        manager->checksumWorkerObject()->appendJob(reel);
        QTRY_COMPARE_WITH_TIMEOUT(checked.size(), 1, 10000);
        QCOMPARE(requeued.size() + corrupted.size(), 0);
        for (Asset *asset : reel->getAssets()) {
            QVERIFY(asset->isDownloadFinished() && asset->isDownloadChecksummed() && !asset->isDownloadCorrupted());
            QCOMPARE(asset->downloadAttempts(), 0u);
            QVERIFY(!QFileInfo::exists(asset->filePath()));
            QVERIFY(!TestSupport::readLog().contains("getFileSHA1 does not exist:  \"" + asset->filePath().toUtf8()));
        }
        QTRY_VERIFY_WITH_TIMEOUT(NotificationManager::instance()->pendingNotifications.isEmpty(), 10000);
        QCOMPARE(sorted(sentEvents(standin, 7131, 1)), (QList<int>{6, 8}));
        for (const GeneratedAsset &a : trackAssets(generated))
            QVERIFY(requestsFor(standin, relativePath(generated, a)).empty());
    }

    // One verification finds one asset wrong for the third time (corrupted for good) and
    // another wrong for the first time (sent back): the reel reports the retry, not the
    // corruption; once the retried asset is back, the reel reports the corruption.
    void oneAssetRequeuedAndAnotherCorruptedInOneReel()
    {
        const GeneratedDcp generated = generate("Requeued_And_Corrupted", 1, 400000, 241);
        const GeneratedAsset soundSource = *generated.asset("sound:1");
        flipByte(standin, generated, "sound:1", 10);

        DCP *dcp = buildDcp(standin, generated, 7141);
        Reel *reel = dcp->getReels().first();
        Asset *picture = assetOf(dcp, *generated.asset("picture:1"));
        Asset *sound = assetOf(dcp, soundSource);
        // The picture's last allowed download is on disk, and wrong.
        QVERIFY(placeDownloaded(generated, dcp, "picture:1", 100));
        picture->setDownloadAttempts(2);
        QSignalSpy requeued(reel, &Reel::downloadQueuedForRedownload);
        QSignalSpy corrupted(reel, &Reel::downloadCorrupted);
        QSignalSpy checked(reel, &Reel::downloadChecksummed);
        int corruptedAtRequeue = -1;
        bool pictureCorruptedAtRequeue = false;
        QObject watch; // the connection below ends with this case
        connect(reel, &Reel::downloadQueuedForRedownload, &watch, [&] {
            corruptedAtRequeue = corrupted.size();
            pictureCorruptedAtRequeue = picture->isDownloadCorrupted();
        });
        store(dcp);

        QTRY_COMPARE_WITH_TIMEOUT(corrupted.size(), 1, 15000);
        QCOMPARE(requeued.size(), 1);
        QCOMPARE(corruptedAtRequeue, 0);
        QVERIFY(pictureCorruptedAtRequeue);
        QCOMPARE(checked.size(), 0);
        QVERIFY(picture->isDownloadCorrupted() && picture->isDownloadFinished() && !picture->isDownloadChecksummed());
        QCOMPARE(picture->downloadAttempts(), 2u);
        QVERIFY(requestsFor(standin, relativePath(generated, *generated.asset("picture:1"))).empty());
        QVERIFY(sound->isDownloadChecksummed() && !sound->isDownloadCorrupted());
        QCOMPARE(sound->downloadAttempts(), 1u);
        const auto soundRequests = requestsFor(standin, relativePath(generated, soundSource));
        QCOMPARE(soundRequests.size(), size_t(2));
        QCOMPARE(QString::fromStdString(soundRequests[1].range), QString("bytes=0-"));
        QCOMPARE(base64Sha1(sound->filePath()), soundSource.hash);
        QTRY_VERIFY_WITH_TIMEOUT(NotificationManager::instance()->pendingNotifications.isEmpty(), 10000);
        QVERIFY(sentEvents(standin, 7141, 1).contains(7));
        QVERIFY(!sentEvents(standin, 7141, 1).contains(8));
        QVERIFY(FileManager::isHidden(sound->filePath())); // nothing revealed without a passed verification
        QVERIFY(!DownloadManager::isEligible(picture));
    }

    // A reel corrupted for good offers "Download again": its failed file is fetched anew
    // from the first byte, its attempts start over, the reel passes and is revealed. The
    // verified sound is not fetched again.
    void corruptedReelDownloadedAgain()
    {
        const GeneratedDcp generated = generate("Downloaded_Again", 1, 400000, 251);
        const GeneratedAsset pictureSource = *generated.asset("picture:1");
        DCP *dcp = buildDcp(standin, generated, 7151);
        Reel *reel = dcp->getReels().first();
        Asset *picture = assetOf(dcp, pictureSource);
        Asset *sound = assetOf(dcp, *generated.asset("sound:1"));
        // The picture's last allowed download is on disk, and wrong; the sound is right.
        QVERIFY(placeDownloaded(generated, dcp, "picture:1", 100));
        QVERIFY(placeDownloaded(generated, dcp, "sound:1"));
        picture->setDownloadAttempts(2);
        QSignalSpy corrupted(reel, &Reel::downloadCorrupted);
        store(dcp);
        QTRY_COMPARE_WITH_TIMEOUT(corrupted.size(), 1, 15000);
        QVERIFY(reel->isCorrupted());

        QSignalSpy requeued(reel, &Reel::downloadQueuedForRedownload);
        DownloadManager::instance()->downloadReelAgain(reel);
        QCOMPARE(requeued.size(), 1);
        QVERIFY(!reel->isCorrupted());
        QVERIFY(waitVerifiedAndSynced(dcp));
        QCOMPARE(picture->downloadAttempts(), 0u);
        QVERIFY(picture->isDownloadChecksummed() && !picture->isDownloadCorrupted());
        const auto requests = requestsFor(standin, relativePath(generated, pictureSource));
        QCOMPARE(requests.size(), size_t(1));
        QCOMPARE(QString::fromStdString(requests[0].range), QString("bytes=0-"));
        QVERIFY(requestsFor(standin, relativePath(generated, *generated.asset("sound:1"))).empty());
        QVERIFY(filesMatchSource(reel, generated));
        QTRY_VERIFY_WITH_TIMEOUT(noneHidden(reel), 10000);
        QCOMPARE(sound->downloadAttempts(), 0u);
        // Stored: a restart finds the reel as it is now.
        QSqlQuery query(DatabaseManager::instance()->database());
        QVERIFY(query.exec(QString("SELECT download_attempts, download_corrupted, download_checksummed FROM asset "
                                   "WHERE uuid = '%1'").arg(pictureSource.uuid))
                && query.next());
        QCOMPARE(query.value(0).toInt(), 0);
        QCOMPARE(query.value(1).toInt(), 0);
        QCOMPARE(query.value(2).toInt(), 1);
    }

    // One verification found the sound wrong for the third time and the picture wrong for
    // the first: the picture downloads again while the reel offers "Download again". Pressed
    // then, it starts the sound over and leaves the picture's transfer and its attempts
    // alone: the picture stays its source's prefix and passes, and the portal hears of one
    // failed verification only.
    void downloadAgainLeavesTheRunningTransferAlone()
    {
        const GeneratedDcp generated = generate("Again_While_Fetching", 1, 1600000, 252);
        const GeneratedAsset pictureSource = *generated.asset("picture:1");
        const GeneratedAsset soundSource = *generated.asset("sound:1");
        const quint64 campaign = 7152;
        DCP *dcp = buildDcp(standin, generated, campaign);
        Reel *reel = dcp->getReels().first();
        Asset *picture = assetOf(dcp, pictureSource);
        Asset *sound = assetOf(dcp, soundSource);
        QVERIFY(placeDownloaded(generated, dcp, "picture:1", 100));
        QVERIFY(placeDownloaded(generated, dcp, "sound:1", 100));
        sound->setDownloadAttempts(2);
        throttle(standin, generated, "picture:1", 250000);
        standin.clearAssetRequests();
        standin.clearNotificationRequests();
        store(dcp);

        QTRY_VERIFY_WITH_TIMEOUT(sound->isDownloadCorrupted(), 15000);
        QTRY_VERIFY_WITH_TIMEOUT(manager->currentAssetForTest() == picture && picture->sizeOnDisk() > 150000, 15000);
        QVERIFY(reel->isCorrupted());
        const QByteArray source = readAll(sourcePath(generated, pictureSource));
        manager->downloadReelAgain(reel);
        QCOMPARE(manager->currentAssetForTest(), picture);
        QCOMPARE(picture->downloadAttempts(), 1u);
        // The file under the transfer keeps what it had, and stays its source's prefix.
        for (int i = 0; i < 10; ++i) {
            QTest::qWait(50);
            const QByteArray onDisk = readAll(picture->filePath());
            QVERIFY2(onDisk.size() > 150000 && source.startsWith(onDisk), qPrintable(QString::number(onDisk.size())));
        }

        QVERIFY(waitVerifiedAndSynced(dcp, 30000));
        QVERIFY(filesMatchSource(reel, generated));
        QCOMPARE(picture->downloadAttempts(), 1u);
        QCOMPARE(sound->downloadAttempts(), 0u);
        QVERIFY(!sound->isDownloadCorrupted() && sound->isDownloadChecksummed());
        const auto pictureRequests = requestsFor(standin, relativePath(generated, pictureSource));
        QCOMPARE(pictureRequests.size(), size_t(1));
        QCOMPARE(QString::fromStdString(pictureRequests[0].range), QString("bytes=0-"));
        const auto soundRequests = requestsFor(standin, relativePath(generated, soundSource));
        QCOMPARE(soundRequests.size(), size_t(1));
        QCOMPARE(QString::fromStdString(soundRequests[0].range), QString("bytes=0-"));
        const QList<int> events = sentEvents(standin, campaign, 1);
        QCOMPARE(events.count(7), 1);
        QCOMPARE(events.count(8), 1);
        QVERIFY(manager->removeDownload(dcp));
    }

    void cleanupTestCase()
    {
        standin.stop();
    }
};

TOLVANE_TEST_MAIN(TestDownloadVerification)
#include "tst_download_verification.moc"
