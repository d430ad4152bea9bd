// The engine across processes: a process killed with SIGKILL in the middle of a file, and a
// new process on the same catalogue that resumes from the file's size without fetching
// again what is on disk; a power cut that left a file longer than what reached the disk,
// cut back to its last durable point; a clean end, after which nothing is cut; and an asset
// found corrupted, which a later process never queues again. The engine runs in
// download_probe; this process plays the portal and the servers.

#include "DownloadFixture.h"

#include "download/Platform.h"

#include "support/TestMain.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QtTest>

#include <csignal>

using namespace DownloadFixture;

namespace {

// The engine's durable points in these runs: every MiB instead of every 64.
const qint64 kSyncBytes = 1024 * 1024;

}

class TestDownloadRestart : public QObject
{
    Q_OBJECT

private:
    PortalStandin standin;
    QByteArray lastLog;

    QString markerPath(const QString &dataDir) const { return dataDir + "/transfers.unfinished"; }

    QProcessEnvironment environment(const QString &dataDir) const
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("TOLVANE_DATA_DIR", dataDir);
        env.insert("TOLVANE_NOTIFICATION_URL", QString::fromStdString(standin.baseUrl()));
        env.insert("QT_QPA_PLATFORM", "offscreen");
        env.insert("PROBE_STALL_MS", "1500");
        env.insert("PROBE_SYNC_BYTES", QString::number(kSyncBytes));
        QDir().mkpath(dataDir + "/tmp");
        env.insert("TMPDIR", dataDir + "/tmp");
        return env;
    }

    QString probe() const { return TestSupport::builtExecutable("tests/download/download_probe"); }

    // Stores the generated DCP in the catalogue of dataDir through the probe.
    bool addToCatalogue(const QString &dataDir, const GeneratedDcp &generated, quint64 campaign)
    {
        QJsonObject description;
        description["uuid"] = generated.cplUuid;
        description["title"] = generated.title;
        description["download_path"] = dataDir + "/downloads";
        description["user_uuid"] = userUuid();
        description["campaign_dcp_id"] = double(campaign);
        QJsonArray reels;
        for (const QString &uuid : generated.reelUuids)
            reels.append(uuid);
        description["reels"] = reels;
        QJsonArray assets;
        for (const GeneratedAsset &a : trackAssets(generated)) {
            const QFileInfo rel(a.relativePath);
            assets.append(QJsonObject{{"uuid", a.uuid},
                                      {"hash", a.hash},
                                      {"size", double(a.size)},
                                      {"type", a.type},
                                      {"file", rel.fileName()},
                                      {"dir", rel.path() == "." ? QString() : rel.path()},
                                      {"url", QString::fromStdString(standin.assetUrl(relativePath(generated, a)))},
                                      {"reel", reelNumberOf(a)}});
        }
        description["assets"] = assets;
        QDir().mkpath(dataDir);
        const QString descriptionPath = dataDir + "/description.json";
        QFile file(descriptionPath);
        if (!file.open(QIODevice::WriteOnly) || file.write(QJsonDocument(description).toJson()) <= 0)
            return false;
        file.close();
        QProcess process;
        process.setProcessEnvironment(environment(dataDir));
        process.start(probe(), {"add", descriptionPath});
        if (!process.waitForFinished(20000)) {
            process.kill();
            process.waitForFinished();
            return false;
        }
        return process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
    }

    // Runs the engine until it has nothing left to do; its output. Its log lines are kept in
    // lastLog.
    QString runToIdle(const QString &dataDir, const QProcessEnvironment &extra = QProcessEnvironment())
    {
        QProcess process;
        QProcessEnvironment env = environment(dataDir);
        env.insert(extra);
        process.setProcessEnvironment(env);
        process.start(probe(), {"run"});
        const bool finished = process.waitForFinished(40000);
        if (!finished) {
            process.kill();
            process.waitForFinished();
        }
        lastLog = process.readAllStandardError();
        if (!finished)
            return QString();
        if (process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0)
            return QString();
        return QString::fromUtf8(process.readAllStandardOutput());
    }

    // Starts the engine (env names its data folder) at about 1 MB/s through its own pacing, the server never
    // sending the picture faster than 500 kB/s, so that it is still in the middle of the file
    // when the test interrupts it, even on a slow build.
    bool startThrottled(QProcess &process, const GeneratedDcp &generated,
                        const QProcessEnvironment &env)
    {
        AssetFault slow;
        slow.throttleBytesPerSecond = 500000;
        standin.setAssetFault(relativePath(generated, *generated.asset("picture:1")), slow);
        process.setProcessEnvironment(env);
        process.start(probe(), {"run", "1000000"});
        return process.waitForStarted(10000);
    }

    // Where the engine of dataDir stores the generated DCP's track files.
    static QStringList trackPaths(const QString &dataDir, const GeneratedDcp &generated)
    {
        QStringList paths;
        for (const GeneratedAsset &a : trackAssets(generated))
            paths.append(dataDir + "/downloads/" + generated.title + "/" + a.relativePath);
        return paths;
    }

    // Acknowledged requests the portal got for this campaign's event.
    int acknowledgedEvents(quint64 campaign, int event) const
    {
        int count = 0;
        for (const NotificationRequest &r : standin.notificationRequests()) {
            if (r.acknowledged && r.value("campaign_dcp_id") == std::to_string(campaign)
                && r.value("event") == std::to_string(event))
                ++count;
        }
        return count;
    }

    // Runs statements on the engine's database while no engine runs.
    static bool editDatabase(const QString &dataDir, const QStringList &statements)
    {
        bool done = true;
        {
            QSqlDatabase db = QSqlDatabase::addDatabase("QSQLITE", "edit");
            db.setDatabaseName(dataDir + "/" + DatabaseManager::fileName);
            done = db.open();
            QSqlQuery query(db);
            for (const QString &statement : statements)
                done = done && query.exec(statement);
        }
        QSqlDatabase::removeDatabase("edit");
        return done;
    }

    static QString assetLine(const QString &output, const QString &uuid)
    {
        for (const QString &line : output.split('\n')) {
            if (line.startsWith("ASSET " + uuid + " "))
                return line.mid(6 + uuid.size() + 1).trimmed();
        }
        return QString();
    }

