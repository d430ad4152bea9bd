#include "download/DestinationProblems.h"

#include "catalogue/DCP.h"
#include "download/Asset.h"
#include "download/DestinationMessages.h"
#include "download/DownloadManager.h"
#include "download/FileManager.h"
#include "download/SetAsideDcps.h"

#include <QDebug>
#include <QFileInfo>

DestinationProblems::DestinationProblems(DownloadManager *engine)
    : m_engine(engine)
{
}

bool DestinationProblems::readyFor(Asset *asset)
{
    DCP *dcp = asset->dcp();
    // A download folder that has gone (a drive that was unplugged) is not made again on
    // whatever volume now holds its parent.
    if (!FileManager::dirExists(dcp->downloadPath())) {
        qDebug() << "[DownloadManager] Download folder missing:" << dcp->downloadPath();
        m_engine->pauseDownloading(true);
        m_engine->askUser(DestinationMessages::writeProblem(
            QString("The download folder %1 is not there any more, so we paused your download.").arg(dcp->downloadPath())));
        return false;
    }
    QString fullDrive;
    switch (m_engine->setAsideDcps()->roomForTransfer(asset, &fullDrive)) {
    case SetAsideDcps::Room::Enough:
        return true;
    case SetAsideDcps::Room::Unreadable:
        m_engine->pauseDownloading(true);
        return false;
    case SetAsideDcps::Room::Full:
        m_engine->setAsideDcps()->setAsideDrive(fullDrive, dcp);
        m_engine->startNextSoon();
        return false;
    }
    return false;
}

void DestinationProblems::cannotOpen(Asset *asset)
{
    const QString path = asset->filePath();
    stopDownloads(asset, "cannot open " + path);
    m_engine->askUser(DestinationMessages::writeProblem(
        QString("The file %1 could not be opened for writing, so we paused your download.").arg(path)));
}

void DestinationProblems::writeFailed(Asset *asset, int error)
{
    const QString path = asset->filePath();
    const QString errorText = FileManager::systemErrorText(error);
    if (m_engine->isShuttingDown()) {
        // The next start makes the file durable again before resuming, and stops there.
        qDebug() << "[DownloadManager] Quitting after a failed write of" << path << ":" << errorText;
        m_engine->markWriteFailed();
        return;
    }
    // Only a full disk is reported as one: a drive that was pulled, an I/O error or a file
    // too large for the file system is a different problem for the user to solve.
    if (SetAsideDcps::driveIsFull(path, error, asset)) {
        // Only the DCPs bound for the full drive wait; the others go on.
        qDebug() << "[DownloadManager] Stopping downloads to a full drive:" << "writing " + path + " failed: " + errorText;
        m_engine->markWriteFailed();
        asset->closeFile();
        m_engine->setAsideDcps()->setAsideDrive(FileManager::volumeRoot(QFileInfo(path).absolutePath()), asset->dcp());
        m_engine->startNextSoon();
        return;
    }
    stopDownloads(asset, "writing " + path + " failed: " + errorText);
    m_engine->askUser(DestinationMessages::writeProblem(
        QString("Writing the file %1 failed (%2), so we paused your download.").arg(path, errorText)));
}

void DestinationProblems::stopDownloads(Asset *asset, const QString &reason)
{
    qDebug() << "[DownloadManager] Stopping downloads:" << reason;
    m_engine->markWriteFailed();
    asset->closeFile();
    m_engine->pauseDownloading(true);
}
