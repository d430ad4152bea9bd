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
#include <sys/stat.h>
#include <unistd.h>

#include <vector>

namespace FileManager {

namespace {

bool entryStatus(const QString &path, struct stat *status)
{
    return ::lstat(QFile::encodeName(path).constData(), status) == 0;
}

}

quint64 fileSize(const QString &path)
{
    // A symbolic link is not the file: whatever it points to, it holds nothing of it.
    struct stat status {};
    return entryStatus(path, &status) && S_ISREG(status.st_mode) ? quint64(status.st_size) : 0;
}

bool fileExists(const QString &path)
{
    // Anything with that name counts, a dangling symbolic link included.
    struct stat status {};
    return entryStatus(path, &status);
}

bool isRegularFile(const QString &path)
{
    struct stat status {};
    return entryStatus(path, &status) && S_ISREG(status.st_mode);
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

namespace {

int openRetrying(int folder, const char *name, int flags, mode_t mode = 0)
{
    int descriptor = -1;
    do {
        descriptor = ::openat(folder, name, flags | O_CLOEXEC, mode);
    } while (descriptor < 0 && errno == EINTR);
    return descriptor;
}

// A path taken from a root down, no symbolic link followed below the root: its folders are
// opened one by one, each refused when it is a link, and the last name is looked at and
// opened in the last folder itself.
class Beneath
{
public:
    // Without a root (or with a path outside it) only the last name is guarded.
    Beneath(const QString &root, const QString &path);
    ~Beneath();
    Beneath(const Beneath &) = delete;
    Beneath &operator=(const Beneath &) = delete;

    // Whether anything has the path's name, a dangling link included; a link or a file
    // in the place of one of its folders counts too (*conflicting names it).
    bool entryExists(QString *conflicting = nullptr);
    // The existing regular file, opened with flags; -1 otherwise.
    int openExisting(int flags);
    // A new file, folders made as needed; -1 when anything has its name already (EEXIST).
    int createNew(int flags, bool hide, bool *hiddenAtCreation);

    QString path() const { return m_path; }
    int error() const { return m_error; }
    QString failedAt() const { return m_failedAt; }

private:
    bool openFolder(bool create);

    QString m_path;
    QString m_root;
    QStringList m_folders;
    QString m_name;
    int m_folder = -1;
    int m_error = 0;
    QString m_failedAt;
};

// The components of path below root, or empty when path does not lie below root.
QStringList componentsBelow(const QString &root, const QString &path)
{
    const QString cleanRoot = QDir::cleanPath(root);
    const QString cleanPath = QDir::cleanPath(path);
    const QString prefix = cleanRoot.endsWith('/') ? cleanRoot : cleanRoot + '/';
    if (cleanRoot.isEmpty() || !cleanPath.startsWith(prefix) || cleanPath.size() == prefix.size())
        return QStringList();
    return cleanPath.mid(prefix.size()).split('/');
}

}

Beneath::Beneath(const QString &root, const QString &path)
    : m_path(QDir::cleanPath(path))
{
    QStringList components = componentsBelow(root, path);
    if (components.isEmpty()) {
        // No root given: only the last component is guarded.
        m_root = QFileInfo(m_path).absolutePath();
        components = QStringList{QFileInfo(m_path).fileName()};
    } else {
        m_root = QDir::cleanPath(root);
    }
    m_name = components.takeLast();
    m_folders = components;
}

Beneath::~Beneath()
{
    if (m_folder >= 0)
        ::close(m_folder);
}

bool Beneath::openFolder(bool create)
{
    if (m_folder >= 0)
        return true;
    // The root itself is the operator's choice and may be reached through a link.
    int folder = openRetrying(AT_FDCWD, QFile::encodeName(m_root).constData(), O_RDONLY | O_DIRECTORY);
    if (folder < 0 && create && errno == ENOENT && QDir(m_root).mkpath("."))
        folder = openRetrying(AT_FDCWD, QFile::encodeName(m_root).constData(), O_RDONLY | O_DIRECTORY);
    if (folder < 0) {
        m_error = errno;
        m_failedAt = m_root;
        return false;
    }
    QString reached = m_root;
    for (const QString &component : qAsConst(m_folders)) {
        reached += '/' + component;
        const QByteArray name = QFile::encodeName(component);
        int next = openRetrying(folder, name.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW);
        if (next < 0 && errno == ENOENT && create) {
            if (::mkdirat(folder, name.constData(), 0777) != 0 && errno != EEXIST) {
                m_error = errno;
                m_failedAt = reached;
                ::close(folder);
                return false;
            }
            next = openRetrying(folder, name.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW);
        }
        if (next < 0) {
            // A symbolic link where a folder should be answers ELOOP (or ENOTDIR, like a file).
            m_error = errno;
            m_failedAt = reached;
            ::close(folder);
            return false;
        }
        ::close(folder);
        folder = next;
    }
    m_folder = folder;
    return true;
}

bool Beneath::entryExists(QString *conflicting)
{
    if (!openFolder(false)) {
        // A folder on the way that is missing holds nothing; anything else in its place is
        // in the way itself.
        if (m_error == ENOENT)
            return false;
        if (conflicting)
            *conflicting = m_failedAt;
        return m_error == ELOOP || m_error == ENOTDIR;
    }
    struct stat status {};
    if (::fstatat(m_folder, QFile::encodeName(m_name).constData(), &status, AT_SYMLINK_NOFOLLOW) != 0)
        return false;
    if (conflicting)
        *conflicting = m_path;
    return true;
}

int Beneath::openExisting(int flags)
{
    if (!openFolder(false))
        return -1;
    // O_NONBLOCK: a named pipe planted under the name does not hold the open.
    const int descriptor = openRetrying(m_folder, QFile::encodeName(m_name).constData(), flags | O_NOFOLLOW | O_NONBLOCK);
    if (descriptor < 0) {
        m_error = errno;
        m_failedAt = m_path;
        return -1;
    }
    struct stat status {};
    if (::fstat(descriptor, &status) != 0 || !S_ISREG(status.st_mode)) {
        ::close(descriptor);
        m_error = EINVAL;
        m_failedAt = m_path;
        return -1;
    }
    ::fcntl(descriptor, F_SETFL, ::fcntl(descriptor, F_GETFL) & ~O_NONBLOCK);
    return descriptor;
}

int Beneath::createNew(int flags, bool hide, bool *hiddenAtCreation)
{
    *hiddenAtCreation = false;
    if (!openFolder(true))
        return -1;
    const QByteArray name = QFile::encodeName(m_name);
    if (hide) {
        int error = 0;
        const int descriptor = Platform::createHiddenFileAt(m_folder, name, &error);
        if (descriptor >= 0) {
            *hiddenAtCreation = true;
            if (flags & O_APPEND)
                ::fcntl(descriptor, F_SETFL, ::fcntl(descriptor, F_GETFL) | O_APPEND);
            return descriptor;
        }
        if (error == EEXIST) {
            m_error = error;
            m_failedAt = m_path;
            return -1;
        }
    }
    const int descriptor = openRetrying(m_folder, name.constData(), flags | O_CREAT | O_EXCL | O_NOFOLLOW, 0666);
    if (descriptor < 0) {
        m_error = errno;
        m_failedAt = m_path;
    }
    return descriptor;
}

QFile *openFile(const QString &path, bool create, bool hide)
{
    return openFile(QString(), path, create, hide);
}

QFile *openFile(const QString &root, const QString &path, bool create, bool hide)
{
    Beneath place(root, path);
    bool created = false;
    bool hiddenAtCreation = false;
    int descriptor = place.openExisting(O_RDWR | O_APPEND);
    if (descriptor < 0 && place.error() != ENOENT) {
        if (place.failedAt() == place.path()) {
            qDebug() << "[FileManager] not opening what is not a regular file (a symbolic link?):" << path;
        } else {
            qDebug() << "[FileManager] cannot create directory: " << QFileInfo(path).absolutePath();
            qDebug() << "[FileManager] not a folder (a symbolic link?):" << place.failedAt();
        }
        return nullptr;
    }
    if (descriptor < 0) {
        if (!create) {
            qDebug() << "[FileManager] directory does not exist: " << path;
            return nullptr;
        }
        descriptor = place.createNew(O_RDWR | O_APPEND, hide, &hiddenAtCreation);
        if (descriptor < 0) {
            if (place.failedAt() != place.path())
                qDebug() << "[FileManager] cannot create directory: " << QFileInfo(path).absolutePath();
            else
                qDebug() << "[FileManager] cannot open directory: " << path;
            qDebug() << "[FileManager] open failed:" << systemErrorText(place.error());
            return nullptr;
        }
        created = true;
        if (hiddenAtCreation)
            qDebug() << "[Filemanager] Hiding " << path;
    }
    QFile *file = new QFile();
    if (!file->open(descriptor, QIODevice::ReadWrite | QIODevice::Append, QFileDevice::AutoCloseHandle)) {
        qDebug() << "[FileManager] cannot open directory: " << path;
        qDebug() << "[FileManager] open failed:" << file->errorString();
        ::close(descriptor);
        delete file;
        return nullptr;
    }
    // A new file is hidden from its first moment where the system allows it; otherwise it
    // is hidden right after it is made.
    if (created && hide && !hiddenAtCreation)
        hideFile(path);
    return file;
}

FileManager::Created createFile(const QString &root, const QString &path, const QByteArray &content)
{
    Beneath place(root, path);
    bool hidden = false;
    const int descriptor = place.createNew(O_WRONLY, false, &hidden);
    if (descriptor < 0)
        return place.error() == EEXIST ? Created::AlreadyThere : Created::Failed;
    qint64 written = 0;
    while (written < content.size()) {
        const ssize_t count = ::write(descriptor, content.constData() + written, size_t(content.size() - written));
        if (count < 0 && errno == EINTR)
            continue;
        if (count <= 0)
            break;
        written += count;
    }
    ::close(descriptor);
    return written == content.size() ? Created::Written : Created::Failed;
}

QString entryInTheWay(const QString &root, const QString &path)
{
    Beneath place(root, path);
    QString conflicting;
    return place.entryExists(&conflicting) ? conflicting : QString();
}

bool createFolder(const QString &path)
{
    const QString parent = QFileInfo(path).absolutePath();
    if (!QFileInfo(parent).isDir() && !QDir(parent).mkpath("."))
        return false;
    // Only a folder made here: not one already there, nor whatever a link points to.
    return ::mkdir(QFile::encodeName(path).constData(), 0777) == 0;
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

int openForSync(const QString &path, int flags, mode_t mode = 0)
{
    int descriptor = -1;
    do {
        descriptor = ::open(QFile::encodeName(path).constData(), flags | O_CLOEXEC, mode);
    } while (descriptor < 0 && errno == EINTR);
    return descriptor;
}

// An existing regular file under its own name: a symbolic link or anything else planted
// there is not opened.
int openRegularFile(const QString &path, int flags)
{
    const int descriptor = openForSync(path, flags | O_NOFOLLOW | O_NONBLOCK);
    if (descriptor < 0)
        return -1;
    struct stat status {};
    if (::fstat(descriptor, &status) != 0 || !S_ISREG(status.st_mode)) {
        ::close(descriptor);
        errno = EINVAL;
        return -1;
    }
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
    const int descriptor = openRegularFile(path, O_RDONLY);
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
    // Made anew, readable by its owner only, never through a link left under its name.
    ::unlink(QFile::encodeName(temporary).constData());
    const int descriptor = openForSync(temporary, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW, 0600);
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
    const int descriptor = openRegularFile(path, O_WRONLY);
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
    if (!fileExists(path)) {
        qDebug() << "[FileManager] getFileSHA1 does not exist: " << path;
        throw FileDoesNotExistException("File does not exist for SHA1");
    }
    QFile file;
    const int opened = openRegularFile(path, O_RDONLY);
    if (opened < 0 || !file.open(opened, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
        if (opened >= 0)
            ::close(opened);
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
