#include "portal/NotificationManager.h"

#include "base/PortalHosts.h"
#include "catalogue/DCP.h"
#include "catalogue/DCPManager.h"
#include "catalogue/DatabaseManager.h"
#include "catalogue/Reel.h"
#include "download/Asset.h"
#include "download/FileManager.h"

#include <QCoreApplication>
#include <QDebug>
#include <QEventLoop>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QSqlQuery>
#include <QUrlQuery>
#include <QVariant>

#include <algorithm>

namespace {

NotificationManager *singleton = nullptr;

}

NotificationManager *NotificationManager::instance()
{
    if (!singleton)
        singleton = new NotificationManager();
    return singleton;
}

NotificationManager *NotificationManager::existing()
{
    return singleton;
}

void NotificationManager::finishRequestInFlight()
{
    if (singleton)
        singleton->finishCurrentRequest();
}

void NotificationManager::finishCurrentRequest(int timeoutMs)
{
    if (!m_sending || !m_reply || m_reply->isFinished())
        return;
    QEventLoop loop;
    // requestFinished() was connected first, so the answer is handled before the loop ends.
    connect(m_reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
    QTimer::singleShot(timeoutMs, &loop, &QEventLoop::quit);
    loop.exec(QEventLoop::ExcludeUserInputEvents);
}

NotificationManager::NotificationManager()
{
    loadNotifications();
    m_consumerTimer.setTimerType(Qt::PreciseTimer);
    connect(&m_consumerTimer, &QTimer::timeout, this, &NotificationManager::consumerTimerTimeout);
    m_consumerTimer.setInterval(5000);
    m_consumerTimer.start();
}

void NotificationManager::setConsumerInterval(int milliseconds)
{
    m_consumerTimer.setInterval(milliseconds);
}

QString NotificationManager::notificationKey(const Notification &notification)
{
    return QString("%1-%2-%3-%4")
        .arg(notification.campaign_dcp_id)
        .arg(notification.reel_number)
        .arg(notification.event)
        .arg(notification.reel_assets_hash);
}

QString NotificationManager::assetSignature(const Reel *reel)
{
    QMap<QString, quint32> attempts;
    for (const Asset *asset : reel->getAssets())
        attempts.insert(asset->uuid(), asset->downloadAttempts());
    QString signature;
    for (auto it = attempts.constBegin(); it != attempts.constEnd(); ++it)
        signature += it.key() + QString::number(it.value());
    return signature;
}

bool NotificationManager::hasNotification(const QString &key) const
{
    return syncedNotifications.contains(key) || pendingNotifications.contains(key);
}

void NotificationManager::notify(Reel *reel, int event)
{
    DCP *dcp = reel->getDCP();
    Notification notification;
    notification.user_uuid = dcp ? dcp->userUuid() : QString();
    notification.campaign_dcp_id = dcp ? dcp->campaignDcpId() : 0;
    notification.reel_uuid = reel->uuid();
    notification.reel_number = reel->reelNumber();
    notification.reel_assets_hash = QString("%1-%2").arg(reel->dbId()).arg(assetSignature(reel));
    notification.event = quint32(event);
    notification.synced = false;
    const QString key = notificationKey(notification);
    if (hasNotification(key))
        return;
    DatabaseManager::instance()->insertNotification(&notification);
    pendingNotifications.insert(key, notification);
}

void NotificationManager::loadNotifications()
{
    qDebug() << "[NotificationManager] Loading Notifications...";
    QSqlQuery query = DatabaseManager::instance()->getNotificationsQuery();
    while (query.next()) {
        Notification notification;
        notification.id = query.value(0).toULongLong();
        notification.user_uuid = query.value(1).toString();
        notification.campaign_dcp_id = query.value(2).toULongLong();
        notification.reel_uuid = query.value(3).toString();
        notification.reel_assets_hash = query.value(4).toString();
        notification.reel_number = query.value(5).toUInt();
        notification.event = query.value(6).toUInt();
        notification.synced = query.value(7).toBool();
        const QString key = notificationKey(notification);
        if (notification.synced)
            syncedNotifications.insert(key, notification);
        else
            pendingNotifications.insert(key, notification);
    }
}

void NotificationManager::consumerTimerTimeout()
{
    // Not in the constructor: start-up loads the catalogue after creating this manager.
    if (!m_leftHiddenChecked) {
        m_leftHiddenChecked = true;
        revealReelsLeftHidden();
    }
    if (pendingNotifications.isEmpty() || m_sending)
        return;
    m_consumerTimer.stop();
    sendNextNotification();
}

void NotificationManager::sendNextNotification()
{
    if (pendingNotifications.isEmpty())
        return;
    m_currentNotification = pendingNotifications.first();
    m_sending = true;

    QUrl url = PortalHosts::notificationUrl("/notification/dcp");
    QUrlQuery query;
    query.addQueryItem("user_uuid", m_currentNotification.user_uuid);
    query.addQueryItem("campaign_dcp_id", QString::number(m_currentNotification.campaign_dcp_id));
    query.addQueryItem("reel_number", QString::number(m_currentNotification.reel_number));
    query.addQueryItem("event", QString::number(m_currentNotification.event));
    url.setQuery(query);

    QNetworkRequest request(url);
    request.setTransferTimeout(m_requestTimeout);
    QNetworkReply *reply = m_network.get(request);
    m_reply = reply;
    connect(reply, &QNetworkReply::finished, this, &NotificationManager::requestFinished);
    qDebug() << "[NotificationManager] Notify for: " << m_currentNotification.campaign_dcp_id << " - "
             << m_currentNotification.reel_number << "Event: " << m_currentNotification.event;
}

void NotificationManager::requestFinished()
{
    auto *reply = qobject_cast<QNetworkReply *>(sender());
    if (!reply)
        return;
    const bool accepted =
        reply->error() == QNetworkReply::NoError && reply->bytesAvailable() == 2 && reply->readAll() == "ok";
    Notification notification = m_currentNotification;

    if (accepted) {
        qDebug() << "[NotificationManager] Sync Reel num: " << notification.reel_number << "Ev: " << notification.event
                 << "Sc: " << "true";
        notification.synced = true;
        DatabaseManager::instance()->updateNotificationSynced(&notification);
        const QString key = notificationKey(notification);
        syncedNotifications.insert(key, notification);
        pendingNotifications.remove(key);
        revealIfAcknowledged(notification);
        m_lastError.clear();
    } else {
        qDebug() << "[NotificationManager] Failed Reel num: " << notification.reel_number << "Ev: " << notification.event
                 << "Sc: " << "true";
        const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
        if (reply->error() == QNetworkReply::OperationCanceledError)
            m_lastError = "no answer";
        else if (status >= 300 || (status > 0 && reply->error() != QNetworkReply::NoError))
            m_lastError = QString("the portal answered %1").arg(status);
        else if (reply->error() != QNetworkReply::NoError)
            m_lastError = reply->errorString();
        else
            m_lastError = "the portal did not answer ok";
    }

    m_sending = false;
    m_currentNotification = Notification();
    m_consumerTimer.start();
    reply->deleteLater();
}

void NotificationManager::revealReelsLeftHidden()
{
    // One pass over the events for the whole catalogue, then the disk only for the reels the
    // portal has acknowledged in full.
    const auto acknowledgements = DatabaseManager::instance()->reelAcknowledgements();
    for (Reel *reel : DCPManager::instance()->allReels()) {
        const auto found = acknowledgements.constFind(DatabaseManager::reelKey(reel->uuid(), reel->dbId()));
        if (found == acknowledgements.constEnd() || !found->allSynced || !found->verified)
            continue;
        const QList<Asset *> assets = reel->getAssets();
        const bool anyHidden = std::any_of(assets.begin(), assets.end(),
                                           [](Asset *asset) { return FileManager::isHidden(asset->filePath()); });
        if (anyHidden)
            revealVerifiedReel(reel);
    }
}

void NotificationManager::revealIfAlreadyAcknowledged(Reel *reel)
{
    const QList<Asset *> assets = reel->getAssets();
    if (std::none_of(assets.begin(), assets.end(), [](Asset *asset) { return FileManager::isHidden(asset->filePath()); }))
        return;
    Notification notification;
    notification.reel_uuid = reel->uuid();
    revealIfAcknowledged(notification);
}

void NotificationManager::revealIfAcknowledged(const Notification &accepted)
{
    Reel *reel = DCPManager::instance()->getReel(accepted.reel_uuid);
    const QString currentPrefix = reel ? QString::number(reel->dbId()) + "-" : QString();
    bool verified = false;
    QSqlQuery rows = DatabaseManager::instance()->getReelNotificationsQuery(accepted.reel_uuid);
    while (rows.next()) {
        // Rows left by an earlier reel with the same uuid do not count.
        if (reel && !rows.value(4).toString().startsWith(currentPrefix))
            continue;
        if (!rows.value(7).toBool())
            return;
        if (rows.value(6).toInt() == 8)
            verified = true;
    }
    if (!verified)
        return;
    if (!reel) {
        qDebug() << "[NotificationManager] Revealing ...";
        qDebug() << "[NotificationManager] Reveal files failed! Reel with uuid not found: " << accepted.reel_uuid;
        return;
    }
    revealVerifiedReel(reel);
}

void NotificationManager::revealVerifiedReel(Reel *reel)
{
    // Acknowledged is not enough: a file taken back for downloading again stays hidden until
    // it is verified again.
    const QList<Asset *> assets = reel->getAssets();
    if (!std::all_of(assets.begin(), assets.end(), [](Asset *asset) { return asset->isDownloadChecksummed(); }))
        return;
    qDebug() << "[NotificationManager] Revealing ...";
    qDebug() << "[NotificationManager] Reveal files for reel: " << reel->uuid();
    for (Asset *asset : reel->getAssets())
        asset->reveal();
    emit reel->downloadSynced();
    if (reel->getDCP())
        emit reel->getDCP()->statusChanged();
}
