#include "support/TestMain.h"

#include "PortalStandin.h"
#include "support/OtherUser.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>
#include <sys/stat.h>
#include <memory>

// Real application processes against one another: one shared data directory and one
// TMPDIR, so they see the same single-instance lock and nothing of other tests.
class TestSingleInstance : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    PortalStandin m_portal;

    // uid 0: this test's own user; otherwise that user through setpriv, with tmp as the
    // temporary folder every user shares and home as its home.
    std::unique_ptr<QProcess> start(const QString &dataDir, unsigned uid = 0, const QString &tmp = QString(),
                                    const QString &home = QString())
    {
        auto process = std::make_unique<QProcess>();
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert("TOLVANE_DATA_DIR", dataDir);
        environment.insert("TMPDIR", tmp.isEmpty() ? m_dir.path() + "/ipc" : tmp);
        environment.remove("XDG_RUNTIME_DIR");
        if (!home.isEmpty()) {
            environment.insert("HOME", home);
            environment.remove("XDG_CACHE_HOME");
        }
        // The stand-in answers the update check with no newer version, and the probe logs
        // in with the stand-in's account, so an instance past the guard reaches the window.
        environment.insert("TOLVANE_PORTAL_URL", QString::fromStdString(m_portal.baseUrl()));
        environment.insert("TOLVANE_PROBE_USERNAME", "probe");
        environment.insert("TOLVANE_PROBE_PASSWORD", "probe-password");
        process->setProcessEnvironment(environment);
        if (uid != 0)
            OtherUser::start(*process, uid, TestSupport::builtExecutable("tests/foundation/startup_probe"), QStringList());
        else
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

    // One user's running program, or a folder another user made under the name of this
    // user's lock folder in the shared temporary folder, keeps nobody else from starting;
    // each user still gets one instance.
    void anotherUserCannotBlock()
    {
        if (!OtherUser::available())
            QSKIP("starting the program as other users needs root and setpriv");
        const QString shared = OtherUser::sharedScratchFolder();
        QVERIFY(!shared.isEmpty());
        const QString tmp = shared + "/tmp";
        QVERIFY(QDir().mkpath(tmp));
        QCOMPARE(::chmod(QFile::encodeName(tmp).constData(), 01777), 0);
        const unsigned other = OtherUser::secondUid;
        const unsigned operatorUid = OtherUser::firstUid;
        const QString otherData = shared + "/other-data";
        const QString operatorData = shared + "/operator-data";
        QVERIFY(OtherUser::makeFolderOf(otherData, other, 0700));
        QVERIFY(OtherUser::makeFolderOf(operatorData, operatorUid, 0700));
        QVERIFY(OtherUser::makeFolderOf(shared + "/other-home", other, 0700));
        QVERIFY(OtherUser::makeFolderOf(shared + "/operator-home", operatorUid, 0700));
        // The other user takes the operator's name in the temporary folder first, open to all.
        QVERIFY(OtherUser::makeFolderOf(tmp + QString("/tolvane-downloader-%1").arg(operatorUid), other, 0777));

        auto others = start(otherData, other, tmp, shared + "/other-home");
        QVERIFY(waitUntilPastGuard(otherData, 1));
        auto operatorRun = start(operatorData, operatorUid, tmp, shared + "/operator-home");
        QVERIFY(waitUntilPastGuard(operatorData, 1));
        QVERIFY(!log(operatorData).contains("Multiple instances not allowed"));
        QCOMPARE(others->state(), QProcess::Running);
        QCOMPARE(operatorRun->state(), QProcess::Running);

        // The operator's second start is still refused.
        auto again = start(operatorData, operatorUid, tmp, shared + "/operator-home");
        QVERIFY(again->waitForFinished(30000));
        QCOMPARE(again->exitCode(), 1);
        QVERIFY(again->readAllStandardOutput().contains("already have an instance"));

        for (auto *process : {others.get(), operatorRun.get()}) {
            process->terminate();
            QVERIFY(process->waitForFinished(10000));
        }
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
