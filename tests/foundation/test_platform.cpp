#include "download/FileManager.h"
#include "download/Platform.h"
#include "import/DCPXMLReader.h"
#include "support/ScriptedUserInteraction.h"
#include "support/TestMain.h"

#include <QDir>
#include <QFile>
#include <QStorageInfo>
#include <QTemporaryDir>
#include <QtTest>

#include <cerrno>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

void writeText(const QString &path, const QByteArray &text)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        qFatal("cannot write %s", qPrintable(path));
    file.write(text);
}

// A disk under sysRoot as the kernel lays it out: the device directory under
// devices/, a partition inside it, and class/block links to both.
void addDisk(const QString &sysRoot, const QString &busPath, const QString &disk, const QString &removable)
{
    const QString diskDir = sysRoot + "/devices/" + busPath + "/block/" + disk;
    writeText(diskDir + "/removable", removable.toLatin1() + "\n");
    writeText(diskDir + "/" + disk + "1/partition", "1\n");
    QDir().mkpath(sysRoot + "/class/block");
    QFile::link(diskDir, sysRoot + "/class/block/" + disk);
    QFile::link(diskDir + "/" + disk + "1", sysRoot + "/class/block/" + disk + "1");
}

}

class TestPlatform : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    QString m_sys;

private slots:
    void initTestCase()
    {
        TestSupport::captureLog();
        m_sys = m_dir.path() + "/sys";
        addDisk(m_sys, "pci0000:00/0000:00:1f.2/ata1/host0/target0:0:0/0:0:0:0", "sda", "0");
        addDisk(m_sys, "pci0000:00/0000:00:14.0/usb2/2-1/2-1:1.0/host6/target6:0:0/6:0:0:0", "sdb", "0");
        addDisk(m_sys, "pci0000:00/0000:00:1d.0/mmc_host/mmc0/mmc0:0001", "mmcblk0", "1");
        addDisk(m_sys, "pci0000:00/0000:00:01.0/nvme/nvme0", "nvme0n1", "0");
        // A device-mapper volume on the internal disk, and one spanning the USB disk.
        const QString dmFixed = m_sys + "/devices/virtual/block/dm-0";
        writeText(dmFixed + "/removable", "0\n");
        QDir().mkpath(dmFixed + "/slaves");
        QFile::link(m_sys + "/class/block/sda1", dmFixed + "/slaves/sda1");
        QFile::link(dmFixed, m_sys + "/class/block/dm-0");
        const QString dmUsb = m_sys + "/devices/virtual/block/dm-1";
        writeText(dmUsb + "/removable", "0\n");
        QDir().mkpath(dmUsb + "/slaves");
        QFile::link(m_sys + "/class/block/sda1", dmUsb + "/slaves/sda1");
        QFile::link(m_sys + "/class/block/sdb1", dmUsb + "/slaves/sdb1");
        QFile::link(dmUsb, m_sys + "/class/block/dm-1");
    }

    void fixedBlockDevice_data()
    {
        QTest::addColumn<QString>("device");
        QTest::addColumn<bool>("fixed");
        QTest::newRow("internal SATA disk") << "/dev/sda" << true;
        QTest::newRow("its partition") << "/dev/sda1" << true;
        QTest::newRow("NVMe partition") << "nvme0n11" << true;
        QTest::newRow("USB disk, not flagged removable") << "/dev/sdb1" << false;
        QTest::newRow("removable card") << "/dev/mmcblk01" << false;
        QTest::newRow("mapper on internal disk") << "/dev/dm-0" << true;
        QTest::newRow("mapper spanning a USB disk") << "/dev/dm-1" << false;
        QTest::newRow("unknown device") << "/dev/sdz1" << false;
        QTest::newRow("no device") << "" << false;
    }

    void fixedBlockDevice()
    {
        QFETCH(QString, device);
        QFETCH(bool, fixed);
        QCOMPARE(Platform::isFixedBlockDevice(m_sys, device), fixed);
    }

    void fatTypes_data()
    {
        QTest::addColumn<QString>("type");
        QTest::addColumn<bool>("fat");
        QTest::newRow("Windows FAT") << "FAT" << true;
        QTest::newRow("Windows FAT32") << "FAT32" << true;
        QTest::newRow("kernel vfat") << "vfat" << true;
        QTest::newRow("kernel msdos") << "msdos" << true;
        QTest::newRow("FUSE fusefat") << "fuse.fusefat" << true;
        QTest::newRow("exFAT") << "exfat" << false;
        QTest::newRow("Windows exFAT") << "exFAT" << false;
        QTest::newRow("ntfs") << "ntfs" << false;
        QTest::newRow("ntfs3") << "ntfs3" << false;
        QTest::newRow("ntfs-3g") << "fuseblk" << false;
        QTest::newRow("ext4") << "ext4" << false;
        QTest::newRow("unknown") << "" << false;
    }

    void fatTypes()
    {
        QFETCH(QString, type);
        QFETCH(bool, fat);
        QCOMPARE(Platform::isFatFileSystemType(type), fat);
    }

    void networkTypes_data()
    {
        QTest::addColumn<QString>("type");
        QTest::addColumn<bool>("network");
        QTest::newRow("nfs") << "nfs" << true;
        QTest::newRow("nfs4") << "nfs4" << true;
        QTest::newRow("cifs") << "cifs" << true;
        QTest::newRow("smb3") << "smb3" << true;
        QTest::newRow("sshfs") << "fuse.sshfs" << true;
        QTest::newRow("ext4") << "ext4" << false;
        QTest::newRow("fuseblk") << "fuseblk" << false;
    }

    void networkTypes()
    {
        QFETCH(QString, type);
        QFETCH(bool, network);
        QCOMPARE(Platform::isNetworkFileSystemType(type), network);
    }

    void driveRootIsTheMountPoint()
    {
        const QString root = QStorageInfo(m_dir.path()).rootPath();
        QCOMPARE(FileManager::driveRoot(m_dir.path()), root);
        // A folder the import has not created yet belongs to the same drive.
        QCOMPARE(FileManager::driveRoot(m_dir.path() + "/not/yet/there"), root);
        QVERIFY(!FileManager::isFatFileSystem(m_dir.path()));
    }

    void mountedVolumeHasItsOwnRootAndIsNoFixedDisk()
    {
        if (geteuid() != 0)
            QSKIP("mounting needs root");
        const QString mountPoint = m_dir.path() + "/volume";
        QVERIFY(QDir().mkpath(mountPoint));
        if (mount("tolvane-tmpfs", mountPoint.toLocal8Bit().constData(), "tmpfs", 0, "size=1m") != 0)
            QSKIP("tmpfs cannot be mounted here");
        QVERIFY(QDir().mkpath(mountPoint + "/DCP"));
        const QString root = FileManager::driveRoot(mountPoint + "/DCP");
        const bool fixed = FileManager::isFixedDrive(root);
        const QString type = Platform::fileSystemType(mountPoint + "/DCP");
        umount2(mountPoint.toLocal8Bit().constData(), MNT_DETACH);
        QCOMPARE(root, mountPoint);
        QCOMPARE(type, QString("tmpfs"));
        QVERIFY(!fixed); // not a block device at all
    }

    // The free space of a mounted volume, read from the volume itself; a folder that does
    // not exist yet reads its nearest existing parent.
    void volumeSpaceOfAMountedVolume()
    {
        if (geteuid() != 0)
            QSKIP("mounting needs root");
        const QString mountPoint = m_dir.path() + "/space";
        QVERIFY(QDir().mkpath(mountPoint));
        if (mount("tolvane-tmpfs", mountPoint.toLocal8Bit().constData(), "tmpfs", 0, "size=2m") != 0)
            QSKIP("tmpfs cannot be mounted here");
        Platform::VolumeSpace empty;
        Platform::VolumeSpace later;
        int error = 0;
        const bool readEmpty = Platform::volumeSpace(mountPoint + "/DCP/not/yet", &empty, &error);
        writeText(mountPoint + "/half", QByteArray(1024 * 1024, 'x'));
        const bool readLater = Platform::volumeSpace(mountPoint, &later, &error);
        umount2(mountPoint.toLocal8Bit().constData(), MNT_DETACH);
        QVERIFY(readEmpty && readLater);
        QCOMPARE(empty.bytesFree, quint64(2 * 1024 * 1024));
        QCOMPARE(empty.bytesAvailable, quint64(2 * 1024 * 1024));
        QCOMPARE(later.bytesFree, quint64(1024 * 1024));
    }

    // Where no answer can be had, the reason is given instead of a number.
    void volumeSpaceThatCannotBeRead_data()
    {
        QTest::addColumn<QString>("relative");
        QTest::addColumn<int>("expectedError");
        QTest::newRow("symbolic-link loop") << "loop/DCP" << int(ELOOP);
        QTest::newRow("below a file") << "file/DCP" << int(ENOTDIR);
    }

    void volumeSpaceThatCannotBeRead()
    {
        QFETCH(QString, relative);
        QFETCH(int, expectedError);
        const QString base = m_dir.path() + "/unreadable";
        QDir().mkpath(base);
        QFile::link(base + "/loop", base + "/loop");
        writeText(base + "/file", "x");
        Platform::VolumeSpace space;
        int error = 0;
        QVERIFY(!Platform::volumeSpace(base + "/" + relative, &space, &error));
        QCOMPARE(error, expectedError);
        const FileManager::DiskSpace disk = FileManager::diskSpace(base + "/" + relative);
        QVERIFY(!disk.readable);
        QCOMPARE(disk.error, FileManager::systemErrorText(expectedError));
    }

    // In a chroot whose root is not a mount point the mount table does not list the volume
    // (the storage information is invalid), and the free space is still read.
    void volumeSpaceWithoutTheMountTable()
    {
        if (geteuid() != 0)
            QSKIP("chroot needs root");
        const QString root = m_dir.path() + "/jail";
        QVERIFY(QDir().mkpath(root + "/downloads"));
        QVERIFY(QDir().mkpath(root + "/proc"));
        // The jail's /proc is mounted and taken away here, whatever happens to the child; the
        // jail itself stays an ordinary folder, not a mount point.
        const QByteArray proc = QString(root + "/proc").toLocal8Bit();
        if (mount("proc", proc.constData(), "proc", 0, nullptr) != 0)
            QSKIP("proc cannot be mounted here");
        int channel[2];
        QCOMPARE(pipe(channel), 0);
        const pid_t child = fork();
        QVERIFY(child >= 0);
        if (child == 0) {
            // The answer goes back as five numbers.
            close(channel[0]);
            long long answer[5] = {-1, -1, -1, -1, -1};
            const QByteArray jail = root.toLocal8Bit();
            if (chroot(jail.constData()) == 0 && chdir("/") == 0) {
                answer[0] = QStorageInfo("/downloads").isValid() ? 1 : 0;
                Platform::VolumeSpace space;
                int error = 0;
                answer[1] = Platform::volumeSpace("/downloads/DCP", &space, &error) ? 1 : 0;
                answer[2] = qint64(space.bytesAvailable);
                // The import's check of a one-byte package passes without a box.
                ScriptedUserInteraction ui;
                DCPXMLReader reader(QString(16, 'k'));
                answer[3] = reader.confirmDiskSpace("/downloads", 1) ? 1 : 0;
                answer[4] = ui.messages.size();
            }
            const ssize_t written = write(channel[1], answer, sizeof answer);
            _exit(written == sizeof answer ? 0 : 1);
        }
        close(channel[1]);
        long long answer[5] = {-1, -1, -1, -1, -1};
        const ssize_t got = read(channel[0], answer, sizeof answer);
        close(channel[0]);
        int status = 0;
        waitpid(child, &status, 0);
        umount2(proc.constData(), MNT_DETACH);
        QCOMPARE(got, ssize_t(sizeof answer));
        QCOMPARE(answer[0], 0LL); // the mount table does not know the volume
        QCOMPARE(answer[1], 1LL);
        QVERIFY(answer[2] > 0);
        QCOMPARE(answer[3], 1LL);
        QCOMPARE(answer[4], 0LL);
    }

    // A new file carries the hidden attribute from the moment it has a name; an existing
    // file is neither replaced nor changed.
    void fileCreatedHidden()
    {
        const QString target = m_dir.path() + "/created-hidden.mxf";
        int error = 0;
        QVERIFY2(Platform::createHiddenFile(target, &error), qPrintable(QString::number(error)));
        QVERIFY(QFileInfo(target).isFile());
        QCOMPARE(QFileInfo(target).size(), qint64(0));
        QVERIFY(FileManager::isHidden(target));
        // The same permissions as a file any other way of creating gives.
        QFile ordinary(m_dir.path() + "/created-ordinary.mxf");
        QVERIFY(ordinary.open(QIODevice::WriteOnly));
        ordinary.close();
        QCOMPARE(QFileInfo(target).permissions(), QFileInfo(ordinary.fileName()).permissions());

        const QString existing = m_dir.path() + "/existing-visible.mxf";
        writeText(existing, "kept");
        QVERIFY(!Platform::createHiddenFile(existing, &error));
        QCOMPARE(error, EEXIST);
        QVERIFY(!FileManager::isHidden(existing));
        QFile kept(existing);
        QVERIFY(kept.open(QIODevice::ReadOnly));
        QCOMPARE(kept.readAll(), QByteArray("kept"));
    }

    void noDriveForNothing()
    {
        QVERIFY(!FileManager::isFixedDrive(QString()));
    }
};

TOLVANE_TEST_MAIN(TestPlatform)
#include "test_platform.moc"
