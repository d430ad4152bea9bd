// Destinations that cannot take the download: a drive too small for the asset, a drive that
// fills up in the middle of a file (a small tmpfs mounted by the test, which needs root),
// a destination folder that is no longer a folder, a download folder that has gone, a drive
// whose free space cannot be read and a write that fails for another reason than a full disk;
// and a server that sends more than the asset's listed size.

#include "DownloadFixture.h"

#include "catalogue/Setting.h"
#include "download/DownloadManager.h"
#include "download/SetAsideDcps.h"
#include "import/DCPXMLReader.h"
#include "portal/NotificationManager.h"
#include "support/ScriptedUserInteraction.h"
#include "support/TestMain.h"

#include <QProcess>
#include <QSignalSpy>
#include <QThread>
#include <QtTest>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

using namespace DownloadFixture;

namespace {

const QString kDiskText = "Not enough disk space";
const QString kDiskInformative = "You have ran out of disk space so we paused your download.\r\n\r\nPlease free up some "
                                 "space and hit the resume button once you're ready.";
const QString kWriteText = "Unable to write the download";
// The size the test's tmpfs is mounted with, all of it free while the volume is empty.
const quint64 kTinyBytes = 3 * 1024 * 1024;

// Writes zeros into path until the file system is full.
bool fillUp(const QString &path)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0)
        return false;
    char block[4096] = {};
    for (;;) {
        const ssize_t n = ::write(fd, block, sizeof block);
        if (n <= 0)
            break;
    }
    // Fill the last partial page too.
    while (::write(fd, block, 1) == 1) {
    }
    const bool full = errno == ENOSPC;
    ::close(fd);
    return full;
}

}

class TestDownloadDisk : public QObject
{
    Q_OBJECT

private:
    PortalStandin standin;
    ScriptedUserInteraction *ui = nullptr;
    DownloadManager *manager = nullptr;
    QString tiny;
    bool mounted = false;

    void clearTiny()
    {
        if (!mounted)
            return;
        for (const QFileInfo &entry : QDir(tiny).entryInfoList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden)) {
            if (entry.isDir() && !entry.isSymLink())
                QDir(entry.absoluteFilePath()).removeRecursively();
            else
                QFile::remove(entry.absoluteFilePath());
        }
    }

    // Downloads run (again) from this DCP on.
    void startWith(DCP *dcp)
    {
        manager->startDownloading(dcp);
    }

    void checkWriteBox(const UserInteraction::Message &m, const QString &mentioned)
    {
        QCOMPARE(int(m.icon), int(UserInteraction::Icon::Critical));
        QCOMPARE(m.text, kWriteText);
        QVERIFY2(m.informativeText.contains(mentioned), qPrintable(m.informativeText));
        QVERIFY(m.informativeText.endsWith("hit the resume button once you're ready."));
        QCOMPARE(m.buttons, UserInteraction::Buttons(UserInteraction::Ok));
    }

    void checkDiskBox(const UserInteraction::Message &m)
    {
        QCOMPARE(int(m.icon), int(UserInteraction::Icon::Critical));
        QCOMPARE(m.text, kDiskText);
        QCOMPARE(m.informativeText, kDiskInformative);
        QCOMPARE(m.buttons, UserInteraction::Buttons(UserInteraction::Ok));
    }

