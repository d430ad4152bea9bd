#include "app/LogHandler.h"
#include "support/TestMain.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

#include <sys/mount.h>
#include <unistd.h>

class TestLog : public QObject
{
    Q_OBJECT

private:
    // Runs the probe with its data directory at dir; returns the process.
    QProcess::ExitStatus runProbe(const QString &dir, const QStringList &messages, int *exitCode = nullptr)
    {
        QProcess probe;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert("TOLVANE_DATA_DIR", dir);
        probe.setProcessEnvironment(environment);
        probe.start(TestSupport::builtExecutable("tests/foundation/log_probe"), messages);
        if (!probe.waitForFinished(30000))
            qFatal("log probe did not finish");
        if (exitCode)
            *exitCode = probe.exitCode();
        return probe.exitStatus();
    }

    QByteArray readFile(const QString &path)
    {
        QFile file(path);
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }

    static const QRegularExpression &stamp()
    {
        static const QRegularExpression pattern("^\\[(\\d\\d)/(\\d\\d)/(\\d{4}) (\\d\\d):(\\d\\d):(\\d\\d)\\] ");
        return pattern;
    }

private slots:
    void initTestCase()
    {
        TestSupport::captureLog();
    }

    void formatsEachLevel_data()
    {
        QTest::addColumn<int>("type");
        QTest::addColumn<QString>("expected");
        QTest::newRow("debug") << int(QtDebugMsg) << "[main] Starting QML...\r\n";
        QTest::newRow("info") << int(QtInfoMsg) << "Info: [main] Starting QML...\r\n";
        QTest::newRow("warning") << int(QtWarningMsg) << "Warning: [main] Starting QML...\r\n";
        QTest::newRow("critical") << int(QtCriticalMsg) << "Critical: [main] Starting QML...\r\n";
        QTest::newRow("fatal") << int(QtFatalMsg) << "Fatal: [main] Starting QML...\r\n";
    }

    void formatsEachLevel()
    {
        QFETCH(int, type);
        QFETCH(QString, expected);
        QCOMPARE(formatLogMessage(QtMsgType(type), "[main] Starting QML..."), expected);
    }

    void escapesControlCharacters_data()
    {
        QTest::addColumn<QString>("message");
        QTest::addColumn<QString>("written");
        QTest::newRow("CR LF") << QString("a\r\nb") << QString("a\\r\\nb");
        QTest::newRow("LF alone") << QString("a\nb") << QString("a\\nb");
        QTest::newRow("CR alone") << QString("a\rb") << QString("a\\rb");
        QTest::newRow("tab") << QString("a\tb") << QString("a\\tb");
        QTest::newRow("escape sequence") << QString("a\x1b[2Jb") << QString("a\\x1b[2Jb");
        QTest::newRow("NUL") << QString(QChar(0)) + "b" << QString("\\x00b");
        QTest::newRow("DEL") << QString("a") + QChar(0x7f) << QString("a\\x7f");
        QTest::newRow("next line (C1)") << QString("a") + QChar(0x85) + "b" << QString("a\\x85b");
        QTest::newRow("line separator") << QString("a") + QChar(0x2028) + "b" << QString("a\\u2028b");
        QTest::newRow("paragraph separator") << QString("a") + QChar(0x2029) + "b" << QString("a\\u2029b");
        QTest::newRow("plain text unchanged") << QString::fromUtf8("[DCPXMLReader] Amélie – Ω \"x\" \\")
                                             << QString::fromUtf8("[DCPXMLReader] Amélie – Ω \"x\" \\");
    }

    void escapesControlCharacters()
    {
        QFETCH(QString, message);
        QFETCH(QString, written);
        QCOMPARE(formatLogMessage(QtDebugMsg, message), written + "\r\n");
        QCOMPARE(formatLogMessage(QtWarningMsg, message), "Warning: " + written + "\r\n");
    }

    // A title that carries a line break and a time stamp of its own, logged as it is
    // (without quotes), stays inside its own line.
    void messageCannotForgeALine()
    {
        QTemporaryDir dir;
        const QString title = "Feature\r\n[01/01/2026 00:00:00] [LoginDialog] Network reply error:  HostNotFoundError";
        QCOMPARE(runProbe(dir.path(), {"debug:[DesktopNotifier] Notified: " + title, "debug:[main] next"}),
                 QProcess::NormalExit);
        const QByteArray log = readFile(dir.path() + "/debug.log");
        const QList<QByteArray> lines = log.split('\n');
        QCOMPARE(lines.size(), 3);
        QVERIFY(stamp().match(QString::fromUtf8(lines[0])).hasMatch());
        QVERIFY(lines[0].endsWith("[DesktopNotifier] Notified: Feature\\r\\n[01/01/2026 00:00:00] [LoginDialog] Network "
                                  "reply error:  HostNotFoundError\r"));
        QVERIFY(lines[1].endsWith("] [main] next\r"));
        QCOMPARE(log.count("[LoginDialog]"), 1);
    }

