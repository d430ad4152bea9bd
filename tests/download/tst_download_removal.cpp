// Downloads that end without finishing: links the server reports as expired (400) or
// missing (404), with the user keeping or dropping the DCP; a DCP removed while it is
// being downloaded; a reel that cannot be removed while it is verified; a reel or DCP
// removed between a failed verification and the download it asks for; and an asset shared
// by two reels, which stays with the other reel when one of them is removed.

#include "DownloadFixture.h"

#include "catalogue/Setting.h"
#include "download/ChecksumWorker.h"
#include "download/DownloadManager.h"
#include "import/DCPXMLReader.h"
#include "portal/NotificationManager.h"
#include "support/ScriptedUserInteraction.h"
#include "support/TestMain.h"

#include <QSignalSpy>
#include <QtTest>

#include <functional>

using namespace DownloadFixture;
using Button = UserInteraction::Button;

namespace {

const QString kQuestion = "\r\n\r\nDo you want to remove outdated DCP?\r\n(This will NOT DELETE the files on your hard "
                          "drive but simply remove the DCP from the Tolvane Downloader)";

// The count a query gives with every placeholder bound to the same uuid; -1 on failure.
int countRows(const QString &statement, const QString &uuid)
{
    QSqlQuery query(DatabaseManager::instance()->database());
    query.prepare(statement);
    for (int i = 0; i < statement.count('?'); ++i)
        query.addBindValue(uuid);
    if (!query.exec() || !query.next())
        return -1;
    return query.value(0).toInt();
}

int dcpRows(const QString &uuid)
{
    return countRows("SELECT (SELECT COUNT(*) FROM dcp WHERE uuid = ?) + (SELECT COUNT(*) FROM asset WHERE dcp_uuid = ?)",
                     uuid);
}

int assetRows(const QString &dcpUuid)
{
    return countRows("SELECT COUNT(*) FROM asset WHERE dcp_uuid = ?", dcpUuid);
}

int linkRows(const QString &reelUuid)
{
    return countRows("SELECT COUNT(*) FROM dcp_reel_asset WHERE reel_uuid = ?", reelUuid);
}

// Runs a function from the event loop ahead of every event of normal priority already
// posted: after the slot that is running returns, before what that slot has posted.
class UrgentCall : public QObject
{
public:
    static void post(std::function<void()> function)
    {
        QCoreApplication::postEvent(new UrgentCall(std::move(function)), new QEvent(QEvent::User), Qt::HighEventPriority);
    }

protected:
    bool event(QEvent *event) override
    {
        if (event->type() != QEvent::User)
            return QObject::event(event);
        m_function();
        deleteLater();
        return true;
    }

private:
    explicit UrgentCall(std::function<void()> function)
        : m_function(std::move(function))
    {
    }
    std::function<void()> m_function;
};

}

QString storedUrl(const QString &assetUuid, const QString &dcpUuid)
{
    QSqlQuery query(DatabaseManager::instance()->database());
    query.prepare("SELECT download_url FROM asset WHERE uuid = ? AND dcp_uuid = ?");
    query.addBindValue(assetUuid);
    query.addBindValue(dcpUuid);
    if (!query.exec() || !query.next())
        return QString();
    return query.value(0).toString();
}

class TestDownloadRemoval : public QObject
{
    Q_OBJECT

private:
    PortalStandin standin;
    ScriptedUserInteraction *ui = nullptr;
    DownloadManager *manager = nullptr;

    void checkExpiredBox(const UserInteraction::Message &m, const QString &message)
    {
        QCOMPARE(int(m.icon), int(UserInteraction::Icon::Critical));
        QCOMPARE(m.text, QString("Download links expired"));
        QCOMPARE(m.informativeText, message + kQuestion);
        QCOMPARE(m.buttons, UserInteraction::Buttons(UserInteraction::Yes | UserInteraction::No));
        QCOMPARE(m.defaultButton, UserInteraction::No);
    }

