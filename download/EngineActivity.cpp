#include "download/EngineActivity.h"

#include "catalogue/DCP.h"
#include "download/Asset.h"
#include "download/ChecksumWorker.h"
#include "download/DownloadManager.h"
#include "download/SetAsideDcps.h"
#include "portal/NotificationManager.h"

#include <QDateTime>

EngineActivity::Facts EngineActivity::factsOf(const DownloadManager &engine)
{
    Facts facts;
    facts.paused = engine.isPaused();
    const Asset *current = engine.downloadingAsset();
    facts.hasCurrentAsset = current != nullptr;
    facts.currentHasDcp = current && current->dcp();
    if (facts.currentHasDcp)
        facts.currentTitle = current->dcp()->friendlyTitle();
    facts.transferRunning = engine.isTransferRunning();
    facts.verifying = engine.checksumWorkerObject() ? engine.checksumWorkerObject()->jobCount() : 0;
    if (const NotificationManager *notifications = NotificationManager::existing()) {
        facts.eventsWaiting = notifications->waitingCount();
        facts.portalError = notifications->lastError();
    }
    facts.setAside = engine.setAsideDcps() ? engine.setAsideDcps()->count() : 0;
    return facts;
}

QString EngineActivity::portalError()
{
    const NotificationManager *notifications = NotificationManager::existing();
    return notifications && notifications->waitingCount() > 0 ? notifications->lastError() : QString();
}

void EngineActivity::setRetry(const QString &reason, qint64 retryAtMs)
{
    m_retryReason = reason;
    m_retryAt = retryAtMs;
}

void EngineActivity::clearRetry()
{
    m_retryReason.clear();
}

bool EngineActivity::update(const Facts &facts)
{
    QString state;
    QString text;
    describe(facts, m_retryReason, m_retryAt, &state, &text);
    if (state == m_state && text == m_text)
        return false;
    m_state = state;
    m_text = text;
    return true;
}

void EngineActivity::describe(const Facts &facts, const QString &retryReason, qint64 retryAtMs, QString *state,
                              QString *text)
{
    if (facts.paused) {
        *state = "paused";
        *text = "Paused.";
    } else if (facts.hasCurrentAsset && !retryReason.isEmpty() && !facts.transferRunning) {
        *state = "retrying";
        *text = QString("Waiting to retry: %1. Next try at %2.")
                    .arg(retryReason, QDateTime::fromMSecsSinceEpoch(retryAtMs).toString("HH:mm:ss"));
    } else if (facts.hasCurrentAsset && facts.currentHasDcp) {
        *state = "downloading";
        *text = QString("Downloading %1...").arg(facts.currentTitle);
    } else if (facts.verifying > 0) {
        *state = "verifying";
        *text = "Verifying the downloaded files...";
    } else if (facts.eventsWaiting > 0) {
        *state = "confirming";
        *text = facts.portalError.isEmpty()
            ? QString("Waiting for Tarn to confirm the downloaded reels...")
            : QString("Waiting for Tarn to confirm; trying again (%1).").arg(facts.portalError);
    } else if (facts.setAside > 0) {
        *state = "set_aside";
        *text = facts.setAside == 1 ? QString("1 DCP needs you.") : QString("%1 DCPs need you.").arg(facts.setAside);
    } else {
        *state = "ready";
        *text = "Ready.";
    }
}