private slots:
    void initTestCase()
    {
        TestSupport::captureLog();
        QVERIFY2(QFileInfo(probe()).isExecutable(), qPrintable(probe()));
        QVERIFY(standin.start());
        standin.setAssetRoot(sourceRoot().toStdString());
    }

    void killedProcessResumesFromFileSize()
    {
        const GeneratedDcp generated = generate("Killed_Feature", 1, 4000000, 7);
        const GeneratedAsset picture = *generated.asset("picture:1");
        const GeneratedAsset sound = *generated.asset("sound:1");
        QVERIFY(picture.size > 2000000);
        const QString dataDir = TestSupport::dataDir() + "/engine-killed";
        QVERIFY(addToCatalogue(dataDir, generated, 7001));
        const QString picturePath = dataDir + "/downloads/" + generated.title + "/" + picture.relativePath;

        QProcess first;
        QVERIFY(startThrottled(first, generated, environment(dataDir)));
        QTRY_VERIFY_WITH_TIMEOUT(QFileInfo(picturePath).size() > 600000, 15000);
        first.kill(); // SIGKILL
        QVERIFY(first.waitForFinished(10000));
        QCOMPARE(first.exitStatus(), QProcess::CrashExit);

        const qint64 partial = QFileInfo(picturePath).size();
        QVERIFY2(partial > 600000 && partial < qint64(picture.size), qPrintable(QString::number(partial)));
        QVERIFY(FileManager::isHidden(picturePath));
        // What is on disk is exactly the start of the file: nothing half written survives.
        QCOMPARE(readAll(picturePath), readAll(sourcePath(generated, picture)).left(int(partial)));
        const auto firstRequests = requestsFor(standin, relativePath(generated, picture));
        QCOMPARE(firstRequests.size(), size_t(1));
        QCOMPARE(QString::fromStdString(firstRequests[0].range), QString("bytes=0-"));

        standin.clearAssetFault(relativePath(generated, picture));
        standin.clearAssetRequests();
        const std::uint64_t sentBefore = standin.assetBytesSent();
        const QString output = runToIdle(dataDir);
        QVERIFY2(!output.isEmpty(), "the second process did not finish");
        QVERIFY2(output.startsWith("START 2"), qPrintable(output));

        const auto requests = requestsFor(standin, relativePath(generated, picture));
        QCOMPARE(requests.size(), size_t(1));
        QCOMPARE(QString::fromStdString(requests[0].range), QString("bytes=%1-").arg(partial));
        QCOMPARE(requests[0].status, 206);
        // Only what was missing was fetched.
        QCOMPARE(standin.assetBytesSent() - sentBefore, (picture.size - quint64(partial)) + sound.size);
        QCOMPARE(base64Sha1(picturePath), picture.hash);
        QCOMPARE(assetLine(output, picture.uuid), QString("1 1 0 0 %1").arg(picture.size));
        QCOMPARE(assetLine(output, sound.uuid), QString("1 1 0 0 %1").arg(sound.size));
        QVERIFY(!FileManager::isHidden(picturePath)); // every event acknowledged by then
        QVERIFY(!output.contains("BOX "));
    }

    // Starts the engine on dataDir at about 500 kB/s and ends it once the picture's file holds
    // more than `atLeast` bytes: killed (SIGKILL) or asked to quit as the window does.
    bool interruptedRun(const QString &dataDir, const GeneratedDcp &generated, qint64 atLeast, bool kill)
    {
        const GeneratedAsset picture = *generated.asset("picture:1");
        const QString picturePath = dataDir + "/downloads/" + generated.title + "/" + picture.relativePath;
        QProcessEnvironment env = environment(dataDir);
        if (!kill)
            env.insert("PROBE_QUIT_AT_BYTES", QString::number(atLeast));
        QProcess first;
        if (!startThrottled(first, generated, env))
            return false;
        if (kill) {
            if (!QTest::qWaitFor([&] { return QFileInfo(picturePath).size() > atLeast; }, 15000))
                return false;
            first.kill();
        }
        const bool ended = first.waitForFinished(20000);
        standin.clearAssetFault(relativePath(generated, picture));
        standin.clearAssetRequests();
        return ended && first.exitStatus() == (kill ? QProcess::CrashExit : QProcess::NormalExit);
    }

    // The power went while the engine downloaded: the marker of the run is still there, from
    // a start of the system before this one, and the picture's file holds zeros after its
    // last durable point and is even longer than what was written. The next start cuts the
    // file back to that point; the download resumes there and the file verifies.
    void powerCutCutsBackToTheLastDurablePoint()
    {
        const GeneratedDcp generated = generate("Power_Cut", 1, 4000000, 9);
        const GeneratedAsset picture = *generated.asset("picture:1");
        const GeneratedAsset sound = *generated.asset("sound:1");
        const QString dataDir = TestSupport::dataDir() + "/engine-power-cut";
        QVERIFY(addToCatalogue(dataDir, generated, 7003));
        const QString picturePath = dataDir + "/downloads/" + generated.title + "/" + picture.relativePath;
        QVERIFY(interruptedRun(dataDir, generated, 2 * kSyncBytes + 200000, true));

        QFile marker(markerPath(dataDir));
        QVERIFY(marker.open(QIODevice::ReadWrite));
        QJsonObject content = QJsonDocument::fromJson(marker.readAll()).object();
        const qint64 durable = qint64(content["files"].toObject()[picturePath].toDouble(-1));
        const qint64 written = QFileInfo(picturePath).size();
        QVERIFY2(durable >= 2 * kSyncBytes && durable <= written, qPrintable(QString("%1 of %2").arg(durable).arg(written)));
        content["boot_id"] = "a start of the system before the power cut";
        QVERIFY(marker.resize(0));
        QVERIFY(marker.write(QJsonDocument(content).toJson()) > 0);
        marker.close();
        {
            QFile file(picturePath);
            QVERIFY(file.open(QIODevice::ReadWrite));
            QVERIFY(file.seek(durable));
            QVERIFY(file.write(QByteArray(int(written - durable) + 65536, '\0')) > 0);
        }

        const std::uint64_t sentBefore = standin.assetBytesSent();
        const QString output = runToIdle(dataDir);
        QVERIFY2(!output.isEmpty(), "the second process did not finish");
        const auto requests = requestsFor(standin, relativePath(generated, picture));
        QCOMPARE(requests.size(), size_t(1));
        QCOMPARE(QString::fromStdString(requests[0].range), QString("bytes=%1-").arg(durable));
        QCOMPARE(standin.assetBytesSent() - sentBefore, (picture.size - quint64(durable)) + sound.size);
        QCOMPARE(base64Sha1(picturePath), picture.hash);
        QCOMPARE(assetLine(output, picture.uuid), QString("1 1 0 0 %1").arg(picture.size));
        QVERIFY(lastLog.contains("[DownloadManager] Cut back to what reached the disk:"));
        QVERIFY(!QFileInfo::exists(markerPath(dataDir))); // that run ended cleanly
    }

    // The program was closed in the middle of a file: its marker is gone, and the next start
    // resumes from the file's size, cutting nothing.
    void cleanEndDoesNotCut()
    {
        const GeneratedDcp generated = generate("Closed_Cleanly", 1, 4000000, 10);
        const GeneratedAsset picture = *generated.asset("picture:1");
        const QString dataDir = TestSupport::dataDir() + "/engine-clean-end";
        QVERIFY(addToCatalogue(dataDir, generated, 7004));
        const QString picturePath = dataDir + "/downloads/" + generated.title + "/" + picture.relativePath;
        QVERIFY(interruptedRun(dataDir, generated, kSyncBytes + kSyncBytes / 2, false));
        QVERIFY(!QFileInfo::exists(markerPath(dataDir)));
        const qint64 partial = QFileInfo(picturePath).size();
        QVERIFY(partial % kSyncBytes != 0); // a cut to a durable point would show
        QVERIFY(partial > kSyncBytes && partial < qint64(picture.size));
        QCOMPARE(readAll(picturePath), readAll(sourcePath(generated, picture)).left(int(partial)));

        const QString output = runToIdle(dataDir);
        QVERIFY2(!output.isEmpty(), "the second process did not finish");
        const auto requests = requestsFor(standin, relativePath(generated, picture));
        QCOMPARE(requests.size(), size_t(1));
        QCOMPARE(QString::fromStdString(requests[0].range), QString("bytes=%1-").arg(partial));
        QCOMPARE(base64Sha1(picturePath), picture.hash);
        QVERIFY(!lastLog.contains("Cut back"));
        QVERIFY(!lastLog.contains("did not end cleanly"));
    }

    // Where a file cannot be created hidden, a kill between creating it and hiding it leaves
    // a visible partial file, and a power cut can lose the attribute; the next start resumes
    // the file as it finds it and would show it to the server's ingest until its reel is
    // acknowledged. After a run that did not end cleanly such a file is hidden again before
    // anything resumes.
    void fileLeftVisibleByAKillIsHiddenAgainBeforeResuming()
    {
        const GeneratedDcp generated = generate("Visible_Partial", 1, 2000000, 11);
        const GeneratedAsset picture = *generated.asset("picture:1");
        const QString dataDir = TestSupport::dataDir() + "/engine-visible-partial";
        QVERIFY(addToCatalogue(dataDir, generated, 7005));
        const QString picturePath = dataDir + "/downloads/" + generated.title + "/" + picture.relativePath;
        QVERIFY(interruptedRun(dataDir, generated, 300000, true));
        QVERIFY(QFileInfo::exists(markerPath(dataDir)));
        QVERIFY(FileManager::isHidden(picturePath));
        QVERIFY(FileManager::unhideFile(picturePath));

        const QString output = runToIdle(dataDir);
        QVERIFY2(!output.isEmpty(), "the second process did not finish");
        const QString log = QString::fromUtf8(lastLog);
        const int hidden = log.indexOf(QString("[Filemanager] Hiding  \"%1\"").arg(picturePath));
        const int resumed = log.indexOf("Starting downloading...");
        QVERIFY2(hidden >= 0, "the visible partial file was never hidden");
        QVERIFY2(resumed >= 0 && hidden < resumed, "the partial file was resumed while visible");
        QCOMPARE(base64Sha1(picturePath), picture.hash);
        QVERIFY(!FileManager::isHidden(picturePath)); // acknowledged by the end of the run
    }

    // A run killed between storing a verdict and storing the event that reports it leaves a
    // reel the portal never hears of: verified without event 8 (its files then stay hidden
    // for good), or downloaded without event 2. After such an end the next start stores the
    // missing event; the portal gets it once and the files are revealed.
    void eventLeftOutByAKillIsSentAtTheNextStart_data()
    {
        QTest::addColumn<int>("event");
        QTest::addColumn<QStringList>("leftByTheKill");
        QTest::addColumn<int>("requestsOfTheNextRun");
        QTest::newRow("verified, no event 8") << 8 << QStringList{"DELETE FROM notification WHERE event = 8"} << 1;
        // Verification (6, 8) had not begun either.
        QTest::newRow("downloaded, no event 2")
            << 2
            << QStringList{"DELETE FROM notification WHERE event IN (2, 6, 8)", "UPDATE asset SET download_checksummed = 0"}
            << 3;
    }

    void eventLeftOutByAKillIsSentAtTheNextStart()
    {
        QFETCH(int, event);
        QFETCH(QStringList, leftByTheKill);
        QFETCH(int, requestsOfTheNextRun);
        const GeneratedDcp generated = generate(QString("Event_%1_Left_Out").arg(event), 1, 200000, 12 + event);
        const QString dataDir = TestSupport::dataDir() + QString("/engine-event-%1-left-out").arg(event);
        const quint64 campaign = 7100 + quint64(event);
        QVERIFY(addToCatalogue(dataDir, generated, campaign));
        QVERIFY2(!runToIdle(dataDir).isEmpty(), "the first process did not finish");
        QCOMPARE(acknowledgedEvents(campaign, event), 1);

        QVERIFY(editDatabase(dataDir, leftByTheKill));
        const QStringList paths = trackPaths(dataDir, generated);
        for (const QString &path : paths)
            QVERIFY(FileManager::hideFile(path));
        // The marker of the killed run, on this start of the system.
        QFile marker(markerPath(dataDir));
        QVERIFY(marker.open(QIODevice::WriteOnly));
        QVERIFY(marker.write(QJsonDocument(QJsonObject{{"boot_id", Platform::bootId()}, {"files", QJsonObject()}}).toJson()) > 0);
        marker.close();

        const size_t sentBefore = standin.notificationRequests().size();
        QVERIFY2(!runToIdle(dataDir).isEmpty(), "the second process did not finish");
        QCOMPARE(acknowledgedEvents(campaign, event), 2);
        QCOMPARE(standin.notificationRequests().size() - sentBefore, size_t(requestsOfTheNextRun));
        for (const QString &path : paths)
            QVERIFY2(!FileManager::isHidden(path), qPrintable(path + " stayed hidden"));
    }

    // An earlier reel with the same uuid (its DCP removed and ordered again) left an event
    // the portal has not acknowledged. It is not this reel's: after an unclean end, this
    // reel's acknowledged files are not taken for unacknowledged and hidden again.
    void eventsOfAnEarlierReelDoNotHideThisOne()
    {
        const GeneratedDcp generated = generate("Earlier_Reel_Events", 1, 200000, 31);
        const QString dataDir = TestSupport::dataDir() + "/engine-earlier-reel";
        QVERIFY(addToCatalogue(dataDir, generated, 7031));
        QVERIFY2(!runToIdle(dataDir).isEmpty(), "the first process did not finish");
        const QStringList paths = trackPaths(dataDir, generated);
        for (const QString &path : paths)
            QVERIFY2(!FileManager::isHidden(path), qPrintable(path));
        QVERIFY(editDatabase(dataDir, {QString("INSERT INTO notification (user_uuid, campaign_dcp_id, reel_uuid, "
                                               "reel_assets_hash, reel_number, event, synced) VALUES ('%1', 7030, '%2', "
                                               "'999-earlier', 1, 1, 0)")
                                           .arg(userUuid(), generated.reelUuids.first())}));
        QFile marker(markerPath(dataDir));
        QVERIFY(marker.open(QIODevice::WriteOnly));
        QVERIFY(marker.write(QJsonDocument(QJsonObject{{"boot_id", Platform::bootId()}, {"files", QJsonObject()}}).toJson()) > 0);
        marker.close();

        QVERIFY2(!runToIdle(dataDir).isEmpty(), "the second process did not finish");
        const QString log = QString::fromUtf8(lastLog);
        QVERIFY2(!log.contains("The last run left a file visible before its reel was acknowledged"), qPrintable(log));
        for (const QString &path : paths) {
            QVERIFY2(!log.contains(QString("[Filemanager] Hiding  \"%1\"").arg(path)), qPrintable(path));
            QVERIFY2(!FileManager::isHidden(path), qPrintable(path));
        }
    }

    void corruptedAssetStaysCorruptedAfterRestart()
    {
        const GeneratedDcp generated = generate("Corrupted_Feature", 1, 300000, 8);
        const GeneratedAsset picture = *generated.asset("picture:1");
        AssetFault flip;
        flip.flipOffset = 77;
        flip.flipRequests = 3;
        const std::string path = relativePath(generated, picture);
        standin.setAssetFault(path, flip);
        const QString dataDir = TestSupport::dataDir() + "/engine-corrupted";
        QVERIFY(addToCatalogue(dataDir, generated, 7002));

        const QString output = runToIdle(dataDir);
        QVERIFY2(!output.isEmpty(), "the first process did not finish");
        QCOMPARE(assetLine(output, picture.uuid).left(8), QString("1 0 1 2 "));
        QCOMPARE(requestsFor(standin, path).size(), size_t(3));

        // Even with the fault gone, a new process does not touch the asset again.
        standin.clearAssetFaults();
        const QString again = runToIdle(dataDir);
        QVERIFY2(!again.isEmpty(), "the second process did not finish");
        QVERIFY2(again.startsWith("START 0"), qPrintable(again));
        QCOMPARE(assetLine(again, picture.uuid).left(8), QString("1 0 1 2 "));
        QCOMPARE(requestsFor(standin, path).size(), size_t(3));
    }

    // A process killed after storing a reel's last acknowledgement but before revealing its
    // files leaves every event acknowledged and the files hidden; nothing will be sent for
    // the reel again, so the next start reveals them.
    void reelLeftHiddenByAKillIsRevealedAtTheNextStart()
    {
        const GeneratedDcp generated = generate("Hidden_Feature", 2, 200000, 9);
        const QString dataDir = TestSupport::dataDir() + "/engine-hidden";
        QVERIFY(addToCatalogue(dataDir, generated, 7003));
        QVERIFY2(!runToIdle(dataDir).isEmpty(), "the first process did not finish");
        const QStringList paths = trackPaths(dataDir, generated);
        QVERIFY(!paths.isEmpty());
        for (const QString &path : paths) {
            QVERIFY2(!FileManager::isHidden(path), qPrintable(path));
            QVERIFY(FileManager::hideFile(path));
        }
        const size_t sentBefore = standin.notificationRequests().size();

        const QString again = runToIdle(dataDir);
        QVERIFY2(again.startsWith("START 0"), qPrintable(again));
        for (const QString &path : paths)
            QVERIFY2(!FileManager::isHidden(path), qPrintable(path + " stayed hidden"));
        // Revealing needs no event sent again.
        QCOMPARE(standin.notificationRequests().size(), sentBefore);
    }

    // The system could not write the file out where its transfer ended (EIO from a failing
    // drive, a network share's delayed write error): the file is neither finished, verified
    // nor revealed; the downloads stop with the box a failed write shows. A resume syncs
    // first and stops again while the disk still refuses; once it accepts, the file is
    // finished and verified without being fetched again.
    void failedSyncWhereTheTransferEndsStopsTheDownloads()
    {
        const GeneratedDcp generated = generate("Refused_Sync", 1, 600000, 21);
        const GeneratedAsset picture = *generated.asset("picture:1");
        QVERIFY(picture.size < quint64(kSyncBytes)); // only the sync at the transfer's end
        const QString dataDir = TestSupport::dataDir() + "/engine-refused-sync";
        const quint64 campaign = 7201;
        QVERIFY(addToCatalogue(dataDir, generated, campaign));
        const QString picturePath = dataDir + "/downloads/" + generated.title + "/" + picture.relativePath;
        const std::string picturePathOnServer = relativePath(generated, picture);
        standin.clearAssetRequests();

        QProcessEnvironment refusing;
        refusing.insert("LD_PRELOAD", TestSupport::builtExecutable("tests/download/libfail_sync_preload.so"));
        refusing.insert("FAIL_SYNC_PATH_CONTAINS", QFileInfo(picturePath).fileName());
        // The sanitizers' runtime wants to come first; the preloaded library only wraps two calls.
        refusing.insert("ASAN_OPTIONS", qEnvironmentVariable("ASAN_OPTIONS") + ":verify_asan_link_order=0");
        const QString refused = runToIdle(dataDir, refusing);
        QVERIFY2(!refused.isEmpty(), "the engine did not stop");
        QVERIFY2(lastLog.contains("Unable to make"), lastLog.constData());
        QCOMPARE(assetLine(refused, picture.uuid), QString("0 0 0 0 %1").arg(picture.size));
        QVERIFY2(refused.contains("BOX Unable to write the download"), qPrintable(refused));
        QVERIFY(FileManager::isHidden(picturePath));
        QCOMPARE(acknowledgedEvents(campaign, 2), 0);
        QCOMPARE(acknowledgedEvents(campaign, 8), 0);
        QCOMPARE(requestsFor(standin, picturePathOnServer).size(), size_t(1));

        // Resumed while the disk still refuses: stopped before asking the server again.
        QVERIFY(editDatabase(dataDir, {"UPDATE setting SET value = '0' WHERE key = 'download_paused'"}));
        const QString again = runToIdle(dataDir, refusing);
        QVERIFY2(again.contains("BOX Unable to write the download"), qPrintable(again));
        QCOMPARE(assetLine(again, picture.uuid), QString("0 0 0 0 %1").arg(picture.size));
        QCOMPARE(requestsFor(standin, picturePathOnServer).size(), size_t(1));

        QVERIFY(editDatabase(dataDir, {"UPDATE setting SET value = '0' WHERE key = 'download_paused'"}));
        const std::uint64_t sentBefore = standin.assetBytesSent();
        const QString accepted = runToIdle(dataDir);
        QVERIFY2(lastLog.contains("Nothing left to download past byte"), lastLog.constData());
        QVERIFY2(!accepted.isEmpty(), "the engine did not finish");
        QCOMPARE(assetLine(accepted, picture.uuid), QString("1 1 0 0 %1").arg(picture.size));
        QVERIFY(!accepted.contains("BOX "));
        QCOMPARE(base64Sha1(picturePath), picture.hash);
        QVERIFY(!FileManager::isHidden(picturePath));
        const auto requests = requestsFor(standin, picturePathOnServer);
        QCOMPARE(QString::fromStdString(requests.back().range), QString("bytes=%1-").arg(picture.size));
        // The picture was whole already: only the sound left the server.
        QCOMPARE(standin.assetBytesSent() - sentBefore, std::uint64_t(generated.asset("sound:1")->size));
    }

    // After an unclean end, a finished and verified file that lost bytes (cut back to its
    // last durable point, or shorter than its listed size for any reason) is hidden, fetched
    // again from where it ends, verified again and revealed once more.
    void verifiedFileThatLostBytesIsDownloadedAgain_data()
    {
        QTest::addColumn<bool>("cutByTheJournal");
        QTest::newRow("cut back to the recorded point after a power cut") << true;
        QTest::newRow("shorter than listed after the program was killed") << false;
    }

    void verifiedFileThatLostBytesIsDownloadedAgain()
    {
        QFETCH(bool, cutByTheJournal);
        const GeneratedDcp generated = generate(QString("Lost_Bytes_%1").arg(int(cutByTheJournal)), 1, 600000, 31);
        const GeneratedAsset picture = *generated.asset("picture:1");
        const QString dataDir = TestSupport::dataDir() + QString("/engine-lost-bytes-%1").arg(int(cutByTheJournal));
        const quint64 campaign = 7300 + quint64(cutByTheJournal);
        QVERIFY(addToCatalogue(dataDir, generated, campaign));
        const QString first = runToIdle(dataDir);
        QCOMPARE(assetLine(first, picture.uuid), QString("1 1 0 0 %1").arg(picture.size));
        const QString picturePath = dataDir + "/downloads/" + generated.title + "/" + picture.relativePath;
        QVERIFY(!FileManager::isHidden(picturePath));

        const qint64 kept = 150000;
        QJsonObject files;
        QString bootId = Platform::bootId();
        if (cutByTheJournal) {
            files.insert(picturePath, double(kept));
            bootId = "a start of the system before the power cut";
        } else {
            QVERIFY(FileManager::truncateFile(picturePath, quint64(kept)));
        }
        QFile marker(markerPath(dataDir));
        QVERIFY(marker.open(QIODevice::WriteOnly));
        QVERIFY(marker.write(QJsonDocument(QJsonObject{{"version", 2}, {"boot_id", bootId}, {"files", files}}).toJson()) > 0);
        marker.close();
        standin.clearAssetRequests();

        const QString again = runToIdle(dataDir);
        QVERIFY2(!again.isEmpty(), "the second process did not finish");
        QVERIFY2(again.startsWith("START 1"), qPrintable(again));
        const QString log = QString::fromUtf8(lastLog);
        QVERIFY2(log.contains("Downloading again a file that lost bytes at the last unclean end"), qPrintable(log));
        const int hidden = log.indexOf(QString("[Filemanager] Hiding  \"%1\"").arg(picturePath));
        const int resumed = log.indexOf("Starting downloading...");
        QVERIFY2(hidden >= 0 && resumed >= 0 && hidden < resumed, "the file was not hidden before it resumed");
        const auto requests = requestsFor(standin, relativePath(generated, picture));
        QCOMPARE(requests.size(), size_t(1));
        QCOMPARE(QString::fromStdString(requests[0].range), QString("bytes=%1-").arg(kept));
        QCOMPARE(assetLine(again, picture.uuid), QString("1 1 0 0 %1").arg(picture.size));
        QCOMPARE(base64Sha1(picturePath), picture.hash);
        QVERIFY2(!FileManager::isHidden(picturePath), "the file verified again stayed hidden");
    }

    // A system shutdown or the end of a session sends SIGTERM or SIGHUP: the program ends
    // through its clean end, so the next start finds no marker and cuts nothing.
    void terminationSignalEndsCleanly_data()
    {
        QTest::addColumn<int>("signalNumber");
        QTest::newRow("SIGTERM") << int(SIGTERM);
        QTest::newRow("SIGHUP") << int(SIGHUP);
    }

    void terminationSignalEndsCleanly()
    {
        QFETCH(int, signalNumber);
        const GeneratedDcp generated = generate(QString("Signal_%1").arg(signalNumber), 1, 3000000, 40 + quint64(signalNumber));
        const GeneratedAsset picture = *generated.asset("picture:1");
        const QString dataDir = TestSupport::dataDir() + QString("/engine-signal-%1").arg(signalNumber);
        QVERIFY(addToCatalogue(dataDir, generated, 7400 + quint64(signalNumber)));
        const QString picturePath = dataDir + "/downloads/" + generated.title + "/" + picture.relativePath;
        QProcess process;
        QVERIFY(startThrottled(process, generated, environment(dataDir)));
        QTRY_VERIFY_WITH_TIMEOUT(QFileInfo(picturePath).size() > 300000, 15000);
        QVERIFY(QFileInfo::exists(markerPath(dataDir)));
        QCOMPARE(::kill(pid_t(process.processId()), signalNumber), 0);
        QVERIFY(process.waitForFinished(10000));
        standin.clearAssetFault(relativePath(generated, picture));
        QCOMPARE(process.exitStatus(), QProcess::NormalExit);
        QCOMPARE(process.exitCode(), 0);
        const QByteArray log = process.readAllStandardError();
        QVERIFY2(log.contains(QString("[main] Ending on signal %1").arg(signalNumber).toUtf8()), log.constData());
        QVERIFY(log.contains("[DownloadManager] Quitting: stopping the transfer"));
        QVERIFY2(!QFileInfo::exists(markerPath(dataDir)), "the run did not end cleanly");
        const qint64 partial = QFileInfo(picturePath).size();
        QCOMPARE(readAll(picturePath), readAll(sourcePath(generated, picture)).left(int(partial)));
    }

    // A second SIGTERM (or SIGHUP) while the clean end waits for the portal's answer to the
    // event in flight changes nothing: the wait goes on, and an event the portal
    // acknowledged is stored as acknowledged, so the next start does not send it again.
    void secondSignalDuringTheCleanEndChangesNothing_data()
    {
        QTest::addColumn<int>("signalNumber");
        QTest::newRow("SIGTERM") << int(SIGTERM);
        QTest::newRow("SIGHUP") << int(SIGHUP);
    }

    void secondSignalDuringTheCleanEndChangesNothing()
    {
        QFETCH(int, signalNumber);
        const GeneratedDcp generated = generate(QString("Second_Signal_%1").arg(signalNumber), 1, 300000,
                                                60 + quint64(signalNumber));
        const quint64 campaign = 7600 + quint64(signalNumber);
        const QString dataDir = TestSupport::dataDir() + QString("/engine-second-signal-%1").arg(signalNumber);
        QVERIFY(addToCatalogue(dataDir, generated, campaign));
        NotificationBehaviour slow;
        slow.delayMs = 600; // well inside the clean end's wait for it
        standin.setNotificationBehaviour(slow);
        standin.clearNotificationRequests();

        QProcess process;
        process.setProcessEnvironment(environment(dataDir));
        process.start(probe(), {"run"});
        QVERIFY(process.waitForStarted(10000));
        const auto inFlight = [&] {
            for (const NotificationRequest &r : standin.notificationRequests())
                if (r.value("campaign_dcp_id") == std::to_string(campaign) && r.status == 0)
                    return true;
            return false;
        };
        QVERIFY(QTest::qWaitFor(inFlight, 20000));
        QCOMPARE(::kill(pid_t(process.processId()), signalNumber), 0);
        QTest::qWait(100);
        QCOMPARE(::kill(pid_t(process.processId()), signalNumber), 0);
        const bool ended = process.waitForFinished(10000);
        standin.setNotificationBehaviour(NotificationBehaviour());
        QVERIFY(ended);
        QCOMPARE(process.exitStatus(), QProcess::NormalExit);
        QCOMPARE(process.exitCode(), 0);
        const QByteArray log = process.readAllStandardError();
        QVERIFY(!QFileInfo::exists(markerPath(dataDir)));

        QList<int> acknowledged;
        for (const NotificationRequest &r : standin.notificationRequests())
            if (r.value("campaign_dcp_id") == std::to_string(campaign) && r.acknowledged)
                acknowledged.append(std::stoi(r.value("event")));
        QVERIFY(!acknowledged.isEmpty());
        QMap<int, bool> stored;
        {
            QSqlDatabase db = QSqlDatabase::addDatabase("QSQLITE", "second-signal");
            db.setDatabaseName(dataDir + "/orvdownloader.4.sqlite");
            QVERIFY(db.open());
            QSqlQuery query(db);
            QVERIFY(query.exec(QString("SELECT event, synced FROM notification WHERE campaign_dcp_id = %1").arg(campaign)));
            while (query.next())
                stored.insert(query.value(0).toInt(), query.value(1).toBool());
        }
        QSqlDatabase::removeDatabase("second-signal");
        for (int event : qAsConst(acknowledged))
            QVERIFY2(stored.value(event), qPrintable(QString("event %1 acknowledged but stored unsynced").arg(event)));
        QVERIFY2(log.contains(QString("[main] Already ending; ignoring signal %1").arg(signalNumber).toUtf8()),
                 log.right(2000).constData());
    }

    // Quitting while the portal holds the reel event in flight: the transfer stops before the
    // wait for that event, so nothing is written or started during it that the journal of a
    // cleanly ended run would not know of.
    void quitStopsTheTransferBeforeWaitingForThePortal()
    {
        const GeneratedDcp generated = generate("Quit_While_Notifying", 1, 3000000, 51);
        const GeneratedAsset picture = *generated.asset("picture:1");
        const GeneratedAsset sound = *generated.asset("sound:1");
        const QString dataDir = TestSupport::dataDir() + "/engine-quit-order";
        QVERIFY(addToCatalogue(dataDir, generated, 7501));
        const QString picturePath = dataDir + "/downloads/" + generated.title + "/" + picture.relativePath;
        NotificationBehaviour hanging;
        hanging.hang = true;
        standin.setNotificationBehaviour(hanging);
        AssetFault slow;
        slow.throttleBytesPerSecond = 1000000;
        standin.setAssetFault(relativePath(generated, picture), slow);
        standin.clearAssetRequests();

        QProcessEnvironment env = environment(dataDir);
        env.insert("PROBE_QUIT_AT_BYTES", "300000");
        QProcess process;
        process.setProcessEnvironment(env);
        process.start(probe(), {"run"});
        QVERIFY(process.waitForStarted(10000));
        const bool ended = process.waitForFinished(20000);
        standin.setNotificationBehaviour(NotificationBehaviour());
        standin.clearAssetFault(relativePath(generated, picture));
        QVERIFY(ended);
        QCOMPARE(process.exitStatus(), QProcess::NormalExit);
        const QString output = QString::fromUtf8(process.readAllStandardOutput());
        const QString log = QString::fromUtf8(process.readAllStandardError());
        const QStringList quitLine = output.mid(output.indexOf("QUIT ")).section('\n', 0, 0).split(' ');
        QCOMPARE(quitLine.size(), 3);
        const qint64 atQuit = quitLine.at(2).toLongLong();
        // The wait (a second, the portal never answers) would bring about 1 MB more.
        const qint64 atEnd = QFileInfo(picturePath).size();
        QVERIFY2(atEnd - atQuit < 250000, qPrintable(QString("%1 bytes written after the quit").arg(atEnd - atQuit)));
        QVERIFY(requestsFor(standin, relativePath(generated, sound)).empty());
        const int quitting = log.indexOf("[DownloadManager] Quitting: stopping the transfer");
        QVERIFY(quitting >= 0);
        QVERIFY2(!log.mid(quitting).contains("Starting downloading..."), "a transfer started during the quit");
        QVERIFY(!QFileInfo::exists(markerPath(dataDir)));
        QCOMPARE(readAll(picturePath), readAll(sourcePath(generated, picture)).left(int(atEnd)));
    }

    void cleanupTestCase()
    {
        standin.stop();
    }
};

TOLVANE_TEST_MAIN(TestDownloadRestart)
#include "tst_download_restart.moc"
