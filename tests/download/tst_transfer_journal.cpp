// The marker of the engine's durable points, read at the start after an unclean end: only
// lengths this version wrote, as whole byte counts, cut a file; anything else leaves the
// file as it is for verification to judge. A file whose transfer stopped durably leaves the
// marker, so the marker holds only the files being written.

#include "download/Platform.h"
#include "download/TransferJournal.h"

#include "support/TestMain.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QtTest>

#include <sys/stat.h>
#include <unistd.h>

namespace {

const qint64 kFileSize = 1000;

bool writeFile(const QString &path, const QByteArray &content)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(content) == content.size();
}

bool everyFile(const QString &)
{
    return true;
}

QJsonObject readJson(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QJsonObject();
    return QJsonDocument::fromJson(file.readAll()).object();
}

}

class TestTransferJournal : public QObject
{
    Q_OBJECT

private:
    int caseNumber = 0;

    // A fresh folder with a 1000-byte file in it.
    QString newCase(QString *filePath)
    {
        const QString dir = TestSupport::dataDir() + QString("/case-%1").arg(++caseNumber);
        QDir().mkpath(dir);
        *filePath = dir + "/picture.mxf";
        writeFile(*filePath, QByteArray(int(kFileSize), 'p'));
        return dir;
    }

private slots:
    void initTestCase()
    {
        TestSupport::captureLog();
    }

    // The power went (another start of the system): which recorded lengths cut the file.
    void recordedLengthAfterAPowerCut_data()
    {
        QTest::addColumn<QByteArray>("marker"); // %1 stands for the file's path
        QTest::addColumn<qint64>("sizeAfter");
        QTest::addColumn<QByteArray>("logLine");
        const QByteArray skipped = "Skipping an unreadable length";
        const QByteArray unknown = "of an unknown version; no file is cut";
        const QByteArray cut = "Cut back to what reached the disk";
        QTest::newRow("a whole length") << QByteArray(R"({"version":2,"boot_id":"before","files":{"%1":400}})")
                                        << qint64(400) << cut;
        QTest::newRow("zero") << QByteArray(R"({"version":2,"boot_id":"before","files":{"%1":0}})") << qint64(0)
                              << cut;
        QTest::newRow("a text") << QByteArray(R"({"version":2,"boot_id":"before","files":{"%1":"400"}})")
                                << kFileSize << skipped;
        QTest::newRow("a boolean") << QByteArray(R"({"version":2,"boot_id":"before","files":{"%1":true}})")
                                   << kFileSize << skipped;
        QTest::newRow("null") << QByteArray(R"({"version":2,"boot_id":"before","files":{"%1":null}})") << kFileSize
                              << skipped;
        QTest::newRow("negative") << QByteArray(R"({"version":2,"boot_id":"before","files":{"%1":-5}})")
                                  << kFileSize << skipped;
        QTest::newRow("a fraction") << QByteArray(R"({"version":2,"boot_id":"before","files":{"%1":12.5}})")
                                    << kFileSize << skipped;
        QTest::newRow("past 2^53") << QByteArray(R"({"version":2,"boot_id":"before","files":{"%1":1e300}})")
                                   << kFileSize << skipped;
        QTest::newRow("no version") << QByteArray(R"({"boot_id":"before","files":{"%1":400}})") << kFileSize
                                    << unknown;
        QTest::newRow("an older version") << QByteArray(R"({"version":1,"boot_id":"before","files":{"%1":400}})")
                                          << kFileSize << unknown;
        QTest::newRow("the version as text")
            << QByteArray(R"({"version":"2","boot_id":"before","files":{"%1":400}})") << kFileSize << unknown;
        QTest::newRow("damaged") << QByteArray(R"({"version":2,"boot_id":"before","files":{"%1":4)") << kFileSize
                                 << unknown;
    }

    void recordedLengthAfterAPowerCut()
    {
        QFETCH(QByteArray, marker);
        QFETCH(qint64, sizeAfter);
        QFETCH(QByteArray, logLine);
        QString filePath;
        const QString dir = newCase(&filePath);
        const QString markerPath = dir + "/transfers.unfinished";
        QVERIFY(writeFile(markerPath, marker.replace("%1", filePath.toUtf8())));
        const qsizetype logBefore = TestSupport::readLog().size();

        TransferJournal journal(markerPath);
        const int cut = journal.recover(everyFile);
        QVERIFY(journal.lastRunEndedUncleanly());
        QCOMPARE(QFileInfo(filePath).size(), sizeAfter);
        QCOMPARE(cut, sizeAfter < kFileSize ? 1 : 0);
        QCOMPARE(journal.cutPaths(), sizeAfter < kFileSize ? QStringList{filePath} : QStringList());
        QVERIFY2(TestSupport::readLog().mid(logBefore).contains(logLine), logLine.constData());
    }

    // Only the program stopped: the system still holds every byte, nothing is cut.
    void programStoppedOnThisStartOfTheSystem()
    {
        QString filePath;
        const QString dir = newCase(&filePath);
        const QString markerPath = dir + "/transfers.unfinished";
        const QJsonObject marker{{"version", 2}, {"boot_id", Platform::bootId()}, {"files", QJsonObject{{filePath, 400}}}};
        QVERIFY(writeFile(markerPath, QJsonDocument(marker).toJson()));
        TransferJournal journal(markerPath);
        QCOMPARE(journal.recover(everyFile), 0);
        QVERIFY(journal.lastRunEndedUncleanly());
        QCOMPARE(QFileInfo(filePath).size(), kFileSize);
    }

