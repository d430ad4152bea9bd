#pragma once

#include <QByteArray>
#include <QString>

#include <atomic>

class QFile;

// Stateless file-system helpers shared by the import flow and the download engine.
// Safe to call from any thread on different files.
namespace FileManager {

quint64 fileSize(const QString &path);
bool fileExists(const QString &path);
bool dirExists(const QString &path);
bool removeFile(const QString &path);
bool makePath(const QString &path);
QString undottedPath(const QString &path);
QString fileName(const QString &path);

// Opens path for reading and appending, creating it (and its directories) when create
// is true; a newly created file is hidden when hide is true. The caller owns the result;
// null on failure.
QFile *openFile(const QString &path, bool create, bool hide);

bool hideFile(const QString &path);
bool unhideFile(const QString &path);
bool isHidden(const QString &path);

// The raw 20-byte SHA-1 of the file, read in one sequential pass; throws
// FileDoesNotExistException when the file is missing or unreadable.
QByteArray getFileSHA1(const QString &path);
// The same, giving up with an empty result as soon as *cancel turns true.
QByteArray getFileSHA1(const QString &path, const std::atomic<bool> *cancel);

bool isFatFileSystem(const QString &path);
bool isFixedDrive(const QString &rootPath);
QString driveRoot(const QString &path);

}
