#include "download/SetAsideDcps.h"

#include "catalogue/DCP.h"
#include "catalogue/DCPManager.h"
#include "download/Asset.h"
#include "download/DestinationMessages.h"
#include "download/FileManager.h"

#include <QDebug>
#include <QFileInfo>
#include <QTimer>

#include <cerrno>

SetAsideDcps::SetAsideDcps(Ask ask, QObject *parent)
    : QObject(parent)
    , m_ask(std::move(ask))
    , m_recheckTimer(new QTimer(this))
{
    connect(m_recheckTimer, &QTimer::timeout, this, &SetAsideDcps::recheckSpace);
}

void SetAsideDcps::setAside(DCP *dcp, Cause cause, const QString &drive)
{
    const QString text = cause == Cause::LinksRefused
        ? QString("Links expired: open a fresh package from Tarn")
        : QString("Not enough space on %1").arg(drive.isEmpty() ? dcp->downloadPath() : drive);
    qDebug() << "[DownloadManager] Setting DCP aside:" << dcp->uuid() << text;
    Entry entry;
    entry.cause = cause;
    entry.drive = drive;
    if (cause == Cause::NoSpace)
        entry.availableWhenSetAside = FileManager::diskSpace(dcp->downloadPath()).bytesAvailable;
    m_entries.insert(dcp->uuid(), entry);
    emit dcpSetAside(dcp);
    dcp->setSetAside(text);
    if (cause == Cause::NoSpace && !m_recheckTimer->isActive())
        m_recheckTimer->start(spaceRecheckInterval);
    emit changed();
}

void SetAsideDcps::setAsideDrive(const QString &drive, DCP *current)
{
    for (DCP *dcp : DCPManager::instance()->allDCPs()) {
        if (contains(dcp->uuid()) || dcp->isFinished())
            continue;
        if (dcp == current || (!drive.isEmpty() && FileManager::volumeRoot(dcp->downloadPath()) == drive))
            setAside(dcp, Cause::NoSpace, drive);
    }
    const QString shownKey = "space " + drive;
    if (!m_boxesShown.contains(shownKey)) {
        m_boxesShown.insert(shownKey);
        m_ask(DestinationMessages::diskSpace());
    }
}

bool SetAsideDcps::firstLinksBox(const QString &dcpUuid)
{
    const QString shownKey = "links " + dcpUuid;
    if (m_boxesShown.contains(shownKey))
        return false;
    m_boxesShown.insert(shownKey);
    return true;
}

void SetAsideDcps::bringBack(DCP *dcp)
{
    if (!dcp || m_entries.remove(dcp->uuid()) == 0)
        return;
    qDebug() << "[DownloadManager] DCP back in the queue:" << dcp->uuid();
    m_boxesShown.remove("links " + dcp->uuid());
    dcp->setSetAside(QString());
    emit dcpBack(dcp);
    emit changed();
}

bool SetAsideDcps::release(DCP *dcp)
{
    if (m_entries.remove(dcp->uuid()) == 0)
        return false;
    dcp->setSetAside(QString());
    emit changed();
    return true;
}

void SetAsideDcps::forget(DCP *dcp)
{
    const bool wasAside = m_entries.remove(dcp->uuid()) > 0;
    dcp->setSetAside(QString());
    if (wasAside)
        emit changed();
}

void SetAsideDcps::recheckSpace()
{
    QList<DCP *> back;
    for (auto it = m_entries.constBegin(); it != m_entries.constEnd(); ++it) {
        if (it.value().cause != Cause::NoSpace)
            continue;
        DCP *dcp = DCPManager::instance()->getDCP(it.key());
        if (!dcp)
            continue;
        // Room for all the DCP still lacks; what its files hold is on the drive already.
        quint64 needed = 0;
        for (Asset *asset : dcp->getAssets())
            if (asset->isDownloadEligible())
                needed += bytesStillToFetch(asset);
        const FileManager::DiskSpace space = FileManager::diskSpace(dcp->downloadPath() + "/" + dcp->title());
        if (space.readable && roomFor(space, needed) && space.bytesAvailable > it.value().availableWhenSetAside)
            back.append(dcp);
    }
    for (DCP *dcp : qAsConst(back)) {
        m_boxesShown.remove("space " + m_entries.value(dcp->uuid()).drive);
        qDebug() << "[DownloadManager] Space freed for DCP:" << dcp->uuid();
        bringBack(dcp);
    }
    bool waitingForSpace = false;
    for (const Entry &entry : qAsConst(m_entries))
        waitingForSpace = waitingForSpace || entry.cause == Cause::NoSpace;
    if (!waitingForSpace)
        m_recheckTimer->stop();
}

SetAsideDcps::Room SetAsideDcps::roomForTransfer(const Asset *asset, QString *drive)
{
    const DCP *dcp = asset->dcp();
    const QString directory = dcp->downloadPath() + "/" + dcp->title();
    const FileManager::DiskSpace space = FileManager::diskSpace(directory);
    // What the file already holds is on the drive: only the rest needs room.
    const quint64 needed = bytesStillToFetch(asset);
    if (!(space.readable && roomFor(space, needed)) && !hasEnoughDiskSpace(directory, needed)) {
        // A drive that does not answer stops everything; a full one only its own DCPs.
        if (!space.readable)
            return Room::Unreadable;
        *drive = FileManager::volumeRoot(directory);
        return Room::Full;
    }
    // Room on the drive again: the next time it fills up, the operator is told again.
    if (!m_boxesShown.isEmpty())
        m_boxesShown.remove("space " + FileManager::volumeRoot(directory));
    return Room::Enough;
}

bool SetAsideDcps::hasEnoughDiskSpace(const QString &directory, quint64 size)
{
    qDebug() << "[DownloadManager] Asset size: " << size;
    const FileManager::DiskSpace space = FileManager::diskSpace(directory);
    if (!space.readable) {
        // Not a full disk: the drive does not answer, and the user is told so.
        qDebug() << "[DownloadManager] Unable to read the free space of" << directory << ":" << space.error;
        m_ask(DestinationMessages::writeProblem(
            QString("The free space of the drive that holds %1 could not be read (%2), so we paused your download.")
                .arg(directory, space.error)));
        return false;
    }
    // What the user may write: blocks the file system reserves for the administrator are
    // no room for an ordinary user's download.
    qDebug() << "[DownloadManager] Available Disk space " << directory << ": " << space.bytesAvailable;
    return roomFor(space, size);
}

bool SetAsideDcps::driveIsFull(const QString &path, int error, const Asset *asset)
{
    if (error == ENOSPC || error == EDQUOT)
        return true;
    if (!asset)
        return false;
    const FileManager::DiskSpace space = FileManager::diskSpace(QFileInfo(path).absolutePath());
    const quint64 stored = FileManager::fileSize(path);
    const quint64 left = asset->size() > stored ? asset->size() - stored : 0;
    return space.readable && space.bytesAvailable < left;
}

quint64 SetAsideDcps::bytesStillToFetch(const Asset *asset)
{
    const quint64 onDisk = asset->sizeOnDisk();
    return asset->size() > onDisk ? asset->size() - onDisk : 0;
}

bool SetAsideDcps::roomFor(const FileManager::DiskSpace &space, quint64 needed)
{
    return needed == 0 || space.bytesAvailable > needed;
}
