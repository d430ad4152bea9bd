#include "download/FileDoesNotExistException.h"
#include "download/FileManager.h"
#include "download/Platform.h"
#include "support/TestMain.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#include <cerrno>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>

namespace {

void writeFile(const QString &path, const QByteArray &content)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        qFatal("cannot write %s", qPrintable(path));
    file.write(content);
}

bool run(const QString &program, const QStringList &arguments)
{
    QProcess process;
    process.start(program, arguments);
    return process.waitForFinished(60000) && process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
}

}

class TestFileManager : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;

    QString path(const QString &name) const { return m_dir.path() + "/" + name; }

private slots:
    void initTestCase()
    {
        TestSupport::captureLog();
    }

    void openFileExistingWithoutCreateKeepsAttributes()
    {
        writeFile(path("existing.mxf"), "abc");
        QScopedPointer<QFile> file(FileManager::openFile(path("existing.mxf"), false, true));
        QVERIFY(file);
        QVERIFY(!FileManager::isHidden(path("existing.mxf")));
        // Opened for appending: a write lands at the end.
        QCOMPARE(file->write("def"), qint64(3));
        file->close();
        QFile check(path("existing.mxf"));
        QVERIFY(check.open(QIODevice::ReadOnly));
        QCOMPARE(check.readAll(), QByteArray("abcdef"));
    }

    void openFileMissingWithoutCreateFails()
    {
        QVERIFY(!FileManager::openFile(path("missing.mxf"), false, true));
        QVERIFY(!QFile::exists(path("missing.mxf")));
        QVERIFY(TestSupport::readLog().contains(
            QString("[FileManager] directory does not exist:  \"%1\"\r\n").arg(path("missing.mxf")).toUtf8()));
    }

    void openFileCreatesDirectoriesAndHidesNewFile()
    {
        const QString target = path("a/b/c/picture.mxf");
        QScopedPointer<QFile> file(FileManager::openFile(target, true, true));
        QVERIFY(file);
        QVERIFY(file->isOpen());
        QVERIFY(QFile::exists(target));
        QVERIFY(FileManager::isHidden(target));
        QVERIFY(TestSupport::readLog().contains(QString("[Filemanager] Hiding  \"%1\"").arg(target).toUtf8()));
    }

    void openFileWhoseDirectoryCannotBeMadeFails()
    {
        writeFile(path("blocker"), "a file where a directory should be");
        QVERIFY(!FileManager::openFile(path("blocker/sub/file.mxf"), true, true));
        QVERIFY(TestSupport::readLog().contains(
            QString("[FileManager] cannot create directory:  \"%1\"").arg(path("blocker/sub")).toUtf8()));
    }

    void hideAndUnhideRoundTrip()
    {
        const QString file = path("round.mxf");
        writeFile(file, "x");
        QVERIFY(!FileManager::isHidden(file));
        QVERIFY(FileManager::unhideFile(file)); // visible already: nothing written
        QVERIFY(!TestSupport::readLog().contains(QString("Unhiding  \"%1\"").arg(file).toUtf8()));
        QVERIFY(FileManager::hideFile(file));
        QVERIFY(FileManager::isHidden(file));
        const int hidingLines = TestSupport::readLog().count(QString("Hiding  \"%1\"").arg(file).toUtf8());
        QCOMPARE(hidingLines, 1);
        QVERIFY(FileManager::hideFile(file)); // hidden already: no second "Hiding"
        QCOMPARE(TestSupport::readLog().count(QString("Hiding  \"%1\"").arg(file).toUtf8()), 1);
        QVERIFY(FileManager::unhideFile(file));
        QVERIFY(!FileManager::isHidden(file));
        QVERIFY(TestSupport::readLog().contains(QString("[Filemanager] Unhiding  \"%1\"").arg(file).toUtf8()));
    }

    void hiddenFlagSurvivesReopenFromAnotherProcess()
    {
        const QString file = path("persist.mxf");
        writeFile(file, "x");
        QVERIFY(FileManager::hideFile(file));
        // Another program (as after a restart) sees the attribute on the file itself.
        QProcess getfattr;
        getfattr.start("getfattr", {"--only-values", "-n", "user.tolvane.hidden", file});
        if (!getfattr.waitForFinished(10000) || getfattr.error() == QProcess::FailedToStart)
            QSKIP("getfattr is not installed");
        QCOMPARE(getfattr.readAllStandardOutput(), QByteArray("1"));
    }

    void hideFailsOnFileSystemWithoutAttributes()
    {
        if (geteuid() != 0)
            QSKIP("mounting a file system without extended attributes needs root");
        const QString mountPoint = path("ramfs");
        QVERIFY(QDir().mkpath(mountPoint));
        if (mount("tolvane-ramfs", mountPoint.toLocal8Bit().constData(), "ramfs", 0, nullptr) != 0)
            QSKIP("ramfs cannot be mounted here");
        const QString file = mountPoint + "/plain.mxf";
        writeFile(file, "x");
        const bool hidden = FileManager::hideFile(file);
        const bool unhidden = FileManager::unhideFile(file);
        QScopedPointer<QFile> opened(FileManager::openFile(mountPoint + "/new.mxf", true, true));
        const bool openedAnyway = !opened.isNull();
        opened.reset();
        umount2(mountPoint.toLocal8Bit().constData(), MNT_DETACH);
        QVERIFY(!hidden);
        QVERIFY(!unhidden);
        QVERIFY(openedAnyway); // the file still opens; only the attribute is missing
        QVERIFY(TestSupport::readLog().contains("[Filemanager] GetFileAttributes() failed: 95\r\n"));
    }

    void hiddenBitOnRealNtfs()
    {
        if (geteuid() != 0 || QStandardPaths::findExecutable("mkntfs", {"/usr/sbin", "/sbin"}).isEmpty()
            || QStandardPaths::findExecutable("ntfs-3g", {"/usr/bin", "/bin"}).isEmpty() || !QFile::exists("/dev/fuse"))
            QSKIP("ntfs-3g, mkntfs, root and /dev/fuse are needed for the NTFS test");
        const QString image = path("ntfs.img");
        const QString mountPoint = path("ntfs");
        QVERIFY(QDir().mkpath(mountPoint));
        QVERIFY(run("truncate", {"-s", "32M", image}));
        QVERIFY(run(QStandardPaths::findExecutable("mkntfs", {"/usr/sbin", "/sbin"}), {"-F", "-q", "-f", image}));
        QVERIFY(run("ntfs-3g", {image, mountPoint}));
        const QString file = mountPoint + "/reel1.mxf";
        QScopedPointer<QFile> created(FileManager::openFile(file, true, true));
        QVERIFY(created);
        created.reset();
        QVERIFY(FileManager::isHidden(file));
        QVERIFY(!FileManager::isFatFileSystem(file));

        // The real NTFS attribute word carries the hidden bit (0x2) next to archive (0x20).
        auto attributeWord = [&]() {
            QProcess getfattr;
            getfattr.start("getfattr", {"--only-values", "-n", "system.ntfs_attrib_be", file});
            getfattr.waitForFinished(10000);
            const QByteArray word = getfattr.readAllStandardOutput();
            return word.size() == 4 ? quint32(quint8(word[0])) << 24 | quint32(quint8(word[1])) << 16
                    | quint32(quint8(word[2])) << 8 | quint32(quint8(word[3]))
                                    : quint32(0xffffffff);
        };
        QCOMPARE(attributeWord(), quint32(0x22));

        // Survives unmount and remount, as on a drive carried to the ingest station.
        QVERIFY(run("umount", {mountPoint}));
        QVERIFY(run("ntfs-3g", {image, mountPoint}));
        QVERIFY(FileManager::isHidden(file));
        QVERIFY(FileManager::unhideFile(file));
        QCOMPARE(attributeWord(), quint32(0x20));
        QVERIFY(run("umount", {mountPoint}));
    }

    void sha1OfEmptyFile()
    {
        writeFile(path("empty"), QByteArray());
        const QByteArray digest = FileManager::getFileSHA1(path("empty"));
        QCOMPARE(digest.size(), 20);
        QCOMPARE(digest.toHex(), QByteArray("da39a3ee5e6b4b0d3255bfef95601890afd80709"));
    }

    void sha1MatchesReferenceAcrossReadBoundaries_data()
    {
        QTest::addColumn<int>("size");
        QTest::newRow("one byte") << 1;
        QTest::newRow("one block") << 64;
        QTest::newRow("just over one read") << 4 * 1024 * 1024 + 17;
        QTest::newRow("several reads") << 13 * 1024 * 1024 + 5;
    }

    void sha1MatchesReferenceAcrossReadBoundaries()
    {
        QFETCH(int, size);
        QByteArray content(size, Qt::Uninitialized);
        QRandomGenerator generator{quint32(size)};
        for (int i = 0; i < size; ++i)
            content[i] = char(generator.generate() & 0xff);
        writeFile(path("random"), content);
        QCOMPARE(FileManager::getFileSHA1(path("random")), QCryptographicHash::hash(content, QCryptographicHash::Sha1));
    }

    void sha1OfMissingFileThrows()
    {
        try {
            FileManager::getFileSHA1(path("nothing-here"));
            QFAIL("hashing a missing file succeeded");
        } catch (const FileDoesNotExistException &error) {
            QCOMPARE(QString(error.what()), QString("File does not exist for SHA1"));
        }
        QVERIFY(TestSupport::readLog().contains("[FileManager] getFileSHA1 does not exist: "));
    }

    void sha1OfUnreadableFileThrows()
    {
        QVERIFY(QDir().mkpath(path("a-directory")));
        try {
            FileManager::getFileSHA1(path("a-directory"));
            QFAIL("hashing a directory succeeded");
        } catch (const FileDoesNotExistException &error) {
            QCOMPARE(QString(error.what()), QString("Unable to open file for SHA1"));
        }
        QVERIFY(TestSupport::readLog().contains("[FileManager] getFileSHA1 could not open: "));
    }

    void undottedPath_data()
    {
        QTest::addColumn<QString>("input");
        QTest::addColumn<QString>("expected");
        QTest::newRow("dotted last component") << "/media/usb/.Feature_FTR" << "/media/usb/Feature_FTR";
        QTest::newRow("plain") << "/media/usb/Feature_FTR" << "/media/usb/Feature_FTR";
        QTest::newRow("dot inside") << "/media/usb/Feature.FTR" << "/media/usb/Feature.FTR";
        QTest::newRow("dotted parent only") << "/media/.usb/Feature" << "/media/.usb/Feature";
    }

    void undottedPath()
    {
        QFETCH(QString, input);
        QFETCH(QString, expected);
        QCOMPARE(FileManager::undottedPath(input), expected);
    }

    void simpleQueries()
    {
        writeFile(path("sized"), QByteArray(1234, 'z'));
        QCOMPARE(FileManager::fileSize(path("sized")), quint64(1234));
        QCOMPARE(FileManager::fileSize(path("absent")), quint64(0));
        QVERIFY(FileManager::fileExists(path("sized")));
        QVERIFY(FileManager::fileExists(m_dir.path()));
        QVERIFY(FileManager::dirExists(m_dir.path()));
        QVERIFY(!FileManager::dirExists(path("absent")));
        QCOMPARE(FileManager::fileName(path("sized")), QString("sized"));
        QVERIFY(FileManager::makePath(path("x/y/z")));
        QVERIFY(FileManager::dirExists(path("x/y/z")));
        QVERIFY(FileManager::removeFile(path("sized")));
        QVERIFY(!FileManager::removeFile(path("sized")));
    }

    // The helpers behind durable downloads: a replaced file holds the new content whole and
    // leaves no temporary file behind; a cut keeps exactly the first bytes; a sync of a file
    // that is not there reports why.
    void durableFileHelpers()
    {
        const QString marker = path("durable/marker");
        QDir().mkpath(path("durable"));
        QVERIFY(FileManager::writeFileDurably(marker, "first"));
        QVERIFY(FileManager::writeFileDurably(marker, "second, longer"));
        QCOMPARE(QDir(path("durable")).entryList(QDir::Files), QStringList{"marker"});
        QFile read(marker);
        QVERIFY(read.open(QIODevice::ReadOnly));
        QCOMPARE(read.readAll(), QByteArray("second, longer"));
        read.close();
        QVERIFY(!FileManager::writeFileDurably(path("no/such/folder/marker"), "x"));

        int error = 0;
        QVERIFY(FileManager::syncFile(marker, &error));
        QVERIFY(FileManager::truncateFile(marker, 6));
        QCOMPARE(FileManager::fileSize(marker), quint64(6));
        QVERIFY(FileManager::removeFileDurably(marker));
        QVERIFY(!QFileInfo::exists(marker));
        QVERIFY(FileManager::removeFileDurably(marker)); // already gone is fine
        QVERIFY(!FileManager::syncFile(marker, &error));
        QCOMPARE(error, ENOENT);
    }

    // Each helper on a name that is a symbolic link: planted in a destination other accounts
    // can write to, it points at a file of the operator's, or at nothing (where the helper
    // would create a file of its own). The helper never reaches through it.
    void linksAreNeverFollowed_data()
    {
        QTest::addColumn<QString>("helper");
        QTest::addColumn<bool>("dangling");
        for (const char *helper : {"openFile", "openFile below a root", "createFile", "truncateFile", "syncFile",
                                   "getFileSHA1", "fileSize", "hideFile", "unhideFile", "removeFile"}) {
            QTest::newRow(qPrintable(QString("%1, link to a file").arg(helper))) << QString(helper) << false;
            QTest::newRow(qPrintable(QString("%1, dangling link").arg(helper))) << QString(helper) << true;
        }
    }

    void linksAreNeverFollowed()
    {
        QFETCH(QString, helper);
        QFETCH(bool, dangling);
        static int round = 0;
        const QString folder = path(QString("links-%1").arg(++round));
        const QString mine = folder + "/operator/notes.txt";
        const QString nowhere = folder + "/operator/made-through-the-link";
        const QString root = folder + "/destination";
        QVERIFY(QDir().mkpath(folder + "/operator"));
        QVERIFY(QDir().mkpath(root + "/Title"));
        writeFile(mine, "forty bytes of the operator's own notes.");
        QVERIFY(FileManager::hideFile(mine) && FileManager::unhideFile(mine));
        const QString link = root + "/Title/sound.mxf";
        QVERIFY(QFile::link(dangling ? nowhere : mine, link));

        bool refused = false;
        if (helper == "openFile") {
            QScopedPointer<QFile> file(FileManager::openFile(link, true, true));
            refused = file.isNull();
        } else if (helper == "openFile below a root") {
            QScopedPointer<QFile> file(FileManager::openFile(root, link, true, true));
            refused = file.isNull();
        } else if (helper == "createFile") {
            refused = FileManager::createFile(root, link, "x") == FileManager::Created::AlreadyThere;
        } else if (helper == "truncateFile") {
            refused = !FileManager::truncateFile(link, 0);
        } else if (helper == "syncFile") {
            int error = 0;
            refused = !FileManager::syncFile(link, &error);
        } else if (helper == "getFileSHA1") {
            try {
                FileManager::getFileSHA1(link);
            } catch (const FileDoesNotExistException &) {
                refused = true;
            }
        } else if (helper == "fileSize") {
            refused = FileManager::fileSize(link) == 0 && FileManager::fileExists(link) && !FileManager::isRegularFile(link);
        } else if (helper == "hideFile") {
            FileManager::hideFile(link);
            refused = !FileManager::isHidden(mine);
        } else if (helper == "unhideFile") {
            if (!dangling)
                QVERIFY(FileManager::hideFile(mine));
            FileManager::unhideFile(link);
            refused = dangling || FileManager::isHidden(mine);
        } else if (helper == "removeFile") {
            refused = FileManager::removeFile(link) && !QFileInfo(link).isSymLink();
        }
        QVERIFY(refused);
        QCOMPARE(readAllOf(mine), QByteArray("forty bytes of the operator's own notes."));
        QVERIFY(!QFileInfo::exists(nowhere));
        if (helper != "removeFile")
            QCOMPARE(QFileInfo(link).symLinkTarget(), QFileInfo(dangling ? nowhere : mine).absoluteFilePath());
    }

    // A folder on the way that is a link: nothing is created or opened below it.
    void folderLinkBelowTheRootIsNotFollowed()
    {
        const QString root = path("folder-link/destination");
        const QString elsewhere = path("folder-link/operator");
        QVERIFY(QDir().mkpath(root));
        QVERIFY(QDir().mkpath(elsewhere));
        QVERIFY(QFile::link(elsewhere, root + "/Title"));
        QScopedPointer<QFile> file(FileManager::openFile(root, root + "/Title/sub/picture.mxf", true, true));
        QVERIFY(file.isNull());
        QCOMPARE(FileManager::createFile(root, root + "/Title/CPL.xml", "x"), FileManager::Created::Failed);
        QVERIFY(QDir(elsewhere).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden).isEmpty());
        QCOMPARE(FileManager::entryInTheWay(root, root + "/Title/sub/picture.mxf"), root + "/Title");
        QCOMPARE(FileManager::entryInTheWay(root, root + "/Other/picture.mxf"), QString());
        QVERIFY(TestSupport::readLog().contains(
            QString("[FileManager] not a folder (a symbolic link?): \"%1\"").arg(root + "/Title").toUtf8()));
        // The same path without the link is created, hidden, with its folders.
        QVERIFY(QFile::remove(root + "/Title"));
        file.reset(FileManager::openFile(root, root + "/Title/sub/picture.mxf", true, true));
        QVERIFY(file);
        QVERIFY(FileManager::isHidden(root + "/Title/sub/picture.mxf"));
    }

    // The durable replacement is its owner's alone and never written through a link left
    // under its temporary name.
    void durableReplacementIsPrivate()
    {
        const QString marker = path("private/marker");
        const QString elsewhere = path("private/elsewhere");
        QDir().mkpath(path("private"));
        writeFile(elsewhere, "not the marker");
        QVERIFY(QFile::link(elsewhere, marker + ".new"));
        const mode_t before = ::umask(0);
        const bool written = FileManager::writeFileDurably(marker, "content");
        ::umask(before);
        QVERIFY(written);
        struct stat status {};
        QCOMPARE(::lstat(QFile::encodeName(marker).constData(), &status), 0);
        QVERIFY(S_ISREG(status.st_mode));
        QCOMPARE(int(status.st_mode & 07777), 0600);
        QCOMPARE(readAllOf(elsewhere), QByteArray("not the marker"));
        QCOMPARE(readAllOf(marker), QByteArray("content"));
    }

private:
    static QByteArray readAllOf(const QString &path)
    {
        QFile file(path);
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }
};

TOLVANE_TEST_MAIN(TestFileManager)
#include "test_file_manager.moc"