private slots:
    void initTestCase()
    {
        TestSupport::captureLog();
        ui = new ScriptedUserInteraction();
        QVERIFY(standin.start());
        standin.setAssetRoot(sourceRoot().toStdString());
        qputenv("TOLVANE_NOTIFICATION_URL", QByteArray::fromStdString(standin.baseUrl()));
        NotificationManager::instance()->setConsumerInterval(50);
        manager = DownloadManager::instance();
        manager->timeoutInterval = 1500;

        tiny = TestSupport::dataDir() + "/tiny";
        QDir().mkpath(tiny);
        mounted = QProcess::execute("mount", {"-t", "tmpfs", "-o", "size=3m", "tmpfs", tiny}) == 0;
    }

    void cleanup()
    {
        standin.clearAssetFaults();
        ui->messages.clear();
        ui->buttonAnswers.clear();
        ui->holdMs = 0;
        ui->mostOpenAtOnce = 0;
        manager->timeoutInterval = 1500;
    }

    // An asset larger than the free space is not started: its DCP is set aside with the
    // drive named, the box is shown once, and the downloads are not paused.
    void assetLargerThanFreeSpaceIsRefused()
    {
        if (!mounted)
            QSKIP("mounting a tmpfs needs root");
        const GeneratedDcp generated = generate("Too_Large", 1, 6000000, 901);
        DCP *dcp = buildDcp(standin, generated, 9901, tiny);
        QSignalSpy paused(manager, &DownloadManager::downloadPaused);
        store(dcp);
        QCOMPARE(ui->messages.size(), 1);
        checkDiskBox(ui->messages.at(0));
        QCOMPARE(paused.size(), 0);
        QVERIFY(!manager->isPaused());
        QCOMPARE(dcp->setAsideText(), QString("Not enough space on %1").arg(QDir::toNativeSeparators(tiny)));
        // RESUME checks the space again, finds it still short and shows nothing.
        manager->resumeDownloading();
        QCOMPARE(ui->messages.size(), 1);
        QVERIFY(dcp->isSetAside());
        QVERIFY(standin.assetRequests().empty());
        QVERIFY(manager->removeDownload(dcp));
    }

    // The drive fills up in the middle of a file: the file keeps exactly the bytes that were
    // stored, downloads pause with the disk-space message, and a resume after space was
    // freed completes the file.
    void driveFullDuringTransferPausesCleanly()
    {
        if (!mounted)
            QSKIP("mounting a tmpfs needs root");
        const GeneratedDcp generated = generate("Fills_Drive", 1, 2000000, 902);
        const GeneratedAsset picture = *generated.asset("picture:1");
        // 5000 bytes per read tick: small writes, which the file layer buffers.
        manager->setReadChunkSize(250000);
        AssetFault slow;
        slow.throttleBytesPerSecond = 200000;
        standin.setAssetFault(relativePath(generated, picture), slow);
        DCP *dcp = buildDcp(standin, generated, 9902, tiny);
        Asset *asset = assetOf(dcp, picture);
        store(dcp);
        QTRY_VERIFY_WITH_TIMEOUT(asset->sizeOnDisk() > 150000, 10000);
        const QString filler = tiny + "/filler";
        QVERIFY(fillUp(filler));

        QTRY_VERIFY_WITH_TIMEOUT(dcp->isSetAside(), 10000);
        QCOMPARE(ui->messages.size(), 1);
        checkDiskBox(ui->messages.at(0));
        QVERIFY(!manager->isPaused());
        QVERIFY(TestSupport::readLog().contains("[DownloadManager] Warning:"));
        QTest::qWait(200); // nothing more is written after the pause
        const qint64 kept = QFileInfo(asset->filePath()).size();
        QVERIFY(kept >= 150000 && kept < qint64(picture.size));
        QCOMPARE(readAll(asset->filePath()), readAll(sourcePath(generated, picture)).left(int(kept)));
        QVERIFY(!asset->isDownloadFinished());

        QVERIFY(QFile::remove(filler));
        standin.clearAssetFaults();
        manager->setReadChunkSize(1000000000);
        standin.clearAssetRequests();
        manager->resumeDownloading();
        QVERIFY(waitVerifiedAndSynced(dcp));
        const auto requests = requestsFor(standin, relativePath(generated, picture));
        QCOMPARE(requests.size(), size_t(1));
        QCOMPARE(QString::fromStdString(requests[0].range), QString("bytes=%1-").arg(kept));
        QVERIFY(filesMatchSource(dcp->getReels().first(), generated));
        QCOMPARE(asset->downloadAttempts(), 0u);
        QVERIFY(manager->removeDownload(dcp));
    }

    // The destination folder became a file: the read tick cannot open the asset's file.
    void unopenableDestinationPausesWithABox()
    {
        const GeneratedDcp generated = generate("Gone_Folder", 1, 300000, 903);
        DCP *dcp = buildDcp(standin, generated, 9903);
        store(dcp, false);
        const QString folder = dcp->downloadPath() + "/" + dcp->title();
        QVERIFY(QDir(folder).removeRecursively());
        {
            QFile blocker(folder);
            QVERIFY(blocker.open(QIODevice::WriteOnly));
        }
        if (manager->isPaused())
            manager->resumeDownloading();
        DCPManager::instance()->rebuildDownloadQueue();
        QTRY_VERIFY_WITH_TIMEOUT(manager->isPaused(), 10000);
        QCOMPARE(ui->messages.size(), 1);
        const UserInteraction::Message m = ui->messages.at(0);
        QCOMPARE(int(m.icon), int(UserInteraction::Icon::Critical));
        QCOMPARE(m.text, QString("Unable to write the download"));
        QVERIFY(m.informativeText.contains(folder));
        QCOMPARE(Setting::instance()->get("download_paused"), QString("1"));
        QVERIFY(TestSupport::readLog().contains("[Asset] Unable to open Asset"));
        QVERIFY(QFileInfo(folder).isFile());

        QVERIFY(QFile::remove(folder));
        QVERIFY(QDir().mkpath(folder));
        manager->resumeDownloading();
        QVERIFY(waitVerifiedAndSynced(dcp));
        QVERIFY(filesMatchSource(dcp->getReels().first(), generated));
    }

    // Free space exactly what is needed is not enough, one byte more is: for a download
    // (the asset's size) and for an import (the package's project size). The empty tmpfs
    // has all of its size free; nothing is read from the mount table.
    void freeSpaceBoundary()
    {
        if (!mounted)
            QSKIP("mounting a tmpfs needs root");
        clearTiny();
        const FileManager::DiskSpace space = FileManager::diskSpace(tiny + "/not/made/yet");
        QVERIFY(space.readable);
        QCOMPARE(space.bytesFree, kTinyBytes);
        QCOMPARE(space.bytesAvailable, kTinyBytes);

        QVERIFY(!manager->setAsideDcps()->hasEnoughDiskSpace(tiny + "/Title", kTinyBytes));
        QVERIFY(manager->setAsideDcps()->hasEnoughDiskSpace(tiny + "/Title", kTinyBytes - 1));
        // The check shows nothing itself: the box comes with setting the drive's DCPs aside.
        QCOMPARE(ui->messages.size(), 0);

        DCPXMLReader reader(QString(16, 'k'));
        ui->buttonAnswers = {UserInteraction::No};
        QVERIFY(!reader.confirmDiskSpace(tiny, qint64(kTinyBytes)));
        QCOMPARE(ui->messages.size(), 1);
        QCOMPARE(ui->messages.at(0).text, kDiskText);
        QVERIFY(TestSupport::readLog().contains(
            ("[DCPXMLReader] Available Disk space:  " + QString::number(kTinyBytes) + "\r\n").toUtf8()));
        QVERIFY(reader.confirmDiskSpace(tiny, qint64(kTinyBytes) - 1));
        QCOMPARE(ui->messages.size(), 1);
    }

    // A destination whose free space cannot be read (here a symbolic-link loop where the
    // DCP's folder should be) is not reported as a full disk.
    void unreadableFreeSpaceIsNotAFullDisk()
    {
        const GeneratedDcp generated = generate("Loop_Title", 1, 300000, 905);
        DCP *dcp = buildDcp(standin, generated, 9905);
        store(dcp, false);
        const QString folder = dcp->downloadPath() + "/" + dcp->title();
        QDir(folder).removeRecursively();
        QVERIFY(QFile::link(folder, folder));

        standin.clearAssetRequests();
        startWith(dcp);
        QVERIFY(manager->isPaused());
        QCOMPARE(ui->messages.size(), 1);
        checkWriteBox(ui->messages.at(0), folder);
        QVERIFY(ui->messages.at(0).informativeText.contains(FileManager::systemErrorText(ELOOP)));
        QVERIFY(TestSupport::readLog().contains("[DownloadManager] Unable to read the free space of"));
        QVERIFY(standin.assetRequests().empty());

        // The import tells it apart as well, and the user decides.
        DCPXMLReader reader(QString(16, 'k'));
        ui->buttonAnswers = {UserInteraction::Yes};
        QVERIFY(reader.confirmDiskSpace(folder, 1));
        QCOMPARE(ui->messages.size(), 2);
        QCOMPARE(ui->messages.at(1).text, QString("Unable to check disk space"));
        QCOMPARE(ui->messages.at(1).buttons, UserInteraction::Buttons(UserInteraction::Yes | UserInteraction::No));
        QCOMPARE(ui->messages.at(1).defaultButton, UserInteraction::No);
        QVERIFY(ui->messages.at(1).informativeText.contains(folder));

        QVERIFY(QFile::remove(folder));
        QVERIFY(QDir().mkpath(folder));
        manager->resumeDownloading();
        QVERIFY(waitVerifiedAndSynced(dcp));
        QVERIFY(filesMatchSource(dcp->getReels().first(), generated));
        QCOMPARE(ui->messages.size(), 2);
        QVERIFY(manager->removeDownload(dcp));
    }

    // The download folder has gone (an unplugged drive): it is not made again elsewhere and
    // the user is told which folder is missing.
    void missingDownloadFolderIsNotMadeAgain()
    {
        const QString drive = TestSupport::dataDir() + "/unplugged/DRIVE";
        QDir().mkpath(drive);
        const GeneratedDcp generated = generate("Unplugged", 1, 300000, 906);
        DCP *dcp = buildDcp(standin, generated, 9906, drive);
        store(dcp, false);
        QVERIFY(QDir(drive).removeRecursively());

        standin.clearAssetRequests();
        startWith(dcp);
        QVERIFY(manager->isPaused());
        QCOMPARE(ui->messages.size(), 1);
        checkWriteBox(ui->messages.at(0), drive);
        QCOMPARE(Setting::instance()->get("download_paused"), QString("1"));
        QVERIFY(!QFileInfo::exists(drive));
        QVERIFY(standin.assetRequests().empty());

        QVERIFY(QDir().mkpath(drive));
        manager->resumeDownloading();
        QVERIFY(waitVerifiedAndSynced(dcp));
        QVERIFY(filesMatchSource(dcp->getReels().first(), generated));
        QVERIFY(manager->removeDownload(dcp));
    }

    // A write that fails although the disk has room (here a file larger than the process may
    // write, as a FAT32 drive refuses a file of 4 GiB) names the file and the reason; the file
    // keeps its last good length and the download resumes from there.
    void failedWriteOnARoomyDiskNamesTheFile()
    {
        const GeneratedDcp generated = generate("Too_Big_For_Drive", 1, 8000000, 907);
        const GeneratedAsset picture = *generated.asset("picture:1");
        AssetFault slow; // many small writes
        slow.throttleBytesPerSecond = 4000000;
        setFault(standin, generated, slow);
        DCP *dcp = buildDcp(standin, generated, 9907);
        Asset *asset = assetOf(dcp, picture);
        store(dcp, false);

        const qint64 log = QFileInfo(TestSupport::dataDir() + "/debug.log").size();
        const qint64 database = QFileInfo(TestSupport::dataDir() + "/orvdownloader.4.sqlite").size();
        const rlim_t limit = rlim_t(std::max(log, database) + 2 * 1024 * 1024);
        QVERIFY(limit < picture.size);
        struct rlimit before {};
        QCOMPARE(getrlimit(RLIMIT_FSIZE, &before), 0);
        struct rlimit lowered = before;
        lowered.rlim_cur = limit;
        const auto previousHandler = std::signal(SIGXFSZ, SIG_IGN);
        QCOMPARE(setrlimit(RLIMIT_FSIZE, &lowered), 0);
        startWith(dcp);
        const bool pausedInTime = QTest::qWaitFor([&] { return manager->isPaused(); }, 15000);
        setrlimit(RLIMIT_FSIZE, &before);
        std::signal(SIGXFSZ, previousHandler);
        QVERIFY(pausedInTime);

        QCOMPARE(ui->messages.size(), 1);
        checkWriteBox(ui->messages.at(0), asset->filePath());
        QVERIFY(ui->messages.at(0).informativeText.contains(FileManager::systemErrorText(EFBIG)));
        QVERIFY(TestSupport::readLog().contains(FileManager::systemErrorText(EFBIG).toUtf8()));
        const qint64 kept = QFileInfo(asset->filePath()).size();
        QVERIFY2(kept > 0 && kept <= qint64(limit), qPrintable(QString("%1 of at most %2").arg(kept).arg(limit)));
        QCOMPARE(readAll(asset->filePath()), readAll(sourcePath(generated, picture)).left(int(kept)));

        standin.clearAssetFaults();
        manager->resumeDownloading();
        QVERIFY(waitVerifiedAndSynced(dcp));
        QVERIFY(filesMatchSource(dcp->getReels().first(), generated));
        QCOMPARE(asset->downloadAttempts(), 0u);
        QVERIFY(manager->removeDownload(dcp));
    }

    // The disk fills while a redirect is followed: the disk-space box opens once, and while
    // it is open the stall timer of the first request starts nothing (no second box on top).
    void oneDiskBoxAtATime()
    {
        if (!mounted)
            QSKIP("mounting a tmpfs needs root");
        clearTiny();
        const GeneratedDcp generated = generate("Redirect_Fills", 1, 300000, 908);
        AssetFault redirected;
        redirected.redirectHops = 1;
        setFault(standin, generated, redirected);
        DCP *dcp = buildDcp(standin, generated, 9908, tiny);
        store(dcp, false);
        manager->timeoutInterval = 200;
        ui->holdMs = 1500;
        const QString filler = tiny + "/filler";
        // The drive fills once the first request is on its way.
        bool filled = false;
        const QMetaObject::Connection fill = connect(manager, &DownloadManager::currentDcpChanged, [&] {
            if (!filled)
                filled = fillUp(filler);
        });
        startWith(dcp);
        QTRY_VERIFY_WITH_TIMEOUT(dcp->isSetAside(), 10000);
        QTest::qWait(500);
        disconnect(fill);
        QVERIFY(filled);
        QCOMPARE(ui->mostOpenAtOnce, 1);
        QCOMPARE(ui->messages.size(), 1);
        checkDiskBox(ui->messages.at(0));
        QVERIFY(QFile::remove(filler));
        QVERIFY(manager->removeDownload(dcp));
    }

    // A server that sends more than the asset's listed size: what lies past it is not
    // written, the transfer ends there, and the file is verified at its listed size.
    void bodyLongerThanTheAsset_data()
    {
        QTest::addColumn<quint64>("extra");
        QTest::addColumn<bool>("cutShort"); // the server is stopped long before the body's end
        QTest::newRow("a little more, in the last read") << quint64(100) << false;
        QTest::newRow("1 GiB more") << quint64(1024) * 1024 * 1024 << true;
    }

    void bodyLongerThanTheAsset()
    {
        QFETCH(quint64, extra);
        QFETCH(bool, cutShort);
        const GeneratedDcp generated = generate(QString("Longer_Body_%1").arg(extra), 1, 2000000, 909 + extra);
        AssetFault longer;
        longer.extraBytes = extra;
        setFault(standin, generated, longer);
        DCP *dcp = buildDcp(standin, generated, 9909 + extra);
        store(dcp, false);
        standin.clearAssetRequests();
        const std::uint64_t sentBefore = standin.assetBytesSent();
        startWith(dcp);
        QVERIFY(waitVerifiedAndSynced(dcp));
        Reel *reel = dcp->getReels().first();
        QVERIFY(filesMatchSource(reel, generated));
        std::uint64_t listed = 0;
        for (const GeneratedAsset &a : trackAssets(generated)) {
            QCOMPARE(quint64(QFileInfo(assetOf(dcp, a)->filePath()).size()), a.size);
            QCOMPARE(assetOf(dcp, a)->downloadAttempts(), 0u);
            QCOMPARE(requestsFor(standin, relativePath(generated, a)).size(), size_t(1));
            listed += a.size;
        }
        QVERIFY(ui->messages.isEmpty());
        // The engine stops reading: far less than the long body leaves the server.
        if (cutShort)
            QVERIFY(standin.assetBytesSent() - sentBefore < listed + extra / 4);
        QVERIFY(manager->removeDownload(dcp));
    }

    // The first transfer starts before the window loads, and the main thread is then busy
    // for a while: the reply's buffer is bounded from the first byte, so the network layer
    // stops reading at about that much, and what the server could still send fits in the
    // system's socket buffers; unbounded, the whole file would come in at once.
    void busyMainThreadAtTheStartHoldsAtMostTheBuffer()
    {
        const GeneratedDcp generated = generate("Busy_Start", 1, 48000000, 977);
        const GeneratedAsset picture = *generated.asset("picture:1");
        DCP *dcp = buildDcp(standin, generated, 9977);
        store(dcp, false);
        manager->setReadChunkSize(50000); // a thousand bytes a tick: the engine hardly drains
        const std::uint64_t sentBefore = standin.assetBytesSent();
        startWith(dcp);
        // One turn of the loop hands the request to the network thread; the headers come
        // back while the main thread sleeps.
        QCoreApplication::processEvents();
        QThread::msleep(1500);
        QTest::qWait(100);
        const qint64 held = manager->unreadReplyBytes();
        const std::uint64_t sent = standin.assetBytesSent() - sentBefore;
        manager->setReadChunkSize(25000000);
        QVERIFY2(sent < picture.size / 2, qPrintable(QString("%1 of %2 bytes sent").arg(sent).arg(picture.size)));
        QVERIFY2(held > 0, "the transfer did not start");
        QVERIFY2(held <= 2 * qint64(manager->bufferSize), qPrintable(QString("%1 bytes held unread").arg(held)));
        QVERIFY(manager->removeDownload(dcp));
    }

    void cleanupTestCase()
    {
        standin.stop();
        if (mounted)
            QProcess::execute("umount", {"-l", tiny});
    }
};

TOLVANE_TEST_MAIN(TestDownloadDisk)
#include "tst_download_disk.moc"
