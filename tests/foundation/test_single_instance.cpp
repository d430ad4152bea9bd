#include "support/TestMain.h"

#include "PortalStandin.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>
#include <memory>

// Real application processes against one another: one shared data directory and one
// TMPDIR, so they see the same single-instance keys and nothing of other tests.
class TestSingleInstance : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    PortalStandin m_portal;

    std::unique_ptr<QProcess> start(const QString &dataDir)
    {
        auto process = std::make_unique<QProcess>();
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert("TOLVANE_DATA_DIR", dataDir);
        environment.insert("TMPDIR", m_dir.path() + "/ipc");
        // The stand-in answers the update check with no newer version, and the probe logs
        // in with the stand-in's account, so an instance past the guard reaches the window.
        environment.insert("TOLVANE_PORTAL_URL", QString::fromStdString(m_portal.baseUrl()));
        environment.insert("TOLVANE_PROBE_USERNAME", "probe");
        environment.insert("TOLVANE_PROBE_PASSWORD", "probe-password");
        process->setProcessEnvironment(environment);
        process->start(TestSupport::builtExecutable("tests/foundation/startup_probe"), QStringList());
        if (!process->waitForStarted(10000))
            qFatal("startup probe did not start");
        return process;
    }

    QByteArray log(const QString &dataDir)
    {
        QFile file(dataDir + "/debug.log");
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }

    // Past the guard, start-up checks for updates, logs in, opens the database and goes
    // on to the window.
    bool waitUntilPastGuard(const QString &dataDir, int expectedStarts)
    {
        QElapsedTimer timer;
        timer.start();
        while (timer.elapsed() < 60000) {
            if (log(dataDir).count("[main] Starting QML...") >= expectedStarts)
                return true;
            QTest::qWait(100);
        }
        return false;
    }

private slots:
    void initTestCase()
    {
        TestSupport::captureLog();
        QVERIFY(QDir().mkpath(m_dir.path() + "/ipc"));
        QVERIFY(m_portal.start());
        m_portal.setAccounts({{"probe", "probe-password", "probe-key"}});
    }

    void cleanupTestCase() { m_portal.stop(); }

    void secondStartIsRefusedAndStaleSegmentRecovered()
    {
        const QString dataDir = m_dir.path() + "/data";
        QVERIFY(QDir().mkpath(dataDir));

        auto first = start(dataDir);
        QVERIFY(waitUntilPastGuard(dataDir, 1));
        QCOMPARE(m_portal.versionCheckRequestCount(), 1);
        QCOMPARE(m_portal.authenticateRequests().size(), size_t(1));

        auto second = start(dataDir);
        QVERIFY(second->waitForFinished(30000));
        QCOMPARE(second->exitStatus(), QProcess::NormalExit);
        QCOMPARE(second->exitCode(), 1);
        QCOMPARE(QString::fromUtf8(second->readAllStandardOutput()),
                 QString("BOX 2 You already have an instance of the Tolvane Downloader running.\\r\\nOnly one instance is "
                         "allowed.\n"));
        QVERIFY(log(dataDir).contains("[main] Multiple instances not allowed.\r\n"));
        QCOMPARE(log(dataDir).count("[main] Starting QML..."), 1);
        // The refused instance never got as far as the update check or the login.
        QCOMPARE(m_portal.versionCheckRequestCount(), 1);
        QCOMPARE(m_portal.authenticateRequests().size(), size_t(1));
        QCOMPARE(first->state(), QProcess::Running);

        // A crash leaves the segment behind; the next start must not be refused for good.
        ::kill(pid_t(first->processId()), SIGKILL);
        QVERIFY(first->waitForFinished(10000));

        auto third = start(dataDir);
        QVERIFY(waitUntilPastGuard(dataDir, 2));
        QCOMPARE(third->state(), QProcess::Running);
        QVERIFY(!third->readAllStandardOutput().contains("already have an instance"));

        // And the recovered instance still keeps others out.
        auto fourth = start(dataDir);
        QVERIFY(fourth->waitForFinished(30000));
        QCOMPARE(fourth->exitCode(), 1);
        QCOMPARE(m_portal.versionCheckRequestCount(), 2);

        third->terminate();
        QVERIFY(third->waitForFinished(10000));
    }

    void databaseThatCannotBeSetUpEndsInOrder()
    {
        const QString dataDir = m_dir.path() + "/broken";
        QVERIFY(QDir().mkpath(dataDir));
        QFile garbage(dataDir + "/orvdownloader.4.sqlite");
        QVERIFY(garbage.open(QIODevice::WriteOnly));
        garbage.write(QByteArray(4096, 'x'));
        garbage.close();

        auto process = start(dataDir);
        QVERIFY(process->waitForFinished(30000));
        QCOMPARE(process->exitStatus(), QProcess::NormalExit);
        QCOMPARE(process->exitCode(), 1);
        QVERIFY(process->readAllStandardOutput().contains("BOX 3 Unable to query the database\n"));
    }
};

TOLVANE_TEST_MAIN(TestSingleInstance)
#include "test_single_instance.moc"
