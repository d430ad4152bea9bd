// Destinations that cannot take the download: a drive too small for the asset, a drive that
// fills up in the middle of a file (a small tmpfs mounted by the test, which needs root),
// and a destination folder that is no longer a folder.

#include "DownloadFixture.h"

#include "catalogue/Setting.h"
#include "download/DownloadManager.h"
#include "portal/NotificationManager.h"
#include "support/ScriptedUserInteraction.h"
#include "support/TestMain.h"

#include <QProcess>
#include <QSignalSpy>
#include <QtTest>

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

using namespace DownloadFixture;

namespace {

const QString kDiskText = "Not enough disk space";
const QString kDiskInformative = "You have ran out of disk space so we paused your download.\r\n\r\nPlease free up some "
                                 "space and hit the resume button once you're ready.";

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
    }

    // An asset larger than the free space is not started.
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
        QCOMPARE(paused.size(), 1);
        QVERIFY(manager->isPaused());
        QCOMPARE(Setting::instance()->get("download_paused"), QString("1"));
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
        store(dcp); // queued; the refusal above left downloads paused
        QVERIFY(manager->isPaused());
        manager->resumeDownloading();
        QTRY_VERIFY_WITH_TIMEOUT(asset->sizeOnDisk() > 150000, 10000);
        const QString filler = tiny + "/filler";
        QVERIFY(fillUp(filler));

        QTRY_VERIFY_WITH_TIMEOUT(manager->isPaused(), 10000);
        QCOMPARE(ui->messages.size(), 1);
        checkDiskBox(ui->messages.at(0));
        QCOMPARE(Setting::instance()->get("download_paused"), QString("1"));
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

    void cleanupTestCase()
    {
        standin.stop();
        if (mounted)
            QProcess::execute("umount", {"-l", tiny});
    }
};

TOLVANE_TEST_MAIN(TestDownloadDisk)
#include "tst_download_disk.moc"