    void writesExactLinesWithUtcStamp()
    {
        QTemporaryDir dir;
        const QDateTime before = QDateTime::currentDateTimeUtc().addSecs(-1);
        QCOMPARE(runProbe(dir.path(), {"debug:[main] Starting QML...", "warning:[DownloadManager] Stalled"}), QProcess::NormalExit);
        const QDateTime after = QDateTime::currentDateTimeUtc().addSecs(1);

        const QByteArray log = readFile(dir.path() + "/debug.log");
        const QList<QByteArray> lines = log.split('\n');
        QCOMPARE(lines.size(), 3); // two lines and the empty rest after the last "\n"
        QVERIFY(lines[2].isEmpty());

        const QByteArray expectedTexts[] = {"[main] Starting QML...\r", "Warning: [DownloadManager] Stalled\r"};
        for (int i = 0; i < 2; ++i) {
            const QString line = QString::fromUtf8(lines[i]);
            const QRegularExpressionMatch match = stamp().match(line);
            QVERIFY2(match.hasMatch(), qPrintable(line));
            const QDateTime stamped = QDateTime::fromString(match.captured(0).trimmed(), "[dd/MM/yyyy hh:mm:ss]");
            QVERIFY(stamped.isValid());
            QDateTime utc = stamped;
            utc.setTimeSpec(Qt::UTC);
            QVERIFY2(utc >= before && utc <= after, qPrintable(line));
            QCOMPARE(lines[i].mid(match.capturedLength()), expectedTexts[i]);
        }
    }

    void appendsAcrossRuns()
    {
        QTemporaryDir dir;
        runProbe(dir.path(), {"debug:first run"});
        runProbe(dir.path(), {"debug:second run"});
        const QByteArray log = readFile(dir.path() + "/debug.log");
        QCOMPARE(log.count("\r\n"), 2);
        QVERIFY(log.indexOf("first run\r\n") >= 0);
        QVERIFY(log.indexOf("first run\r\n") < log.indexOf("second run\r\n"));
    }

    void keepsNonAsciiText()
    {
        QTemporaryDir dir;
        runProbe(dir.path(), {QString::fromUtf8("debug:[DCPXMLReader] Amélie – Ω")});
        QVERIFY(readFile(dir.path() + "/debug.log").contains(QString::fromUtf8("[DCPXMLReader] Amélie – Ω\r\n").toUtf8()));
    }

    void missingDirectoryLosesMessagesQuietly()
    {
        QTemporaryDir dir;
        const QString missing = dir.path() + "/not-there";
        int exitCode = -1;
        QCOMPARE(runProbe(missing, {"debug:lost", "warning:lost too"}, &exitCode), QProcess::NormalExit);
        QCOMPARE(exitCode, 0);
        QVERIFY(!QFileInfo::exists(missing));
    }

    void unopenableLogFileLosesMessagesQuietly()
    {
        QTemporaryDir dir;
        QVERIFY(QDir(dir.path()).mkdir("debug.log")); // a directory where the file should be
        int exitCode = -1;
        QCOMPARE(runProbe(dir.path(), {"debug:lost"}, &exitCode), QProcess::NormalExit);
        QCOMPARE(exitCode, 0);
        QVERIFY(QFileInfo(dir.path() + "/debug.log").isDir());
    }

    void readOnlyDirectoryLosesMessagesQuietly()
    {
        QTemporaryDir dir;
        const QString readOnly = dir.path() + "/ro";
        QVERIFY(QDir().mkpath(readOnly));
        bool mounted = false;
        if (geteuid() == 0) {
            // Root writes through permission bits; a read-only mount stops it.
            mounted = mount("tolvane-ro", readOnly.toLocal8Bit().constData(), "tmpfs", MS_RDONLY, nullptr) == 0;
            if (!mounted)
                QSKIP("cannot mount a read-only file system here");
        } else {
            QVERIFY(QFile::setPermissions(readOnly, QFile::ReadOwner | QFile::ExeOwner));
        }
        int exitCode = -1;
        const QProcess::ExitStatus status = runProbe(readOnly, {"debug:lost"}, &exitCode);
        const bool created = QFileInfo::exists(readOnly + "/debug.log");
        if (mounted)
            umount(readOnly.toLocal8Bit().constData());
        QCOMPARE(status, QProcess::NormalExit);
        QCOMPARE(exitCode, 0);
        QVERIFY(!created);
    }

    void fatalIsWrittenBeforeAbort()
    {
        QTemporaryDir dir;
        QCOMPARE(runProbe(dir.path(), {"debug:before", "fatal:[main] cannot go on", "debug:never"}), QProcess::CrashExit);
        const QByteArray log = readFile(dir.path() + "/debug.log");
        QVERIFY(log.contains("] Fatal: [main] cannot go on\r\n"));
        QVERIFY(!log.contains("never"));
    }
};

TOLVANE_TEST_MAIN(TestLog)
#include "test_log.moc"
