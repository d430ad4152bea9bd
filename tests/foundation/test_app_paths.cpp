// Where the database and debug.log go: TOLVANE_DATA_DIR, else next to the executable, else
// (an executable folder that cannot be written, as under /usr) the user's data folder,
// unless a database is already next to the executable.
#include "base/AppPaths.h"
#include "support/OtherUser.h"
#include "support/TestMain.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

class TestAppPaths : public QObject
{
    Q_OBJECT

private:
    // A copy of the log probe in its own folder, which can be made read-only.
    struct InstalledProbe {
        QTemporaryDir root;
        QString binDir;
        QString userData; // XDG_DATA_HOME of the run
        bool mounted = false;

        ~InstalledProbe()
        {
            if (mounted)
                umount(binDir.toLocal8Bit().constData());
            QFile::setPermissions(binDir, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        }
    };

    static bool install(InstalledProbe &probe)
    {
        probe.binDir = probe.root.path() + "/bin";
        probe.userData = probe.root.path() + "/home/.local/share";
        return QDir().mkpath(probe.binDir) && QDir().mkpath(probe.userData)
            && QFile::copy(TestSupport::builtExecutable("tests/foundation/log_probe"), probe.binDir + "/log_probe");
    }

    // Root writes through permission bits, so it gets a read-only bind mount instead.
    static bool makeReadOnly(InstalledProbe &probe)
    {
        const QByteArray path = probe.binDir.toLocal8Bit();
        if (geteuid() != 0)
            return QFile::setPermissions(probe.binDir, QFile::ReadOwner | QFile::ExeOwner);
        if (mount(path.constData(), path.constData(), nullptr, MS_BIND, nullptr) != 0)
            return false;
        probe.mounted = true;
        return mount(nullptr, path.constData(), nullptr, MS_BIND | MS_REMOUNT | MS_RDONLY, nullptr) == 0;
    }

    // Runs the installed probe, with TOLVANE_DATA_DIR only when given; its standard output.
    static QString run(const InstalledProbe &probe, const QStringList &arguments, const QString &overridden = QString())
    {
        QProcess process;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.remove("TOLVANE_DATA_DIR");
        if (!overridden.isEmpty())
            environment.insert("TOLVANE_DATA_DIR", overridden);
        environment.insert("HOME", probe.root.path() + "/home");
        environment.insert("XDG_DATA_HOME", probe.userData);
        process.setProcessEnvironment(environment);
        process.start(probe.binDir + "/log_probe", arguments);
        if (!process.waitForFinished(30000) || process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0)
            return QString();
        return QString::fromLocal8Bit(process.readAllStandardOutput()).trimmed();
    }

private slots:
    void decision_data()
    {
        QTest::addColumn<QString>("overridden");
        QTest::addColumn<bool>("writable");
        QTest::addColumn<bool>("database");
        QTest::addColumn<QString>("userData");
        QTest::addColumn<QString>("expected");
        QTest::newRow("override wins over everything") << "/data" << false << true << "/user" << "/data";
        QTest::newRow("writable folder: next to the executable") << "" << true << false << "/user" << "/opt/app";
        QTest::newRow("writable folder with a database") << "" << true << true << "/user" << "/opt/app";
        QTest::newRow("read-only folder: the user's data folder") << "" << false << false << "/user" << "/user";
        QTest::newRow("read-only folder with a database keeps it") << "" << false << true << "/user" << "/opt/app";
        QTest::newRow("no user data folder known") << "" << false << false << "" << "/opt/app";
    }

    void decision()
    {
        QFETCH(QString, overridden);
        QFETCH(bool, writable);
        QFETCH(bool, database);
        QFETCH(QString, userData);
        QFETCH(QString, expected);
        AppPaths::Candidates candidates;
        candidates.overridden = overridden;
        candidates.executableDir = "/opt/app";
        candidates.executableDirWritable = writable;
        candidates.databaseNextToExecutable = database;
        candidates.userDataDir = userData;
        QCOMPARE(AppPaths::chooseDataDir(candidates), expected);
    }

    void writableFolderKeepsEverythingNextToTheExecutable()
    {
        InstalledProbe probe;
        QVERIFY(install(probe));
        QCOMPARE(run(probe, {"where:", "debug:[main] here", "database:"}), probe.binDir);
        QVERIFY(QFile::exists(probe.binDir + "/debug.log"));
        QVERIFY(QFile::exists(probe.binDir + "/orvdownloader.4.sqlite"));
        QVERIFY(!QFile::exists(probe.userData + "/log_probe"));
    }

    void readOnlyFolderUsesTheUserDataFolder()
    {
        InstalledProbe probe;
        QVERIFY(install(probe));
        if (!makeReadOnly(probe))
            QSKIP("cannot make a read-only folder here");
        QVERIFY(!AppPaths::isWritableFolder(probe.binDir));
        const QString expected = probe.userData + "/log_probe";
        QCOMPARE(run(probe, {"where:", "debug:[main] in the user's folder", "database:"}), expected);
        QFile log(expected + "/debug.log");
        QVERIFY(log.open(QIODevice::ReadOnly));
        QVERIFY(log.readAll().contains("[main] in the user's folder\r\n"));
        QVERIFY(QFile::exists(expected + "/orvdownloader.4.sqlite"));
        QVERIFY(!QFile::exists(probe.binDir + "/debug.log"));
        QVERIFY(!QFile::exists(probe.binDir + "/orvdownloader.4.sqlite"));
    }