    // A DCP whose given file answers with the status; another DCP queued behind it. The box
    // is answered No: the DCP is set aside with its state in words and the next DCP
    // downloads. RESUME does not show the box again; a fresh package for the DCP replaces
    // its links (and only them) and completes it without fetching again what is on disk.
    void expiredLinks(int status, const QString &title, const QString &messageFormat)
    {
        const GeneratedDcp expired = generate(title, 1, 300000, quint64(status) * 3);
        const GeneratedDcp next = generate(title + "_Next", 1, 300000, quint64(status) * 3 + 1);
        const GeneratedAsset sound = *expired.asset("sound:1");
        AssetFault fault;
        fault.status = status;
        standin.setAssetFault(relativePath(expired, sound), fault);

        DCP *dcp = buildDcp(standin, expired, quint64(8000 + status));
        DCP *other = buildDcp(standin, next, quint64(9000 + status));
        ui->buttonAnswers = {UserInteraction::No};
        store(dcp, false);
        store(other);
        const QString message = messageFormat.arg(dcp->friendlyTitle());

        QTRY_COMPARE_WITH_TIMEOUT(ui->messages.size(), 1, 10000);
        checkExpiredBox(ui->messages.at(0), message);
        // No: the DCP stays with its files, set aside; the others go on.
        QCOMPARE(DCPManager::instance()->getDCP(expired.cplUuid), dcp);
        QCOMPARE(dcp->setAsideText(), QString("Links expired: open a fresh package from Tarn"));
        QVERIFY(dcpRows(expired.cplUuid) > 0);
        Asset *picture = assetOf(dcp, *expired.asset("picture:1"));
        QVERIFY(picture->isDownloadFinished());
        QVERIFY(FileManager::isHidden(picture->filePath()));
        QVERIFY(waitVerifiedAndSynced(other, 15000));
        QVERIFY(filesMatchSource(other->getReels().first(), next));
        QVERIFY(!manager->isPaused());
        QCOMPARE(Setting::instance()->get("download_paused"), QString("0"));
        QCOMPARE(requestsFor(standin, relativePath(expired, sound)).size(), size_t(1));
        QTRY_COMPARE_WITH_TIMEOUT(manager->activity(), QString("set_aside"), 5000);
        QCOMPARE(manager->activityText(), QString("1 DCP needs you."));

        // PAUSE and RESUME: no box again, no request for the DCP set aside.
        manager->pauseDownloading();
        manager->resumeDownloading();
        QTest::qWait(300);
        QCOMPARE(ui->messages.size(), 1);
        QCOMPARE(requestsFor(standin, relativePath(expired, sound)).size(), size_t(1));

        // A fresh package: the same DCP with other, working links (the same server by
        // another name).
        standin.clearAssetFaults();
        const QString oldUrl = assetOf(dcp, sound)->downloadUrl();
        QVERIFY(importFresh(expired, 8000 + status));
        QVERIFY(dcp->setAsideText().isEmpty());
        QVERIFY(waitVerifiedAndSynced(dcp, 15000));
        QVERIFY(filesMatchSource(dcp->getReels().first(), expired));
        const QString freshUrl = assetOf(dcp, sound)->downloadUrl();
        QVERIFY2(freshUrl != oldUrl && freshUrl.contains("/fresh/assets/"), qPrintable(freshUrl));
        QCOMPARE(storedUrl(sound.uuid, expired.cplUuid), freshUrl);
        // What was on disk was not fetched again; the DCP's reel and state are its own.
        QCOMPARE(requestsFor(standin, relativePath(expired, *expired.asset("picture:1"))).size(), size_t(1));
        QCOMPARE(requestsFor(standin, relativePath(expired, sound)).size(), size_t(2));
        QCOMPARE(DCPManager::instance()->getDCP(expired.cplUuid), dcp);
        int linkBoxes = 0;
        for (const UserInteraction::Message &m : qAsConst(ui->messages))
            linkBoxes += m.text == "Download links expired" ? 1 : 0;
        QCOMPARE(linkBoxes, 1);
        QVERIFY(manager->removeDownload(dcp));
        QVERIFY(manager->removeDownload(other));
    }

