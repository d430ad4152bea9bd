#pragma once

#include <QByteArray>
#include <QString>

#include <atomic>

class QFile;

// Stateless file-system helpers shared by the import flow and the download engine.
// Safe to call from any thread on different files.
namespace FileManager {

// The size of the regular file at path; 0 when there is none (a symbolic link is not
// followed, and counts as no file).
quint64 fileSize(const QString &path);
// Whether anything has the name path, a dangling symbolic link included.
bool fileExists(const QString &path);
// A regular file itself, not a symbolic link to one.
bool isRegularFile(const QString &path);
bool dirExists(const QString &path);
bool removeFile(const QString &path);
bool makePath(const QString &path);
QString undottedPath(const QString &path);
QString fileName(const QString &path);

// Opens path for reading and appending, creating it (and its directories) when create
// is true; a newly created file is hidden when hide is true. The caller owns the result;
// null on failure. Below root (a DCP's destination) no symbolic link is followed: a link
// where the file or one of its folders should be is never opened, and a file is only
// ever created new, never through a name that something else already has. Without a
// root only the last name is guarded that way.
QFile *openFile(const QString &path, bool create, bool hide);
QFile *openFile(const QString &root, const QString &path, bool create, bool hide);

// Writes a new file below root with the same care; a name already taken (by anything,
// a link included) is left as it is.
enum class Created { Written, AlreadyThere, Failed };
Created createFile(const QString &root, const QString &path, const QByteArray &content);

// What is in the way of path below root: path itself when anything has its name, or the
// link (or file) that stands where one of its folders should be; empty when nothing is.
QString entryInTheWay(const QString &root, const QString &path);

// Makes the folder path (its parent made as needed); false when anything has that name
// already.
bool createFolder(const QString &path);

// Appends size bytes to the open file straight through its descriptor, nothing buffered
// in between. Returns the bytes written; when that is less than size, *error holds the
// system error number of the write that failed.
qint64 appendToFile(QFile *file, const char *data, qint64 size, int *error);

// Makes what was written to the file durable: on the disk itself, not only handed to
// the system (fdatasync). Like truncateFile, only a regular file under its own name is
// touched, never what a symbolic link points to. False with the system error number in *error when that fails.
bool syncFile(const QString &path, int *error);

// Replaces the file's content so that after a power cut it holds either the old content
// or the new one, complete: a temporary file made durable, renamed over it, and the
// folder made durable. The file is readable and writable by its owner only.
bool writeFileDurably(const QString &path, const QByteArray &content);

// Removes the file and makes the removal durable.
bool removeFileDurably(const QString &path);

// Cuts the file back to length and makes that durable.
bool truncateFile(const QString &path, quint64 length);

bool hideFile(const QString &path);
bool unhideFile(const QString &path);
bool isHidden(const QString &path);

// The raw 20-byte SHA-1 of the file, read in one sequential pass; throws
// FileDoesNotExistException when the file is missing or unreadable.
QByteArray getFileSHA1(const QString &path);
// The same, giving up with an empty result as soon as *cancel turns true.
QByteArray getFileSHA1(const QString &path, const std::atomic<bool> *cancel);

// Free space of the volume that holds path (or its nearest existing parent), read from
// the file system. When it cannot be read, readable is false and error says why.
struct DiskSpace {
    bool readable = false;
    quint64 bytesFree = 0;
    quint64 bytesAvailable = 0;
    QString error;
};
DiskSpace diskSpace(const QString &path);

// The system's text for an error number ("No space left on device").
QString systemErrorText(int error);

bool isFatFileSystem(const QString &path);
bool isFixedDrive(const QString &rootPath);
QString driveRoot(const QString &path);
// The mount point (or drive) that holds path or its nearest existing parent, as the
// operator knows it ("/media/usb", "D:\\"); empty when nothing of the path exists.
QString volumeRoot(const QString &path);

}