    // The marker holds the files being written, not every file of the run, and says which
    // version wrote it; a clean end removes it.
    void stoppedTransfersLeaveTheMarker()
    {
        QString filePath;
        const QString dir = newCase(&filePath);
        const QString markerPath = dir + "/transfers.unfinished";
        TransferJournal journal(markerPath);
        QCOMPARE(journal.recover(everyFile), 0);
        QVERIFY(!journal.lastRunEndedUncleanly());
        QVERIFY(journal.begin());
        journal.recordDurable(dir + "/a.mxf", 10);
        journal.recordDurable(dir + "/b.mxf", 20);
        journal.forget(dir + "/a.mxf");
        const QJsonObject content = readJson(markerPath);
        QCOMPARE(content.value("version").toInt(), 2);
        QCOMPARE(content.value("files").toObject(), (QJsonObject{{dir + "/b.mxf", 20}}));
        // Recorded again when its next transfer starts.
        journal.recordDurable(dir + "/a.mxf", 10);
        QCOMPARE(readJson(markerPath).value("files").toObject().value(dir + "/a.mxf").toInt(), 10);
        journal.end();
        QVERIFY(!QFileInfo::exists(markerPath));
    }

    // A marker names any path it likes: only files of the catalogue's assets are cut.
    void onlyFilesOfTheCatalogueAreCut()
    {
        QString filePath;
        const QString dir = newCase(&filePath);
        const QString operatorFile = dir + "/notes.txt";
        QVERIFY(writeFile(operatorFile, QByteArray(int(kFileSize), 'n')));
        const QString markerPath = dir + "/transfers.unfinished";
        const QJsonObject marker{{"version", 2},
                                 {"boot_id", "before"},
                                 {"files", QJsonObject{{filePath, 400}, {operatorFile, 0}}}};
        QVERIFY(writeFile(markerPath, QJsonDocument(marker).toJson()));
        TransferJournal journal(markerPath);
        QCOMPARE(journal.recover([&filePath](const QString &path) { return path == filePath; }), 1);
        QCOMPARE(journal.cutPaths(), QStringList{filePath});
        QCOMPARE(QFileInfo(filePath).size(), qint64(400));
        QCOMPARE(QFileInfo(operatorFile).size(), kFileSize);
        QVERIFY(TestSupport::readLog().contains(
            QString("Not a file of the catalogue, left as it is: \"%1\"").arg(operatorFile).toUtf8()));
    }

    void markerOthersCouldHaveWrittenIsIgnored_data()
    {
        QTest::addColumn<QString>("how");
        QTest::newRow("writable by every user") << "mode 0666";
        QTest::newRow("writable by the group") << "mode 0620";
        QTest::newRow("owned by another user") << "owner";
        QTest::newRow("a symbolic link to a marker") << "link";
    }

    void markerOthersCouldHaveWrittenIsIgnored()
    {
        QFETCH(QString, how);
        QString filePath;
        const QString dir = newCase(&filePath);
        const QString markerPath = dir + "/transfers.unfinished";
        const QByteArray content = QJsonDocument(QJsonObject{{"version", 2},
                                                             {"boot_id", "before"},
                                                             {"files", QJsonObject{{filePath, 0}}}})
                                       .toJson();
        if (how == "link") {
            QVERIFY(writeFile(dir + "/elsewhere", content));
            QVERIFY(QFile::link(dir + "/elsewhere", markerPath));
        } else {
            QVERIFY(writeFile(markerPath, content));
            const QByteArray native = QFile::encodeName(markerPath);
            if (how == "owner") {
                if (::geteuid() != 0)
                    QSKIP("giving the marker to another user needs root");
                QCOMPARE(::chown(native.constData(), 4242, 4242), 0);
                QCOMPARE(::chmod(native.constData(), 0600), 0);
            } else {
                QCOMPARE(::chmod(native.constData(), how == "mode 0666" ? 0666 : 0620), 0);
            }
        }
        TransferJournal journal(markerPath);
        QCOMPARE(journal.recover(everyFile), 0);
        QCOMPARE(QFileInfo(filePath).size(), kFileSize);
        QVERIFY(journal.cutPaths().isEmpty());
        if (how != "link") {
            QVERIFY(!journal.lastRunEndedUncleanly());
            QVERIFY(TestSupport::readLog().contains(
                QString("Ignoring the marker of the last run: it is not this user's own, or others may write it: \"%1\"")
                    .arg(markerPath)
                    .toUtf8()));
        }
    }

    // The marker is its owner's alone, whatever the process's file mode mask.
    void markerIsPrivate()
    {
        QString filePath;
        const QString dir = newCase(&filePath);
        const QString markerPath = dir + "/transfers.unfinished";
        const mode_t mask = ::umask(0);
        TransferJournal journal(markerPath);
        const bool begun = journal.begin();
        journal.recordDurable(filePath, 10);
        ::umask(mask);
        QVERIFY(begun);
        struct stat status {};
        QCOMPARE(::lstat(QFile::encodeName(markerPath).constData(), &status), 0);
        QCOMPARE(int(status.st_mode & 07777), 0600);
        journal.end();
    }
};

TOLVANE_TEST_MAIN(TestTransferJournal)
#include "tst_transfer_journal.moc"