    // Opens a fresh order package for the generated DCP, its links naming the stand-in's
    // second path for the same files.
    bool importFresh(const GeneratedDcp &generated, qint64 campaignDcpId)
    {
        PackageOptions options;
        options.baseUrl = QString::fromStdString(standin.baseUrl()) + "/fresh/assets/{dcp}";
        options.userUuid = userUuid();
        PackageDcpOptions entry;
        entry.dir = generated.path;
        entry.campaignDcpId = campaignDcpId;
        entry.friendlyTitle = generated.title + " Friendly";
        options.dcps.append(entry);
        QJsonObject json;
        QString error;
        const QString path = TestSupport::dataDir() + "/fresh-" + generated.title + ".orvdcp";
        const QString key(32, 'k');
        if (!buildPackageJson(options, json, &error)
            || !writePackageFile(path, key.toUtf8(), QJsonDocument(json).toJson(QJsonDocument::Compact), &error)) {
            qWarning() << "fresh package:" << error;
            return false;
        }
        ui->directoryAnswers = QStringList{downloadRoot()};
        DCPXMLReader reader(key);
        return reader.loadPackage(path);
    }

private slots:
    void initTestCase()
    {
        ui = new ScriptedUserInteraction();
        manager = startEngine(standin, 1500);
    }

    void cleanup()
    {
        manager->timeoutInterval = 1500;
        standin.clearAssetFaults();
        ui->messages.clear();
        ui->buttonAnswers.clear();
    }

    void expiredLinks400()
    {
        expiredLinks(400, "Expired_400",
                     "Download links for DCP %1 expired. You won't be able to finish the given download.");
    }

    void missingFile404()
    {
        expiredLinks(404, "Missing_404",
                     "One of the files for DCP %1 is missing and can not be downloaded. You won't be able to finish "
                     "the given download.");
    }

    // The server refuses a request sent on a link that a fresh package has replaced while the
    // answer was on its way: the refusal is the old link's. The DCP is not set aside and
    // no box opens; the file is asked for again at once through its fresh link.
    void refusalOfAReplacedLinkIsARetry_data()
    {
        QTest::addColumn<int>("status");
        QTest::newRow("400") << 400;
        QTest::newRow("403") << 403;
        QTest::newRow("404") << 404;
    }

    void refusalOfAReplacedLinkIsARetry()
    {
        QFETCH(int, status);
        const GeneratedDcp generated = generate(QString("Replaced_Link_%1").arg(status), 1, 300000, quint64(status) * 5);
        const GeneratedAsset sound = *generated.asset("sound:1");
        // Longer than the answer takes: the stall timer does not end the request first.
        manager->timeoutInterval = 6000;
        AssetFault late;
        late.status = status;
        late.statusDelayMs = 2000;
        standin.setAssetFault(relativePath(generated, sound), late);
        DCP *dcp = buildDcp(standin, generated, quint64(8100 + status));
        standin.clearAssetRequests();
        store(dcp);

        QTRY_COMPARE_WITH_TIMEOUT(requestsFor(standin, relativePath(generated, sound)).size(), size_t(1), 10000);
        const QString oldUrl = assetOf(dcp, sound)->downloadUrl();
        standin.clearAssetFaults();
        QVERIFY(importFresh(generated, 8100 + status));
        QVERIFY(assetOf(dcp, sound)->downloadUrl() != oldUrl);
        QVERIFY(waitVerifiedAndSynced(dcp, 15000));
        QVERIFY(!dcp->isSetAside());
        for (const UserInteraction::Message &m : qAsConst(ui->messages))
            QVERIFY2(m.text != "Download links expired", qPrintable(m.informativeText));
        const auto requests = requestsFor(standin, relativePath(generated, sound));
        QCOMPARE(requests.size(), size_t(2));
        QCOMPARE(requests[0].status, status);
        QVERIFY2(QString::fromStdString(requests[1].urlPath).startsWith("/fresh/assets/"),
                 requests[1].urlPath.c_str());
        QVERIFY(TestSupport::readLog().contains("[DownloadManager] Refusal of a replaced link"));
        QVERIFY(filesMatchSource(dcp->getReels().first(), generated));
        QVERIFY(manager->removeDownload(dcp));
    }

