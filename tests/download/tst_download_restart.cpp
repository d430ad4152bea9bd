// The engine across processes: a process killed with SIGKILL in the middle of a file, and a
// new process on the same catalogue that resumes from the file's size without fetching
// again what is on disk; and an asset found corrupted, which a later process never queues
// again. The engine runs in download_probe; this process plays the portal and the servers.

#include "DownloadFixture.h"

#include "support/TestMain.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QtTest>

using namespace DownloadFixture;

class TestDownloadRestart : public QObject
{
    Q_OBJECT

private:
    PortalStandin standin;

    QProcessEnvironment environment(const QString &dataDir) const
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("TOLVANE_DATA_DIR", dataDir);
        env.insert("TOLVANE_NOTIFICATION_URL", QString::fromStdString(standin.baseUrl()));
        env.insert("QT_QPA_PLATFORM", "offscreen");
        env.insert("PROBE_STALL_MS", "1500");
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

    // Runs the engine until it has nothing left to do; its output.
    QString runToIdle(const QString &dataDir)
    {
        QProcess process;
        process.setProcessEnvironment(environment(dataDir));
        process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        process.start(probe(), {"run"});
        if (!process.waitForFinished(40000)) {
            process.kill();
            process.waitForFinished();
            return QString();
        }
        if (process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0)
            return QString();
        return QString::fromUtf8(process.readAllStandardOutput());
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

        // About 1 MB/s through the engine's own pacing, and the server never faster than
        // 500 kB/s, so the process is still mid-file when it is killed even on a slow build.
        AssetFault slow;
        slow.throttleBytesPerSecond = 500000;
        standin.setAssetFault(relativePath(generated, picture), slow);
        QProcess first;
        first.setProcessEnvironment(environment(dataDir));
        first.start(probe(), {"run", "1000000"});
        QVERIFY(first.waitForStarted(10000));
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

    void cleanupTestCase()
    {
        standin.stop();
    }
};

TOLVANE_TEST_MAIN(TestDownloadRestart)
#include "tst_download_restart.moc"
