#include "download/TransferProgress.h"

#include "catalogue/DCP.h"
#include "catalogue/Reel.h"
#include "download/Asset.h"
#include "portal/NotificationManager.h"

#include <QDateTime>

#include <cstdlib>

namespace {

// One sample clock for every transfer of the process; set at the first tick.
qint64 lastSampleTime = -1;

}

void TransferProgress::tickStarts()
{
    m_tickStart = QDateTime::currentMSecsSinceEpoch();
    if (lastSampleTime < 0)
        lastSampleTime = m_tickStart;
    m_elapsed = std::llabs(m_tickStart - lastSampleTime);
}

bool TransferProgress::stored(Asset *asset, quint64 bytes, double *speed)
{
    m_bytesSinceSample += bytes;
    NotificationManager *notifications = NotificationManager::instance();
    const QList<Reel *> reels = asset->reels();
    for (Reel *reel : reels)
        notifications->notify(reel, 1);
    if (m_elapsed < 200)
        return false;
    lastSampleTime = m_tickStart;
    *speed = double(m_bytesSinceSample) * 1000.0 / double(m_elapsed);
    m_bytesSinceSample = 0;
    for (Reel *reel : reels) {
        emit reel->downloadProgress(quint64(*speed));
        if (reel->getDCP())
            emit reel->getDCP()->downloadProgress();
        const int event = progressEvent(reel->getDownloadedSize(), reel->getTotalSize());
        if (event != 0)
            notifications->notify(reel, event);
    }
    return true;
}

int TransferProgress::progressEvent(quint64 downloaded, quint64 total)
{
    // A reel without bytes has no percentage to report.
    if (total == 0)
        return 0;
    const quint64 percentage = downloaded * 100 / total;
    if (percentage >= 75)
        return 5;
    if (percentage >= 50)
        return 4;
    if (percentage >= 25)
        return 3;
    return 0;
}
