#include "download/Platform.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStorageInfo>

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <limits>
#include <malloc.h>
#include <unistd.h>
#include <sys/statvfs.h>
#include <sys/xattr.h>

namespace {

// NTFS drivers (ntfs-3g, ntfs3) expose the Windows attribute word, big-endian; setting
// the hidden bit there makes the file hidden for a Windows ingest station too.
const char ntfsAttributeName[] = "system.ntfs_attrib_be";
const quint32 ntfsHiddenBit = 0x2;
// Elsewhere the attribute is kept as an extended attribute of the file.
const char hiddenAttributeName[] = "user.tolvane.hidden";

// The attribute calls work on the name itself: a symbolic link is never followed, so
// hiding or revealing a link planted under an asset's name touches nothing it points to.
bool readNtfsAttributes(const QByteArray &path, quint32 *attributes)
{
    unsigned char word[4];
    if (lgetxattr(path.constData(), ntfsAttributeName, word, sizeof word) != sizeof word)
        return false;
    *attributes = (quint32(word[0]) << 24) | (quint32(word[1]) << 16) | (quint32(word[2]) << 8) | quint32(word[3]);
    return true;
}

bool writeNtfsAttributes(const QByteArray &path, quint32 attributes)
{
    const unsigned char word[4] = {
        static_cast<unsigned char>(attributes >> 24), static_cast<unsigned char>(attributes >> 16),
        static_cast<unsigned char>(attributes >> 8), static_cast<unsigned char>(attributes)};
    return lsetxattr(path.constData(), ntfsAttributeName, word, sizeof word, 0) == 0;
}

QString readText(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QString();
    return QString::fromLatin1(file.readAll()).trimmed();
}

QString existingAncestor(const QString &path)
{
    QFileInfo info(path);
    QString candidate = info.absoluteFilePath();
    while (!candidate.isEmpty() && !QFileInfo::exists(candidate)) {
        const QString parent = QFileInfo(candidate).absolutePath();
        if (parent == candidate)
            return QString();
        candidate = parent;
    }
    return candidate;
}

}

