// Start-up while Tarn cannot be reached, in real application processes (the startup probe):
// the catalogue's downloads go on from their own asset server, reel events go out to the
// notification service once it answers, and opening a package asks for the login first.
#include "../download/DownloadFixture.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTcpServer>
#include <QTemporaryDir>

#include <memory>

using namespace DownloadFixture;

namespace {

const char *const kPackageKey = "key for packages of the Tolvane test cinema";
const char *const kNotOpened = "The package was not opened: opening a package needs a login to Tarn.";

quint16 closedPort()
{
    QTcpServer closed;
    if (!closed.listen(QHostAddress::LocalHost))
        return 0;
    const quint16 port = closed.serverPort();
    closed.close();
    return port;
}

QString localUrl(quint16 port)
{
    return QString("http://127.0.0.1:%1").arg(port);
}

}

class TestStartupOffline : public QObject
{
    Q_OBJECT

    PortalStandin m_assets; // the asset server, and the notification service where asked
    QTemporaryDir m_dir;
    int m_runs = 0;

    struct Run {
        std::unique_ptr<QProcess> process;
        QString dataDir;
        QByteArray output;
    };

    QProcessEnvironment environment(const QString &dataDir) const
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("TOLVANE_DATA_DIR", dataDir);
        QDir().mkpath(dataDir + "/tmp");
        env.insert("TMPDIR", dataDir + "/tmp");
        return env;
    }

    QString newDataDir()
    {
        const QString dataDir = m_dir.path() + QString("/data%1").arg(++m_runs);
        QDir().mkpath(dataDir);
        return dataDir;
    }

    // Stores the generated DCP in the catalogue of dataDir, its links on the asset server,
    // as an earlier run would have left it.
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
                                      {"url", QString::fromStdString(m_assets.assetUrl(relativePath(generated, a)))},
                                      {"reel", reelNumberOf(a)}});
        }
        description["assets"] = assets;
        QDir().mkpath(dataDir + "/downloads");
        const QString descriptionPath = dataDir + "/description.json";
        QFile file(descriptionPath);
        if (!file.open(QIODevice::WriteOnly) || file.write(QJsonDocument(description).toJson()) <= 0)
            return false;
        file.close();
        QProcess process;
        process.setProcessEnvironment(environment(dataDir));
        process.start(TestSupport::builtExecutable("tests/download/download_probe"), {"add", descriptionPath});
        if (!process.waitForFinished(20000)) {
            process.kill();
            process.waitForFinished();
            return false;
        }
        return process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
    }

    Run start(const QString &dataDir, const QMap<QString, QString> &settings, const QStringList &arguments = {})
    {
        Run run;
        run.dataDir = dataDir;
        run.process = std::make_unique<QProcess>();
        QProcessEnvironment env = environment(dataDir);
        for (auto it = settings.constBegin(); it != settings.constEnd(); ++it)
            env.insert(it.key(), it.value());
        run.process->setProcessEnvironment(env);
        run.process->start(TestSupport::builtExecutable("tests/foundation/startup_probe"), arguments);
        if (!run.process->waitForStarted(10000))
            qFatal("startup probe did not start");
        return run;
    }

    static void stop(Run &run)
    {
        if (run.process->state() == QProcess::NotRunning)
            return;
        run.process->terminate();
        if (!run.process->waitForFinished(15000)) {
            run.process->kill();
            run.process->waitForFinished();
        }
    }

    static QByteArray &output(Run &run)
    {
        run.output += run.process->readAllStandardOutput();
        return run.output;
    }

    static QByteArray log(const Run &run)
    {
        QFile file(run.dataDir + "/debug.log");
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }

    // One number read from the running program's catalogue; -1 while it cannot be read.
    static int count(const Run &run, const QString &sql)
    {
        const QString connection = "peek-" + run.dataDir;
        int result = -1;
        {
            QSqlDatabase db = QSqlDatabase::contains(connection) ? QSqlDatabase::database(connection)
                                                                 : QSqlDatabase::addDatabase("QSQLITE", connection);
            db.setDatabaseName(run.dataDir + "/orvdownloader.4.sqlite");
            db.setConnectOptions("QSQLITE_OPEN_READONLY;QSQLITE_BUSY_TIMEOUT=2000");
            if (db.isOpen() || db.open()) {
                QSqlQuery query(db);
                if (query.exec(sql) && query.next())
                    result = query.value(0).toInt();
            }
        }
        return result;
    }