    // Yes while the database will not let the DCP go: the DCP stays listed, so its files
    // stay hidden; nothing is revealed for a DCP the catalogue still downloads.
    void refusedRemovalKeepsTheFilesHidden()
    {
        const GeneratedDcp generated = generate("Refused_Removal", 1, 300000, 561);
        AssetFault fault;
        fault.status = 404;
        standin.setAssetFault(relativePath(generated, *generated.asset("sound:1")), fault);
        DCP *dcp = buildDcp(standin, generated, 8561);
        QSqlQuery trigger(DatabaseManager::instance()->database());
        QVERIFY(trigger.exec("CREATE TRIGGER refuse_dcp_removal BEFORE DELETE ON dcp BEGIN SELECT RAISE(ABORT, "
                             "'refused'); END"));
        ui->buttonAnswers = {UserInteraction::Yes, UserInteraction::Ok};
        store(dcp);

        QTRY_COMPARE_WITH_TIMEOUT(ui->messages.size(), 2, 10000);
        QVERIFY(trigger.exec("DROP TRIGGER refuse_dcp_removal"));
        QCOMPARE(ui->messages.at(0).text, QString("Download links expired"));
        QCOMPARE(ui->messages.at(1).text, QString("The DCP could not be removed."));
        QCOMPARE(DCPManager::instance()->getDCP(generated.cplUuid), dcp);
        QVERIFY(dcpRows(generated.cplUuid) > 0);
        Asset *picture = assetOf(dcp, *generated.asset("picture:1"));
        QVERIFY(picture->isDownloadFinished());
        QVERIFY(FileManager::isHidden(picture->filePath()));
        QCOMPARE(dcp->setAsideText(), QString("Links expired: open a fresh package from Tarn"));
        QVERIFY(manager->removeDownload(dcp));
    }

    // Yes: the DCP leaves the catalogue, then its files are revealed.
    void yesDropsTheDcpAndRevealsItsFiles()
    {
        const GeneratedDcp generated = generate("Dropped_404", 1, 300000, 571);
        AssetFault fault;
        fault.status = 404;
        standin.setAssetFault(relativePath(generated, *generated.asset("sound:1")), fault);
        DCP *dcp = buildDcp(standin, generated, 8571);
        ui->buttonAnswers = {UserInteraction::Yes};
        store(dcp);
        QTRY_COMPARE_WITH_TIMEOUT(ui->messages.size(), 1, 10000);
        QTRY_VERIFY_WITH_TIMEOUT(!DCPManager::instance()->getDCP(generated.cplUuid), 5000);
        QCOMPARE(dcpRows(generated.cplUuid), 0);
        Asset *picture = assetOf(dcp, *generated.asset("picture:1"));
        QVERIFY(QFileInfo(picture->filePath()).isFile());
        QVERIFY(!FileManager::isHidden(picture->filePath()));
        QVERIFY(!manager->isPaused());
    }

    // Removing the DCP being downloaded keeps its files and starts the next one.
    void removingTheCurrentDcpStartsTheNext()
    {
        const GeneratedDcp current = generate("Removed_Current", 1, 1000000, 501);
        const GeneratedDcp next = generate("After_Removed", 1, 300000, 502);
        AssetFault slow;
        slow.throttleBytesPerSecond = 200000;
        setFault(standin, current, slow);
        DCP *dcp = buildDcp(standin, current, 8501);
        DCP *other = buildDcp(standin, next, 8502);
        store(dcp, false);
        store(other);
        Asset *picture = assetOf(dcp, *current.asset("picture:1"));
        QTRY_VERIFY_WITH_TIMEOUT(picture->sizeOnDisk() > 50000, 10000);
        QCOMPARE(manager->getCurrentDownloadingDCP(), dcp);

        QSignalSpy standBy(manager, &DownloadManager::downloadStandBy);
        QVERIFY(manager->removeDownload(dcp));
        QCOMPARE(standBy.size(), 0); // a transfer was restarted instead
        QCOMPARE(manager->getCurrentDownloadingDCP(), other);
        QVERIFY(!DCPManager::instance()->getDCP(current.cplUuid));
        QCOMPARE(dcpRows(current.cplUuid), 0);
        QVERIFY(waitVerifiedAndSynced(other, 15000));
        QVERIFY(filesMatchSource(other->getReels().first(), next));
        // The partial file stays where it was, hidden, and is not written to any more.
        const qint64 left = QFileInfo(picture->filePath()).size();
        QVERIFY(left > 0 && left < qint64(current.asset("picture:1")->size));
        QVERIFY(FileManager::isHidden(picture->filePath()));
        QCOMPARE(requestsFor(standin, relativePath(current, *current.asset("picture:1"))).size(), size_t(1));
    }

