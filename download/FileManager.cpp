#include "download/FileManager.h"

#include "download/FileDoesNotExistException.h"
#include "download/Platform.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStorageInfo>

#include <cryptopp/sha.h>

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

#include <vector>

namespace FileManager {

quint64 fileSize(const QString &path)
{
    return quint64(QFileInfo(path).size());
}

bool fileExists(const QString &path)
{
    return QFileInfo::exists(path);
}

bool dirExists(const QString &path)
{
    return QDir(path).exists();
}

bool removeFile(const QString &path)
{
    return QFile::remove(path);
}

bool makePath(const QString &path)
{
    return QDir(path).mkpath(".");
}

QString undottedPath(const QString &path)
{
    const QFileInfo info(path);
    const QString last = info.fileName();
    if (!last.startsWith('.'))
        return path;
    return info.path() + "/" + last.mid(1);
}

QString fileName(const QString &path)
{
    return QFileInfo(path).fileName();
}

QFile *openFile(const QString &path, bool create, bool hide)
{
    bool created = false;
    if (!QFileInfo::exists(path)) {
        if (!create) {
            qDebug() << "[FileManager] directory does not exist: " << path;
            return nullptr;
        }
        const QString parent = QFileInfo(path).absolutePath();
        if (!QDir(parent).mkpath(".")) {
            qDebug() << "[FileManager] cannot create directory: " << parent;
            return nullptr;
        }
        created = true;
    }
    // A new file is hidden from its first moment where the system allows it; otherwise it
    // is hidden right after it is made.
    bool hiddenAtCreation = false;
    if (created && hide) {
        int error = 0;
        hiddenAtCreation = Platform::createHiddenFile(path, &error);
        if (hiddenAtCreation)
            qDebug() << "[Filemanager] Hiding " << path;
    }
    QFile *file = new QFile(path);
    if (!file->open(QIODevice::ReadOnly | QIODevice::WriteOnly | QIODevice::Append)) {
        qDebug() << "[FileManager] cannot open directory: " << path;
        qDebug() << "[FileManager] open failed:" << file->errorString();
        delete file;
        return nullptr;
    }
    if (created && hide && !hiddenAtCreation)
        hideFile(path);
    return file;
}

qint64 appendToFile(QFile *file, const char *data, qint64 size, int *error)
{
    // Anything QFile still buffers goes first, so the bytes stay in order.
    if (!file->flush()) {
        *error = EIO;
        return 0;
    }
    const int descriptor = file->handle();
    qint64 written = 0;
    while (written < size) {
        const ssize_t count = ::write(descriptor, data + written, size_t(size - written));
        if (count < 0) {
            if (errno == EINTR)
                continue;
            *error = errno;
            break;
        }
        if (count == 0) {
            *error = ENOSPC;
            break;
        }
        written += count;
    }
    return written;
}

namespace {

int openForSync(const QString &path, int flags)
{
    int descriptor = -1;
    do {
        descriptor = ::open(QFile::encodeName(path).constData(), flags | O_CLOEXEC);
    } while (descriptor < 0 && errno == EINTR);
    return descriptor;
}

bool syncDescriptor(int descriptor, int *error)
{
    int result = 0;
    do {
        result = ::fdatasync(descriptor);
    } while (result != 0 && errno == EINTR);
    if (result != 0 && error)
        *error = errno;
    return result == 0;
}

// A new or removed name in a folder reaches the disk with the folder itself.
bool syncFolderOf(const QString &path)
{
    const int descriptor = openForSync(QFileInfo(path).absolutePath(), O_RDONLY | O_DIRECTORY);
    if (descriptor < 0)
        return false;
    const bool synced = ::fsync(descriptor) == 0;
    ::close(descriptor);
    return synced;
}

}

bool syncFile(const QString &path, int *error)
{
    // Any descriptor of the file will do: the system writes out the file's data, whoever
    // wrote it.
    const int descriptor = openForSync(path, O_RDONLY);
    if (descriptor < 0) {
        *error = errno;
        return false;
    }
    const bool synced = syncDescriptor(descriptor, error);
    ::close(descriptor);
    return synced;
}

bool writeFileDurably(const QString &path, const QByteArray &content)
{
    const QString temporary = path + ".new";
    const int descriptor = openForSync(temporary, O_WRONLY | O_CREAT | O_TRUNC);
    if (descriptor < 0)
        return false;
    qint64 written = 0;
    while (written < content.size()) {
        const ssize_t count = ::write(descriptor, content.constData() + written, size_t(content.size() - written));
        if (count < 0 && errno == EINTR)
            continue;
        if (count <= 0)
            break;
        written += count;
    }
    const bool synced = written == content.size() && syncDescriptor(descriptor, nullptr);
    ::close(descriptor);
    if (!synced || ::rename(QFile::encodeName(temporary).constData(), QFile::encodeName(path).constData()) != 0) {
        ::unlink(QFile::encodeName(temporary).constData());
        return false;
    }
    return syncFolderOf(path);
}

bool removeFileDurably(const QString &path)
{
    if (::unlink(QFile::encodeName(path).constData()) != 0)
        return errno == ENOENT;
    return syncFolderOf(path);
}

bool truncateFile(const QString &path, quint64 length)
{
    const int descriptor = openForSync(path, O_WRONLY);
    if (descriptor < 0)
        return false;
    const bool cut = ::ftruncate(descriptor, off_t(length)) == 0 && syncDescriptor(descriptor, nullptr);
    ::close(descriptor);
    return cut;
}

bool hideFile(const QString &path)
{
    bool hidden = false;
    int error = 0;
    if (!Platform::readHiddenAttribute(path, &hidden, &error)) {
        qDebug() << "[Filemanager] GetFileAttributes() failed:" << error;
        return false;
    }
    if (hidden)
        return true;
    qDebug() << "[Filemanager] Hiding " << path;
    if (!Platform::writeHiddenAttribute(path, true, &error)) {
        qDebug() << "[Filemanager] SetFileAttributes() failed:" << error;
        return false;
    }
    return true;
}

bool unhideFile(const QString &path)
{
    bool hidden = false;
    int error = 0;
    if (!Platform::readHiddenAttribute(path, &hidden, &error)) {
        qDebug() << "[Filemanager] GetFileAttributes() failed:" << error;
        return false;
    }
    if (!hidden)
        return true;
    const bool written = Platform::writeHiddenAttribute(path, false, &error);
    qDebug() << "[Filemanager] Unhiding " << path;
    if (!written) {
        qDebug() << "[Filemanager] SetFileAttributes() failed:" << error;
        return false;
    }
    return true;
}

bool isHidden(const QString &path)
{
    bool hidden = false;
    int error = 0;
    return Platform::readHiddenAttribute(path, &hidden, &error) && hidden;
}

QByteArray getFileSHA1(const QString &path)
{
    return getFileSHA1(path, nullptr);
}

QByteArray getFileSHA1(const QString &path, const std::atomic<bool> *cancel)
{
    if (!QFileInfo::exists(path)) {
        qDebug() << "[FileManager] getFileSHA1 does not exist: " << path;
        throw FileDoesNotExistException("File does not exist for SHA1");
    }
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        qDebug() << "[FileManager] getFileSHA1 could not open: " << path;
        throw FileDoesNotExistException("Unable to open file for SHA1");
    }
    // One sequential pass with large reads; Crypto++ uses the CPU's SHA instructions.
    const int descriptor = file.handle();
    posix_fadvise(descriptor, 0, 0, POSIX_FADV_SEQUENTIAL);
    CryptoPP::SHA1 sha1;
    std::vector<CryptoPP::byte> buffer(4 * 1024 * 1024);
    for (;;) {
        if (cancel && cancel->load())
            return QByteArray();
        const ssize_t count = ::read(descriptor, buffer.data(), buffer.size());
        if (count < 0) {
            if (errno == EINTR)
                continue;
            qDebug() << "[FileManager] getFileSHA1 could not read: " << path;
            throw FileDoesNotExistException("Unable to open file for SHA1");
        }
        if (count == 0)
            break;
        sha1.Update(buffer.data(), size_t(count));
    }
    QByteArray digest(CryptoPP::SHA1::DIGESTSIZE, Qt::Uninitialized);
    sha1.Final(reinterpret_cast<CryptoPP::byte *>(digest.data()));
    return digest;
}

DiskSpace diskSpace(const QString &path)
{
    DiskSpace result;
    Platform::VolumeSpace space;
    int error = 0;
    if (!Platform::volumeSpace(path, &space, &error)) {
        result.error = systemErrorText(error);
        return result;
    }
    result.readable = true;
    result.bytesFree = space.bytesFree;
    result.bytesAvailable = space.bytesAvailable;
    return result;
}

QString systemErrorText(int error)
{
    return qt_error_string(error);
}

bool isFatFileSystem(const QString &path)
{
    return Platform::isFatFileSystemType(Platform::fileSystemType(path));
}

bool isFixedDrive(const QString &rootPath)
{
    return Platform::isFixedDrive(rootPath);
}

QString driveRoot(const QString &path)
{
    return Platform::driveRoot(path);
}

QString volumeRoot(const QString &path)
{
    QFileInfo existing(path);
    while (!existing.exists()) {
        const QString parent = existing.absolutePath();
        if (parent == existing.absoluteFilePath())
            return QString();
        existing = QFileInfo(parent);
    }
    const QStorageInfo volume(existing.absoluteFilePath());
    return volume.isValid() ? QDir::toNativeSeparators(volume.rootPath()) : QString();
}

}