private slots:
    void initTestCase()
    {
        TestSupport::captureLog();
        QVERIFY(m_dir.isValid());
        QVERIFY(m_assets.start());
        m_assets.setAssetRoot(sourceRoot().toStdString());
        m_assets.setAccounts({{"operator", "pa&ss=1+%", kPackageKey}});
    }

    void cleanupTestCase() { m_assets.stop(); }

    // Tarn refuses connections; the asset server answers; the notification service is down
    // at first and comes up later.
    void continuingDownloadsTheCatalogueAndReportsItOnceTheServiceAnswers()
    {
        const GeneratedDcp generated = generate("Offline_Feature", 1, 300000, 61);
        const QString dataDir = newDataDir();
        QVERIFY(addToCatalogue(dataDir, generated, 7301));
        const int assets = trackAssets(generated).size();
        QVERIFY(assets > 0);

        const quint16 portalPort = closedPort();
        const quint16 notificationPort = closedPort();
        QVERIFY(portalPort && notificationPort && portalPort != notificationPort);
        m_assets.clearAssetRequests();
        Run run = start(dataDir, {{"TOLVANE_PORTAL_URL", localUrl(portalPort)},
                                  {"TOLVANE_NOTIFICATION_URL", localUrl(notificationPort)},
                                  {"TOLVANE_PROBE_USERNAME", "operator"},
                                  {"TOLVANE_PROBE_PASSWORD", "pa&ss=1+%"},
                                  {"TOLVANE_PROBE_LOGIN", "continue"}});

        QTRY_VERIFY_WITH_TIMEOUT(log(run).contains("[main] Starting QML...\r\n"), 60000);
        QTRY_VERIFY_WITH_TIMEOUT(output(run).contains("KEY "), 10000);
        // The version check fails at once and lets start-up go on; the login fails for the
        // connection and offers the catalogue; going on leaves the catalogue without a key.
        QCOMPARE(QString::fromUtf8(output(run)),
                 QString("DIALOG UpdaterDialog\nDIALOG LoginDialog\nCONTINUE LoginDialog\nKEY \n"));
        const QByteArray started = log(run);
        QVERIFY(started.contains("[LoginDialog] Network reply error:  ConnectionRefusedError , HTTP status code:  0\r\n"));
        QVERIFY(started.contains("[main] Continuing without a login; opening a package will ask for one.\r\n"));

        // Every file of the DCP is downloaded from the asset server and verified.
        QTRY_COMPARE_WITH_TIMEOUT(count(run, "SELECT COUNT(*) FROM asset WHERE download_checksummed = 1"), assets,
                                  60000);
        QVERIFY(!m_assets.assetRequests().empty());
        QCOMPARE(count(run, "SELECT COUNT(*) FROM asset WHERE download_corrupted = 1"), 0);

        // The reel events are stored and retried while the service is down.
        QTRY_VERIFY_WITH_TIMEOUT(log(run).count("[NotificationManager] Failed Reel num: ") >= 2, 30000);
        const int stored = count(run, "SELECT COUNT(*) FROM notification");
        QVERIFY(stored >= 3);
        QCOMPARE(count(run, "SELECT COUNT(*) FROM notification WHERE synced = 1"), 0);
        QVERIFY(run.process->state() == QProcess::Running);

        // The service comes up: the queued events go out with the identity the catalogue
        // keeps for the DCP, and are acknowledged.
        PortalStandin service;
        QVERIFY(service.start(notificationPort));
        QTRY_VERIFY_WITH_TIMEOUT(count(run, "SELECT COUNT(*) FROM notification WHERE synced = 1") >= 1, 30000);
        const std::vector<NotificationRequest> sent = service.notificationRequests();
        QVERIFY(!sent.empty());
        QCOMPARE(QString::fromStdString(sent.front().value("user_uuid")), userUuid());
        QCOMPARE(QString::fromStdString(sent.front().value("campaign_dcp_id")), QString("7301"));
        QVERIFY(sent.front().acknowledged);

        stop(run);
        service.stop();
    }

    void openingAPackageWithoutLoginAsksForItFirst_data()
    {
        QTest::addColumn<bool>("logsIn");
        QTest::newRow("login cancelled") << false;
        QTest::newRow("login succeeds") << true;
    }

    void openingAPackageWithoutLoginAsksForItFirst()
    {
        QFETCH(bool, logsIn);
        const GeneratedDcp stored = generate(QString("Stored_%1").arg(int(logsIn)), 1, 100000, 70 + quint64(logsIn));
        const GeneratedDcp ordered = generate(QString("Ordered_%1").arg(int(logsIn)), 1, 100000, 72 + quint64(logsIn));
        const QString dataDir = newDataDir();
        QVERIFY(addToCatalogue(dataDir, stored, 7401));
        const QString package = dataDir + "/order.orvdcp";
        QString error;
        QVERIFY2(writeOrder(m_assets, ordered, 7402, "Ordered", package, kPackageKey, &error), qPrintable(error));

        // Tarn answers with a server fault until the test lets it log in.
        PortalStandin portal;
        QVERIFY(portal.start());
        portal.setAccounts({{"operator", "pa&ss=1+%", kPackageKey}});
        AuthenticateBehaviour down;
        down.status = 503;
        portal.setAuthenticateBehaviour(down);

        Run run = start(dataDir,
                        {{"TOLVANE_PORTAL_URL", QString::fromStdString(portal.baseUrl())},
                         {"TOLVANE_NOTIFICATION_URL", QString::fromStdString(m_assets.baseUrl())},
                         {"TOLVANE_PROBE_USERNAME", "operator"},
                         {"TOLVANE_PROBE_PASSWORD", "pa&ss=1+%"},
                         {"TOLVANE_PROBE_LOGIN", "continue"},
                         {"TOLVANE_PROBE_LATER_LOGIN", logsIn ? "login" : "cancel"}},
                        {package});

        // The package named on the command line is opened right after start-up went on:
        // the login dialog comes back first.
        QTRY_VERIFY_WITH_TIMEOUT(output(run).count("DIALOG LoginDialog\n") == 2, 60000);
        if (logsIn)
            portal.setAuthenticateBehaviour(AuthenticateBehaviour());
        QTRY_VERIFY_WITH_TIMEOUT(log(run).contains("[main] Starting QML...\r\n"), 60000);

        const QString expectedStart = "DIALOG UpdaterDialog\nDIALOG LoginDialog\nCONTINUE LoginDialog\nDIALOG LoginDialog\n";
        QTRY_VERIFY_WITH_TIMEOUT(output(run).contains("KEY "), 10000);
        // What comes after the key may take a moment more (a slow build, a busy machine).
        if (logsIn)
            QTRY_VERIFY_WITH_TIMEOUT(output(run).contains("\nFOLDER "), 30000);
        else
            QTRY_VERIFY_WITH_TIMEOUT(QString::fromUtf8(output(run)).contains(QString("BOX 2 ") + kNotOpened + "\n"), 30000);
        const QString printed = QString::fromUtf8(output(run));
        QString dialogs = printed;
        dialogs.remove(QRegularExpression("KEY [^\n]*\n"));
        QVERIFY2(dialogs.startsWith(expectedStart), qPrintable(printed));
        QVERIFY(log(run).contains("[DCPManager] Opening a package needs a login: \"" + package.toUtf8() + "\"\r\n"));
        if (logsIn) {
            // Logged in: the package is decrypted with the key and the import asks where to put it.
            QVERIFY2(printed.contains("\nFOLDER "), qPrintable(printed));
            QVERIFY(!printed.contains(kNotOpened));
            QCOMPARE(portal.authenticateRequests().back().status, 200);
        } else {
            QVERIFY2(printed.contains(QString("BOX 2 ") + kNotOpened + "\n"), qPrintable(printed));
            QVERIFY(!printed.contains("FOLDER "));
            QVERIFY(log(run).contains("[DCPManager] No login; the package was not opened: \"" + package.toUtf8() + "\"\r\n"));
        }
        // Either way the catalogue's own DCP goes on downloading.
        QTRY_COMPARE_WITH_TIMEOUT(count(run, "SELECT COUNT(*) FROM asset WHERE download_checksummed = 1"),
                                  int(trackAssets(stored).size()), 60000);
        QCOMPARE(count(run, "SELECT COUNT(*) FROM dcp"), 1);

        stop(run);
        portal.stop();
    }
};

TOLVANE_TEST_MAIN(TestStartupOffline)
#include "test_startup_offline.moc"