    // Removing a DCP that is not being downloaded leaves the running transfer alone.
    void removingAnotherDcpLeavesTheTransfer()
    {
        const GeneratedDcp running = generate("Keeps_Running", 1, 600000, 511);
        const GeneratedDcp waiting = generate("Removed_Waiting", 1, 300000, 512);
        AssetFault slow;
        slow.throttleBytesPerSecond = 600000;
        setFault(standin, running, slow);
        DCP *dcp = buildDcp(standin, running, 8511);
        DCP *removed = buildDcp(standin, waiting, 8512);
        store(dcp, false);
        store(removed);
        QTRY_VERIFY_WITH_TIMEOUT(manager->getCurrentDownloadingDCP() == dcp, 5000);
        QSignalSpy standBy(manager, &DownloadManager::downloadStandBy);
        QVERIFY(manager->removeDownload(removed));
        QCOMPARE(standBy.size(), 1);
        QCOMPARE(manager->getCurrentDownloadingDCP(), dcp);
        QVERIFY(waitVerifiedAndSynced(dcp, 15000));
        QVERIFY(requestsFor(standin, relativePath(waiting, *waiting.asset("picture:1"))).empty());
        QCOMPARE(requestsFor(standin, relativePath(running, *running.asset("picture:1"))).size(), size_t(1));
    }

    // A reel being verified cannot be removed.
    void reelUnderVerificationIsRefused()
    {
        const GeneratedDcp generated = generate("Verifying", 1, 300000, 521);
        DCP *dcp = buildDcp(standin, generated, 8521);
        Reel *reel = dcp->getReels().first();
        bool wasJob = false;
        // Delivered after the reel was handed to the checksum worker, before its results.
        connect(reel, &Reel::downloadCheckingChecksum, this, [&] {
            wasJob = manager->checksumWorkerObject()->hasJob(reel);
            manager->removeDownloadReel(reel);
        }, Qt::QueuedConnection);
        store(dcp);
        QTRY_COMPARE_WITH_TIMEOUT(ui->messages.size(), 1, 10000);
        QVERIFY(wasJob);
        const UserInteraction::Message m = ui->messages.at(0);
        QCOMPARE(int(m.icon), int(UserInteraction::Icon::Warning));
        QCOMPARE(m.text, QString("The current Reel is in validation(checksum) process, please wait until this is "
                                 "finished and try again."));
        QCOMPARE(m.buttons, UserInteraction::Buttons(UserInteraction::Ok));
        QCOMPARE(dcp->getReels(), QList<Reel *>{reel});
        QCOMPARE(DCPManager::instance()->getReel(reel->uuid()), reel);
        QVERIFY(waitVerifiedAndSynced(dcp, 15000));
        QVERIFY(filesMatchSource(reel, generated));
        QVERIFY(noneHidden(reel));
        QCOMPARE(assetRows(generated.cplUuid), 2);
    }

    // What happens between a failed verification and the download it asks for: the reel
    // (or its whole DCP) is removed, or the queue is rebuilt. A removed asset is never
    // used or downloaded again; any asset is queued once. A DCP queued behind marks the
    // end: a retry that slipped through would be fetched before the engine went idle.
    void betweenFailedVerificationAndRetry_data()
    {
        QTest::addColumn<QString>("action");
        QTest::newRow("reel removed") << "reel";
        QTest::newRow("dcp removed") << "dcp";
        QTest::newRow("queue rebuilt") << "rebuild";
    }

