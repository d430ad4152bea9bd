// Start-up's update and login gates, in real application processes (the startup probe)
// against an in-process portal stand-in.
#include "PortalStandin.h"
#include "support/TestMain.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

class TestStartupGates : public QObject
{
    Q_OBJECT

    PortalStandin m_portal;
    QTemporaryDir m_dir;
    QByteArray m_installer = QByteArray("MZ installer bytes ") + QByteArray(4096, '\x5a');
    int m_runs = 0;

    struct Run {
        std::unique_ptr<QProcess> process;
        QString dataDir;
        QString tempDir;
    };

    Run start(const QMap<QString, QString> &answers)
    {
        Run run;
        ++m_runs;
        run.dataDir = m_dir.path() + QString("/data%1").arg(m_runs);
        run.tempDir = m_dir.path() + QString("/tmp%1").arg(m_runs);
        QDir().mkpath(run.dataDir);
        QDir().mkpath(run.tempDir);
        run.process = std::make_unique<QProcess>();
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert("TOLVANE_DATA_DIR", run.dataDir);
        environment.insert("TMPDIR", run.tempDir);
        environment.insert("TOLVANE_PORTAL_URL", QString::fromStdString(m_portal.baseUrl()));
        for (auto it = answers.constBegin(); it != answers.constEnd(); ++it)
            environment.insert(it.key(), it.value());
        run.process->setProcessEnvironment(environment);
        run.process->start(TestSupport::builtExecutable("tests/foundation/startup_probe"), QStringList());
        if (!run.process->waitForStarted(10000))
            qFatal("startup probe did not start");
        return run;
    }

    static QByteArray log(const Run &run)
    {
        QFile file(run.dataDir + "/debug.log");
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }

    void offerUpdate(bool newer)
    {
        VersionCheckBehaviour check;
        check.version = newer ? 20170614 : 20170613;
        check.description = "<p>Better resuming.</p>";
        check.winUrl = "https://tarn.example/downloads/Tolvane%20Setup.exe";
        m_portal.setVersionCheck(check);
    }

private slots:
    void initTestCase()
    {
        TestSupport::captureLog();
        QVERIFY(m_dir.isValid());
        QFile installer(m_dir.path() + "/installer.bin");
        QVERIFY(installer.open(QIODevice::WriteOnly));
        installer.write(m_installer);
        installer.close();
        QVERIFY(m_portal.start());
        m_portal.setAccounts({{"operator", "pa&ss=1+%", "key for packages"}});
        InstallerBehaviour served;
        served.filePath = (m_dir.path() + "/installer.bin").toStdString();
        served.name = "Tolvane Setup.exe";
        m_portal.setInstaller(served);
    }

    void cleanupTestCase() { m_portal.stop(); }

    void acceptedUpdateEndsStartupBeforeLogin()
    {
        offerUpdate(true);
        const size_t logins = m_portal.authenticateRequests().size();
        Run run = start({{"TOLVANE_PROBE_UPDATE", "update"}, {"TOLVANE_PROBE_USERNAME", "operator"},
                         {"TOLVANE_PROBE_PASSWORD", "pa&ss=1+%"}});
        QVERIFY(run.process->waitForFinished(30000));
        QCOMPARE(run.process->exitStatus(), QProcess::NormalExit);
        QCOMPARE(run.process->exitCode(), 0);

        // The browser gets the download page; nothing is saved.
        const QString output = QString::fromUtf8(run.process->readAllStandardOutput());
        QCOMPARE(output, QString("DIALOG UpdaterDialog\nOFFER UpdaterDialog\nURL "
                                 "https://tarn.example/downloads/Tolvane%20Setup.exe\n"));
        QVERIFY(!QFile::exists(run.tempDir + "/Tolvane Setup.exe"));
        QVERIFY(log(run).contains("[main] Update in progress. Closing the app\r\n"));
        QVERIFY(!log(run).contains("[main] Starting QML..."));
        QCOMPARE(m_portal.authenticateRequests().size(), logins);
        // The login never ran, so the database was never opened.
        QVERIFY(!QFile::exists(run.dataDir + "/orvdownloader.4.sqlite"));
    }

    void declinedUpdateAndClosedLoginEndWithZero()
    {
        offerUpdate(true);
        const size_t logins = m_portal.authenticateRequests().size();
        Run run = start({{"TOLVANE_PROBE_UPDATE", "notnow"}, {"TOLVANE_PROBE_LOGIN", "cancel"}});
        QVERIFY(run.process->waitForFinished(30000));
        QCOMPARE(run.process->exitStatus(), QProcess::NormalExit);
        QCOMPARE(run.process->exitCode(), 0);
        QCOMPARE(QString::fromUtf8(run.process->readAllStandardOutput()),
                 QString("DIALOG UpdaterDialog\nOFFER UpdaterDialog\nDIALOG LoginDialog\n"));
        QVERIFY(!log(run).contains("[main] Update in progress."));
        QVERIFY(!log(run).contains("[main] Starting QML..."));
        QCOMPARE(m_portal.authenticateRequests().size(), logins);
        QVERIFY(QDir(run.tempDir).entryList({"*.exe"}).isEmpty());
    }

    void loginHandsTheKeyToTheCatalogue()
    {
        offerUpdate(false);
        const int checks = m_portal.versionCheckRequestCount();
        const size_t logins = m_portal.authenticateRequests().size();
        Run run = start({{"TOLVANE_PROBE_USERNAME", "operator"}, {"TOLVANE_PROBE_PASSWORD", "pa&ss=1+%"}});
        QTRY_VERIFY_WITH_TIMEOUT(log(run).contains("[main] Starting QML...\r\n"), 30000);
        QCOMPARE(m_portal.versionCheckRequestCount(), checks + 1);
        QCOMPARE(m_portal.authenticateRequests().size(), logins + 1);
        QCOMPARE(m_portal.authenticateRequests().back().status, 200);
        QCOMPARE(run.process->state(), QProcess::Running);

        QByteArray output;
        QTRY_VERIFY_WITH_TIMEOUT((output += run.process->readAllStandardOutput()).contains("KEY "), 10000);
        // The update dialog shows while the check runs, but makes no offer for the same version.
        QCOMPARE(QString::fromUtf8(output),
                 QString("DIALOG UpdaterDialog\nDIALOG LoginDialog\nKEY key for packages\n"));

        run.process->terminate();
        QVERIFY(run.process->waitForFinished(10000));
    }

    void failedUpdateCheckContinuesToLogin()
    {
        VersionCheckBehaviour broken;
        broken.status = 503;
        m_portal.setVersionCheck(broken);
        Run run = start({{"TOLVANE_PROBE_LOGIN", "cancel"}});
        QVERIFY(run.process->waitForFinished(30000));
        QCOMPARE(run.process->exitCode(), 0);
        QCOMPARE(QString::fromUtf8(run.process->readAllStandardOutput()),
                 QString("DIALOG UpdaterDialog\nDIALOG LoginDialog\n"));
    }
};

TOLVANE_TEST_MAIN(TestStartupGates)
#include "test_startup_gates.moc"