    void readOnlyFolderWithADatabaseKeepsUsingIt()
    {
        InstalledProbe probe;
        QVERIFY(install(probe));
        {
            QFile database(probe.binDir + "/orvdownloader.4.sqlite");
            QVERIFY(database.open(QIODevice::WriteOnly));
        }
        if (!makeReadOnly(probe))
            QSKIP("cannot make a read-only folder here");
        QCOMPARE(run(probe, {"where:", "debug:lost"}), probe.binDir);
        QVERIFY(!QFile::exists(probe.userData + "/log_probe/debug.log"));
    }

    void overrideWinsOverAReadOnlyFolder()
    {
        InstalledProbe probe;
        QVERIFY(install(probe));
        if (!makeReadOnly(probe))
            QSKIP("cannot make a read-only folder here");
        const QString data = probe.root.path() + "/data";
        QCOMPARE(run(probe, {"where:"}, data), data);
    }

    void dataIsTheOperatorsAlone_data()
    {
        QTest::addColumn<bool>("earlierFiles");
        QTest::newRow("first start, in the user's data folder") << false;
        QTest::newRow("files an earlier version left readable by all") << true;
    }

    // The database and debug.log hold the Tarn user name, the user uuid and every asset
    // link: their folder is the operator's alone (0700), and so are they (0600), when the
    // program makes them and when an earlier version left them open to every local user.
    // Run as an ordinary user (through setpriv when the test runs as root) with the usual
    // file mode mask 022.
    void dataIsTheOperatorsAlone()
    {
        QFETCH(bool, earlierFiles);
        const bool asOther = OtherUser::available();
        QTemporaryDir own;
        const QString base = asOther ? OtherUser::sharedScratchFolder() : own.path();
        QVERIFY(!base.isEmpty());
        const unsigned uid = asOther ? OtherUser::firstUid : ::geteuid();
        const QString bin = base + "/bin";
        const QString home = base + "/home";
        QVERIFY(QDir().mkpath(bin));
        QVERIFY(QFile::copy(TestSupport::builtExecutable("tests/foundation/log_probe"), bin + "/log_probe"));
        QVERIFY(OtherUser::makeFolderOf(home, uid, 0755));
        // The executable's folder is not the user's to write: the data go to the user's folder.
        QVERIFY(QFile::setPermissions(bin, QFile::ReadOwner | QFile::ExeOwner | QFile::ReadGroup | QFile::ExeGroup
                                               | QFile::ReadOther | QFile::ExeOther));

        QString data = home + "/.local/share/log_probe";
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.remove("TOLVANE_DATA_DIR");
        environment.remove("XDG_DATA_HOME");
        environment.insert("HOME", home);
        if (earlierFiles) {
            data = base + "/data";
            environment.insert("TOLVANE_DATA_DIR", data);
            QVERIFY(OtherUser::makeFolderOf(data, uid, 0755));
            const QList<QPair<QString, int>> files{
                {"debug.log", 0644}, {"orvdownloader.4.sqlite", 0644}, {"transfers.unfinished", 0666}};
            for (const auto &file : files) {
                const QByteArray path = QFile::encodeName(data + "/" + file.first);
                QFile created(data + "/" + file.first);
                QVERIFY(created.open(QIODevice::WriteOnly));
                created.close();
                QCOMPARE(::chown(path.constData(), uid, uid), 0);
                QCOMPARE(::chmod(path.constData(), mode_t(file.second)), 0);
            }
        }

        QProcess process;
        process.setProcessEnvironment(environment);
        const mode_t mask = ::umask(022);
        const QStringList arguments{"where:", "debug:[main] the operator's own", "database:"};
        if (asOther)
            OtherUser::start(process, uid, bin + "/log_probe", arguments);
        else
            process.start(bin + "/log_probe", arguments);
        ::umask(mask);
        QVERIFY(process.waitForFinished(30000));
        QCOMPARE(process.exitCode(), 0);
        QCOMPARE(QString::fromLocal8Bit(process.readAllStandardOutput()).trimmed(), data);

        QCOMPARE(OtherUser::modeOf(data), 0700);
        QCOMPARE(OtherUser::modeOf(data + "/debug.log"), 0600);
        QCOMPARE(OtherUser::modeOf(data + "/orvdownloader.4.sqlite"), 0600);
        if (earlierFiles)
            QCOMPARE(OtherUser::modeOf(data + "/transfers.unfinished"), 0600);
        QFile log(data + "/debug.log");
        QVERIFY(log.open(QIODevice::ReadOnly));
        QVERIFY(log.readAll().contains("[main] the operator's own\r\n"));
    }
};

TOLVANE_TEST_MAIN(TestAppPaths)
#include "test_app_paths.moc"
