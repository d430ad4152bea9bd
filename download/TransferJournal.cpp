#include "download/TransferJournal.h"

#include "download/FileManager.h"
#include "download/Platform.h"

#include <QDebug>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonValue>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

TransferJournal::TransferJournal(const QString &markerPath)
    : m_markerPath(markerPath)
    , m_bootId(Platform::bootId())
{
}

int TransferJournal::recover(const std::function<bool(const QString &)> &isAssetFile)
{
    if (!FileManager::fileExists(m_markerPath))
        return 0;
    // The marker names files to cut: only one this user wrote, and nobody else could have,
    // is believed.
    const int descriptor = ::open(QFile::encodeName(m_markerPath).constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    struct stat status {};
    if (descriptor >= 0 && ::fstat(descriptor, &status) == 0
        && (!S_ISREG(status.st_mode) || status.st_uid != ::geteuid() || (status.st_mode & (S_IWGRP | S_IWOTH)))) {
        qDebug() << "[DownloadManager] Ignoring the marker of the last run: it is not this user's own, or others may "
                    "write it:"
                 << m_markerPath;
        ::close(descriptor);
        return 0;
    }
    m_lastRunUnclean = true;
    QFile marker;
    if (descriptor < 0 || !marker.open(descriptor, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
        if (descriptor >= 0)
            ::close(descriptor);
        qDebug() << "[DownloadManager] Unable to read the marker of the last run:" << m_markerPath;
        return 0;
    }
    const QJsonObject content = QJsonDocument::fromJson(marker.readAll()).object();
    marker.close();
    // A marker this version did not write (or a damaged one) says nothing reliable about
    // what reached the disk: no file is cut for it, and verification judges the files.
    const QJsonValue markerVersion = content.value("version");
    if (!markerVersion.isDouble() || markerVersion.toDouble() != double(version)) {
        qDebug() << "[DownloadManager] The marker of the last run is of an unknown version; no file is cut:"
                 << m_markerPath;
        return 0;
    }
    const QString bootId = content.value("boot_id").toString();
    const QJsonObject files = content.value("files").toObject();
    // Without both identifiers a restart cannot be ruled out.
    const bool systemRestarted = bootId.isEmpty() || m_bootId.isEmpty() || bootId != m_bootId;
    qDebug() << "[DownloadManager] The last run did not end cleanly;"
             << (systemRestarted ? "the system restarted since" : "the system kept running");
    int cut = 0;
    for (auto it = files.constBegin(); it != files.constEnd(); ++it) {
        const QString path = it.key();
        if (!FileManager::fileExists(path))
            continue;
        if (!isAssetFile(path)) {
            qDebug() << "[DownloadManager] Not a file of the catalogue, left as it is:" << path;
            continue;
        }
        const QJsonValue recorded = it.value();
        const double length = recorded.toDouble(-1);
        if (!recorded.isDouble() || length < 0 || length > largestLength || length != double(quint64(length))) {
            qDebug() << "[DownloadManager] Skipping an unreadable length in the marker for" << path;
            continue;
        }
        const quint64 durable = quint64(length);
        const quint64 size = FileManager::fileSize(path);
        if (systemRestarted && size > durable) {
            qDebug() << "[DownloadManager] Cut back to what reached the disk:" << path << size << "->" << durable;
            if (FileManager::truncateFile(path, durable)) {
                ++cut;
                m_cutPaths.append(path);
            }
            else
                qDebug() << "[DownloadManager] Unable to cut back" << path;
        } else if (!systemRestarted) {
            int error = 0;
            if (!FileManager::syncFile(path, &error))
                qDebug() << "[DownloadManager] Unable to make" << path << "durable:" << FileManager::systemErrorText(error);
        }
    }
    return cut;
}

bool TransferJournal::begin()
{
    m_durable.clear();
    m_running = true;
    return writeMarker();
}

void TransferJournal::recordDurable(const QString &path, quint64 length)
{
    if (!m_running)
        return;
    const auto known = m_durable.constFind(path);
    if (known != m_durable.constEnd() && known.value() == length)
        return;
    m_durable.insert(path, length);
    writeMarker();
}

void TransferJournal::forget(const QString &path)
{
    if (!m_running || !m_durable.contains(path))
        return;
    m_durable.remove(path);
    writeMarker();
}

void TransferJournal::end()
{
    if (!m_running)
        return;
    m_running = false;
    if (!FileManager::removeFileDurably(m_markerPath))
        qDebug() << "[DownloadManager] Unable to remove the marker" << m_markerPath;
}

bool TransferJournal::writeMarker()
{
    QJsonObject files;
    for (auto it = m_durable.constBegin(); it != m_durable.constEnd(); ++it)
        files.insert(it.key(), double(it.value()));
    const QJsonObject content{{"version", version}, {"boot_id", m_bootId}, {"files", files}};
    if (FileManager::writeFileDurably(m_markerPath, QJsonDocument(content).toJson(QJsonDocument::Compact)))
        return true;
    qDebug() << "[DownloadManager] Unable to write the marker" << m_markerPath;
    return false;
}