    void betweenFailedVerificationAndRetry()
    {
        QFETCH(QString, action);
        const quint64 seed = 541 + 10 * quint64(QString("reel dcp rebuild").split(' ').indexOf(action));
        const GeneratedDcp victim = generate("Retry_Window_" + action, 2, 600000, seed);
        const GeneratedDcp sentinel = generate("After_Retry_Window_" + action, 1, 200000, seed + 1);
        const GeneratedAsset picture = *victim.asset("picture:1");
        flipByte(standin, victim, "picture:1", 10);
        DCP *dcp = buildDcp(standin, victim, 8000 + seed);
        DCP *other = buildDcp(standin, sentinel, 8001 + seed);
        Reel *first = dcp->getReels().at(0);
        Reel *second = dcp->getReels().at(1);
        Asset *asset = assetOf(dcp, picture);
        const QString filePath = asset->filePath();

        bool done = false;
        int timesQueued = -1;
        QObject watch; // the connections below end with this case
        connect(first, &Reel::downloadQueuedForRedownload, &watch, [&] {
            UrgentCall::post([&] {
                if (action == "reel")
                    manager->removeDownloadReel(first);
                else if (action == "dcp")
                    manager->removeDownload(dcp);
                else
                    DCPManager::instance()->rebuildDownloadQueue();
                done = true;
            });
        });
        if (action == "rebuild") {
            connect(manager, &DownloadManager::currentDcpChanged, &watch, [&] {
                if (done && timesQueued < 0)
                    timesQueued = manager->queuedAssets().count(asset);
            });
        }
        store(dcp, false);
        store(other);

        QTRY_VERIFY_WITH_TIMEOUT(done, 15000);
        QVERIFY(waitVerifiedAndSynced(other, 15000));
        QTRY_VERIFY_WITH_TIMEOUT(!manager->currentAssetForTest() && manager->queuedAssets().isEmpty(), 15000);
        QVERIFY(ui->messages.isEmpty());
        const size_t downloads = requestsFor(standin, relativePath(victim, picture)).size();
        if (action == "reel") {
            QCOMPARE(downloads, size_t(1));
            QCOMPARE(dcp->getReels(), QList<Reel *>{second});
            QVERIFY(!DCPManager::instance()->getAsset(picture.uuid, victim.cplUuid));
            QVERIFY(!QFileInfo::exists(filePath));
            QVERIFY(waitVerifiedAndSynced(dcp, 15000));
            QVERIFY(filesMatchSource(second, victim));
        } else if (action == "dcp") {
            QCOMPARE(downloads, size_t(1));
            QVERIFY(!DCPManager::instance()->getDCP(victim.cplUuid));
            QCOMPARE(dcpRows(victim.cplUuid), 0);
        } else {
            QCOMPARE(timesQueued, 1);
            QCOMPARE(downloads, size_t(2));
            QVERIFY(waitVerifiedAndSynced(dcp, 15000));
            QCOMPARE(asset->downloadAttempts(), 1u);
            QVERIFY(filesMatchSource(first, victim));
        }
    }

    // An asset listed by two reels stays with the other reel when the first is removed
    // while the other is being verified: the other reel keeps the asset, its file, its link
    // row and its state, and passes with every file. Only the first reel's own file goes.
    void sharedAssetStaysWithTheOtherReel()
    {
        const GeneratedDcp generated = generate("Shared_Asset", 2, 1200000, 531);
        throttle(standin, generated, "picture:2", 600000);
        DCP *dcp = buildDcp(standin, generated, 8531);
        Reel *first = dcp->getReels().at(0);
        Reel *second = dcp->getReels().at(1);
        Asset *shared = assetOf(dcp, *generated.asset("sound:1"));
        alsoList(second, shared);
        QCOMPARE(second->getAssets().size(), 3);
        const QString ownFile = assetOf(dcp, *generated.asset("picture:1"))->filePath();

        QSignalSpy firstChecked(first, &Reel::downloadChecksummed);
        QSignalSpy secondChecked(second, &Reel::downloadChecksummed);
        QSignalSpy secondSynced(second, &Reel::downloadSynced);
        bool secondWasJob = false;
        bool firstWasJob = true;
        QObject watch; // the connection below ends with this case
        connect(second, &Reel::downloadCheckingChecksum, &watch, [&] {
            secondWasJob = manager->checksumWorkerObject()->hasJob(second);
            firstWasJob = manager->checksumWorkerObject()->hasJob(first);
            manager->removeDownloadReel(first);
        }, Qt::QueuedConnection);
        store(dcp);

        QTRY_COMPARE_WITH_TIMEOUT(secondChecked.size(), 1, 15000);
        QCOMPARE(firstChecked.size(), 1);
        QVERIFY(secondWasJob);
        QVERIFY(!firstWasJob);
        QVERIFY(ui->messages.isEmpty());
        QCOMPARE(dcp->getReels(), QList<Reel *>{second});
        QCOMPARE(second->getAssets().size(), 3);
        QVERIFY(second->getAssets().contains(shared));
        QCOMPARE(shared->reels(), QList<Reel *>{second});
        QCOMPARE(DCPManager::instance()->getAsset(generated.asset("sound:1")->uuid, generated.cplUuid), shared);
        QCOMPARE(dcp->getAsset(shared->uuid()), shared);
        QVERIFY(!DCPManager::instance()->getReel(generated.reelUuids.at(0)));
        QVERIFY(QFileInfo(shared->filePath()).isFile());
        QVERIFY(!QFileInfo::exists(ownFile));
        QVERIFY(shared->isDownloadFinished() && shared->isDownloadChecksummed());
        QCOMPARE(shared->downloadAttempts(), 0u);
        QCOMPARE(assetRows(generated.cplUuid), 3);
        QCOMPARE(linkRows(second->uuid()), 3);
        QCOMPARE(linkRows(generated.reelUuids.at(0)), 0);
        QTRY_COMPARE_WITH_TIMEOUT(secondSynced.size(), 1, 10000);
        QVERIFY(noneHidden(second));
        QVERIFY(filesMatchSource(second, generated));
        QVERIFY(second->isFinished());
        DCPManager::instance()->rebuildDownloadQueue();
        QVERIFY(manager->queuedAssets().isEmpty());
        QCOMPARE(manager->checksumWorkerObject()->jobCount(), 0);
    }

