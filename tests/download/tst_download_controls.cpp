// The engine's controls during real transfers from the portal stand-in: resuming while a
// transfer runs, pausing while the engine waits after a network error, and putting first
// a DCP that is not being downloaded, or one with nothing left to download.

#include "DownloadFixture.h"

#include "catalogue/Setting.h"
#include "download/DownloadManager.h"
#include "portal/NotificationManager.h"
#include "support/ScriptedUserInteraction.h"
#include "support/TestMain.h"

#include <QSignalSpy>
#include <QtTest>

using namespace DownloadFixture;

class TestDownloadControls : public QObject
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
        QVERIFY(!manager->isPaused());
    }

    void cleanup()
    {
        standin.clearAssetFaults();
        QVERIFY2(ui->messages.isEmpty(), qPrintable(ui->messages.value(0).text));
        QTRY_VERIFY_WITH_TIMEOUT(!manager->currentAssetForTest() && manager->queuedAssets().isEmpty(), 10000);
    }

    // Resuming while a transfer runs aborts it and starts it again from the file's size;
    // nothing is lost or written twice.
    void resumeWhileTransferRuns()
    {
        const GeneratedDcp generated = generate("Resumed_Running", 1, 1200000, 301);
        const GeneratedAsset picture = *generated.asset("picture:1");
        const std::string path = throttle(standin, generated, "picture:1", 400000);
        DCP *dcp = buildDcp(standin, generated, 7201);
        Asset *asset = assetOf(dcp, picture);
        store(dcp);
        QTRY_VERIFY_WITH_TIMEOUT(asset->sizeOnDisk() > 100000, 10000);

        QSignalSpy pausedChanged(manager, &DownloadManager::pausedChanged);
        manager->resumeDownloading();
        const quint64 offset = asset->sizeOnDisk();
        QCOMPARE(pausedChanged.size(), 1);
        QVERIFY(!manager->isPaused());
        QCOMPARE(Setting::instance()->get("download_paused"), QString("0"));
        QCOMPARE(manager->currentAssetForTest(), asset);
        QVERIFY(offset > 100000 && offset < picture.size);
        standin.clearAssetFault(path);

        QVERIFY(waitVerifiedAndSynced(dcp));
        const auto requests = requestsFor(standin, path);
        QCOMPARE(requests.size(), size_t(2));
        QCOMPARE(QString::fromStdString(requests[0].range), QString("bytes=0-"));
        QCOMPARE(QString::fromStdString(requests[1].range), QString("bytes=%1-").arg(offset));
        QCOMPARE(requests[1].status, 206);
        QVERIFY(filesMatchSource(dcp->getReels().first(), generated));
        QCOMPARE(asset->downloadAttempts(), 0u);
    }

    // After a network error the engine waits for the stall timeout with no transfer
    // running, and the status bar says so. PAUSE pauses there too: no request starts
    // until RESUME, which fetches the asset from its first byte.
    void pauseWhileWaitingAfterNetworkError()
    {
        const GeneratedDcp generated = generate("Paused_Waiting", 1, 300000, 311);
        const GeneratedAsset picture = *generated.asset("picture:1");
        const std::string path = relativePath(generated, picture);
        AssetFault failing;
        failing.status = 500;
        standin.setAssetFault(path, failing);
        DCP *dcp = buildDcp(standin, generated, 7211);
        Asset *asset = assetOf(dcp, picture);
        store(dcp);
        QTRY_VERIFY_WITH_TIMEOUT(TestSupport::readLog().contains("HTTP status code:  500"), 10000);
        QCOMPARE(requestsFor(standin, path).size(), size_t(1));
        QCOMPARE(manager->currentAssetForTest(), asset);
        QTRY_COMPARE_WITH_TIMEOUT(manager->activity(), QString("retrying"), 5000);
        QVERIFY2(manager->activityText().startsWith("Waiting to retry: the server answered 500. Next try at "),
                 qPrintable(manager->activityText()));
        standin.clearAssetFault(path);

        QSignalSpy downloadPaused(manager, &DownloadManager::downloadPaused);
        QSignalSpy reelPaused(dcp->getReels().first(), &Reel::downloadPaused);
        manager->pauseDownloading();
        QVERIFY(manager->isPaused());
        QCOMPARE(Setting::instance()->get("download_paused"), QString("1"));
        QCOMPARE(downloadPaused.size(), 1);
        QCOMPARE(reelPaused.size(), 1);
        QCOMPARE(manager->activity(), QString("paused"));
        QCOMPARE(manager->activityText(), QString("Paused."));
        // Well past the stall timeout: nothing was asked of the server.
        QTest::qWait(int(manager->timeoutInterval) + 500);
        QCOMPARE(requestsFor(standin, path).size(), size_t(1));

        manager->resumeDownloading();
        QVERIFY(!manager->isPaused());
        QVERIFY(waitVerifiedAndSynced(dcp));
        const auto requests = requestsFor(standin, path);
        QCOMPARE(requests.size(), size_t(2));
        QCOMPARE(requests[0].status, 500);
        QCOMPARE(QString::fromStdString(requests[1].range), QString("bytes=0-"));
        QCOMPARE(requests[1].status, 206);
        QVERIFY(filesMatchSource(dcp->getReels().first(), generated));
    }

    // Putting first a DCP that is not being downloaded: the running transfer stops, the
    // chosen DCP's assets come first and the other DCP's after them; the interrupted file
    // resumes from its size when its turn comes again.
    void startDownloadingAnotherDcp()
    {
        const GeneratedDcp runningSource = generate("Interrupted_By_Choice", 1, 1200000, 321);
        const GeneratedDcp chosenSource = generate("Chosen_First", 1, 300000, 322);
        const GeneratedAsset picture = *runningSource.asset("picture:1");
        const std::string path = throttle(standin, runningSource, "picture:1", 400000);
        DCP *running = buildDcp(standin, runningSource, 7221);
        DCP *chosen = buildDcp(standin, chosenSource, 7222);
        Asset *interrupted = assetOf(running, picture);
        store(running, false);
        store(chosen);
        QTRY_VERIFY_WITH_TIMEOUT(interrupted->sizeOnDisk() > 100000, 10000);
        QCOMPARE(manager->getCurrentDownloadingDCP(), running);

        QSignalSpy runningStatus(running, &DCP::statusChanged);
        QSignalSpy currentDcpChanged(manager, &DownloadManager::currentDcpChanged);
        manager->startDownloading(chosen);
        const quint64 partial = interrupted->sizeOnDisk();
        standin.clearAssetFault(path);
        QCOMPARE(manager->getCurrentDownloadingDCP(), chosen);
        QCOMPARE(currentDcpChanged.size(), 1);
        QCOMPARE(runningStatus.size(), 1);
        QList<Asset *> expected;
        for (DCP *dcp : {chosen, running}) {
            for (Reel *reel : dcp->getReels())
                expected += reel->getAssets();
        }
        QCOMPARE(manager->queuedAssets(), expected);

        QVERIFY(waitVerifiedAndSynced(chosen));
        QVERIFY(waitVerifiedAndSynced(running));
        const auto requests = requestsFor(standin, path);
        QCOMPARE(requests.size(), size_t(2));
        QCOMPARE(QString::fromStdString(requests[1].range), QString("bytes=%1-").arg(partial));
        // The chosen DCP was fetched in between: before the interrupted file resumed.
        const std::vector<AssetRequest> all = standin.assetRequests();
        const std::string chosenFolder = QFileInfo(chosenSource.path).fileName().toStdString() + "/";
        size_t lastChosen = 0;
        size_t resumed = 0;
        for (size_t i = 0; i < all.size(); ++i) {
            if (all[i].path.rfind(chosenFolder, 0) == 0)
                lastChosen = i;
            if (all[i].path == path)
                resumed = i;
        }
        QVERIFY(lastChosen > 0 && resumed > lastChosen);
        for (const GeneratedAsset &a : trackAssets(chosenSource))
            QCOMPARE(requestsFor(standin, relativePath(chosenSource, a)).size(), size_t(1));
        QVERIFY(filesMatchSource(running->getReels().first(), runningSource));
        QVERIFY(filesMatchSource(chosen->getReels().first(), chosenSource));
        QVERIFY(!manager->isPaused());
    }

    // Putting first a DCP whose files are all downloaded, with nothing else to fetch: the
    // queue stays empty and a paused engine stays paused.
    void startDownloadingADcpWithNothingLeft()
    {
        const GeneratedDcp generated = generate("Nothing_Left", 1, 100000, 331);
        DCP *dcp = buildDcp(standin, generated, 7231);
        for (Asset *asset : dcp->getAssets()) {
            asset->setDownloadStarted(true);
            asset->setDownloadFinished(true);
            asset->setDownloadChecksummed(true);
        }
        store(dcp);
        manager->pauseDownloading(true);
        QVERIFY(manager->isPaused());

        QSignalSpy pausedChanged(manager, &DownloadManager::pausedChanged);
        QSignalSpy currentDcpChanged(manager, &DownloadManager::currentDcpChanged);
        manager->startDownloading(dcp);
        QVERIFY(manager->isPaused());
        QCOMPARE(Setting::instance()->get("download_paused"), QString("1"));
        QCOMPARE(pausedChanged.size(), 0);
        QCOMPARE(currentDcpChanged.size(), 0);
        QVERIFY(manager->queuedAssets().isEmpty());
        QVERIFY(!manager->currentAssetForTest());
        for (const GeneratedAsset &a : trackAssets(generated))
            QVERIFY(requestsFor(standin, relativePath(generated, a)).empty());

        manager->resumeDownloading();
        QVERIFY(!manager->isPaused());
    }

    void cleanupTestCase()
    {
        standin.stop();
    }
};

TOLVANE_TEST_MAIN(TestDownloadControls)
#include "tst_download_controls.moc"