namespace Platform {

bool readHiddenAttribute(const QString &path, bool *hidden, int *error)
{
    const QByteArray native = QFile::encodeName(path);
    quint32 attributes = 0;
    if (readNtfsAttributes(native, &attributes)) {
        *hidden = attributes & ntfsHiddenBit;
        return true;
    }
    char value[8];
    const ssize_t length = lgetxattr(native.constData(), hiddenAttributeName, value, sizeof value);
    if (length >= 0) {
        *hidden = length > 0 && value[0] == '1';
        return true;
    }
    if (errno == ENODATA) {
        *hidden = false;
        return true;
    }
    *error = errno;
    return false;
}

bool writeHiddenAttribute(const QString &path, bool hidden, int *error)
{
    const QByteArray native = QFile::encodeName(path);
    quint32 attributes = 0;
    if (readNtfsAttributes(native, &attributes)) {
        attributes = hidden ? (attributes | ntfsHiddenBit) : (attributes & ~ntfsHiddenBit);
        if (writeNtfsAttributes(native, attributes))
            return true;
        *error = errno;
        return false;
    }
    if (hidden) {
        if (lsetxattr(native.constData(), hiddenAttributeName, "1", 1, 0) == 0)
            return true;
    } else {
        if (lremovexattr(native.constData(), hiddenAttributeName) == 0 || errno == ENODATA)
            return true;
    }
    *error = errno;
    return false;
}

bool createHiddenFile(const QString &path, int *error)
{
    const QFileInfo info(path);
    const int folder = ::open(QFile::encodeName(info.absolutePath()).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder < 0) {
        *error = errno;
        return false;
    }
    const int descriptor = createHiddenFileAt(folder, QFile::encodeName(info.fileName()), error);
    ::close(folder);
    if (descriptor < 0)
        return false;
    ::close(descriptor);
    return true;
}

int createHiddenFileAt(int folder, const QByteArray &name, int *error)
{
    // An unnamed file in the folder gets the attribute first and its name last. NTFS drivers
    // keep the attribute in the file's own record and cannot make unnamed files: they answer
    // with an error here and the caller hides the file after creating it.
    const int descriptor = ::openat(folder, ".", O_TMPFILE | O_RDWR | O_CLOEXEC, 0666);
    if (descriptor < 0) {
        *error = errno;
        return -1;
    }
    bool created = fsetxattr(descriptor, hiddenAttributeName, "1", 1, 0) == 0;
    if (created) {
        // Giving it its name fails when anything (a symbolic link included) has that name.
        char procPath[64];
        std::snprintf(procPath, sizeof procPath, "/proc/self/fd/%d", descriptor);
        created = ::linkat(AT_FDCWD, procPath, folder, name.constData(), AT_SYMLINK_FOLLOW) == 0;
    }
    if (!created) {
        *error = errno;
        ::close(descriptor);
        return -1;
    }
    return descriptor;
}

QString driveRoot(const QString &path)
{
    const QString existing = existingAncestor(path);
    if (existing.isEmpty())
        return QString();
    QStorageInfo storage(existing);
    if (!storage.isValid())
        return QString();
    if (isNetworkFileSystemType(QString::fromUtf8(storage.fileSystemType())))
        return QString();
    return storage.rootPath();
}

bool isFixedDrive(const QString &rootPath)
{
    if (rootPath.isEmpty())
        return false;
    QStorageInfo storage(rootPath);
    if (!storage.isValid())
        return false;
    const QString device = QString::fromUtf8(storage.device());
    if (!device.startsWith("/dev/"))
        return false;
    // /dev/mapper/name and /dev/disk/by-*/name are links to the kernel's node name.
    QString node = QFileInfo(device).canonicalFilePath();
    if (node.isEmpty())
        node = device;
    return isFixedBlockDevice("/sys", node);
}

bool isFixedBlockDevice(const QString &sysRoot, const QString &device)
{
    const QString name = QFileInfo(device).fileName();
    if (name.isEmpty())
        return false;
    QString devicePath = QFileInfo(sysRoot + "/class/block/" + name).canonicalFilePath();
    if (devicePath.isEmpty())
        return false;
    // A partition's disk is its parent directory.
    if (QFileInfo::exists(devicePath + "/partition"))
        devicePath = QFileInfo(devicePath).absolutePath();
    if (devicePath.contains("/usb"))
        return false;
    // A device-mapper or RAID volume is fixed when every disk under it is.
    const QStringList slaves = QDir(devicePath + "/slaves").entryList(QDir::Dirs | QDir::NoDotAndDotDot | QDir::System);
    if (!slaves.isEmpty()) {
        for (const QString &slave : slaves) {
            if (!isFixedBlockDevice(sysRoot, slave))
                return false;
        }
        return true;
    }
    return readText(devicePath + "/removable") == "0";
}

bool volumeSpace(const QString &path, VolumeSpace *space, int *error)
{
    QString candidate = QFileInfo(path).absoluteFilePath();
    for (;;) {
        struct statvfs info {};
        if (::statvfs(QFile::encodeName(candidate).constData(), &info) == 0) {
            const auto bytes = [&info](fsblkcnt_t blocks) {
                const quint64 unit = info.f_frsize ? info.f_frsize : info.f_bsize;
                const quint64 most = std::numeric_limits<quint64>::max();
                return unit && quint64(blocks) > most / unit ? most : quint64(blocks) * unit;
            };
            space->bytesFree = bytes(info.f_bfree);
            space->bytesAvailable = bytes(info.f_bavail);
            return true;
        }
        if (errno == EINTR)
            continue;
        // Only a part of the path that does not exist yet is looked past; any other failure
        // means the volume cannot be asked.
        if (errno != ENOENT) {
            *error = errno;
            return false;
        }
        const QString parent = QFileInfo(candidate).absolutePath();
        if (parent == candidate) {
            *error = ENOENT;
            return false;
        }
        candidate = parent;
    }
}

void keepTransferBuffersMapped()
{
#ifdef __GLIBC__
    // Qt's network thread reads the socket into a fresh buffer for each chunk. Past glibc's
    // mmap threshold each such buffer is a mapping of its own, unmapped again when freed,
    // and every page of it faults on first touch: on a virtual machine those faults cost
    // more than the copy itself (half the transfer's CPU at 200 Mbit/s). Served from the
    // heap, and with the heap's free top kept rather than given back after every free, the
    // same pages are used again. A fixed threshold also ends glibc's own adjusting of it.
    mallopt(M_MMAP_THRESHOLD, 4 * 1024 * 1024);
    mallopt(M_TRIM_THRESHOLD, 16 * 1024 * 1024);
#endif
}

QString bootId()
{
    return readText("/proc/sys/kernel/random/boot_id");
}

QString fileSystemType(const QString &path)
{
    const QString existing = existingAncestor(path);
    if (existing.isEmpty())
        return QString();
    return QString::fromUtf8(QStorageInfo(existing).fileSystemType());
}

bool isFatFileSystemType(const QString &type)
{
    const QString lower = type.toLower();
    return lower.startsWith("fat") || lower == "vfat" || lower == "msdos" || lower == "umsdos"
        || lower == "fuse.fusefat" || lower == "fusefat";
}

bool isNetworkFileSystemType(const QString &type)
{
    const QString lower = type.toLower();
    static const QStringList network = {"nfs", "nfs4", "cifs", "smb3", "smbfs", "fuse.sshfs", "sshfs", "9p",
                                        "afs", "ncpfs", "ceph", "glusterfs", "fuse.glusterfs", "davfs", "fuse.davfs2",
                                        "fuse.rclone", "fuse.s3fs", "lustre"};
    return network.contains(lower);
}

}