    // A shared file revealed for an acknowledged reel is hidden again when that reel is
    // removed while the reel that still lists it waits for its own acknowledgement.
    void sharedFileHiddenAgainWhenItsAcknowledgedReelIsRemoved()
    {
        const GeneratedDcp generated = generate("Shared_Revealed", 2, 1200000, 547);
        throttle(standin, generated, "picture:2", 60000);
        DCP *dcp = buildDcp(standin, generated, 8547);
        Reel *first = dcp->getReels().at(0);
        Reel *second = dcp->getReels().at(1);
        Asset *shared = assetOf(dcp, *generated.asset("sound:1"));
        alsoList(second, shared);
        QSignalSpy firstSynced(first, &Reel::downloadSynced);
        QSignalSpy secondSynced(second, &Reel::downloadSynced);
        store(dcp);

        QTRY_COMPARE_WITH_TIMEOUT(firstSynced.size(), 1, 20000);
        QVERIFY(noneHidden(first));
        QVERIFY(!second->isDownloaded());
        manager->removeDownloadReel(first);
        QVERIFY(QFileInfo(shared->filePath()).isFile());
        QVERIFY(FileManager::isHidden(shared->filePath()));

        QTRY_COMPARE_WITH_TIMEOUT(secondSynced.size(), 1, 40000);
        QVERIFY(noneHidden(second));
        QVERIFY(filesMatchSource(second, generated));
    }

    // Removing a reel while an asset it shares with another reel is being downloaded: the
    // transfer goes on for the other reel; the removed reel's own asset, queued behind,
    // is never fetched.
    void sharedAssetKeepsDownloadingWhenOneReelIsRemoved()
    {
        const GeneratedDcp generated = generate("Shared_Running", 2, 1200000, 601);
        const GeneratedAsset picture = *generated.asset("picture:1");
        const GeneratedAsset sound = *generated.asset("sound:1");
        throttle(standin, generated, "picture:1", 400000);
        DCP *dcp = buildDcp(standin, generated, 8561);
        Reel *first = dcp->getReels().at(0);
        Reel *second = dcp->getReels().at(1);
        Asset *shared = assetOf(dcp, picture);
        Asset *own = assetOf(dcp, sound);
        alsoList(second, shared);
        store(dcp);
        QTRY_VERIFY_WITH_TIMEOUT(shared->sizeOnDisk() > 50000, 10000);
        QCOMPARE(manager->currentAssetForTest(), shared);
        QVERIFY(manager->queuedAssets().contains(own));

        manager->removeDownloadReel(first);
        QCOMPARE(manager->currentAssetForTest(), shared);
        QCOMPARE(manager->queuedAssets().count(shared), 1);
        QCOMPARE(dcp->getReels(), QList<Reel *>{second});
        QCOMPARE(second->getAssets().size(), 3);
        QCOMPARE(shared->reels(), QList<Reel *>{second});
        QVERIFY(!DCPManager::instance()->getAsset(sound.uuid, generated.cplUuid));

        QVERIFY(waitVerifiedAndSynced(dcp, 20000));
        QCOMPARE(requestsFor(standin, relativePath(generated, picture)).size(), size_t(1));
        QVERIFY(requestsFor(standin, relativePath(generated, sound)).empty());
        QVERIFY(filesMatchSource(second, generated));
        QVERIFY(noneHidden(second));
        QCOMPARE(assetRows(generated.cplUuid), 3);
        QCOMPARE(linkRows(second->uuid()), 3);
    }

    void cleanupTestCase()
    {
        standin.stop();
    }
};

TOLVANE_TEST_MAIN(TestDownloadRemoval)
#include "tst_download_removal.moc"
