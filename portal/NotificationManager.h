#pragma once

#include "portal/Notification.h"

#include <QMap>
#include <QNetworkAccessManager>
#include <QObject>
#include <QPointer>
#include <QTimer>

class Reel;
class QNetworkReply;

// Tells the portal how far each reel has come. Every reel event is stored first, then
// sent one at a time in key order; only the portal's "ok" marks it synced. A reel's files
// stay hidden until every event of the reel, its verification among them, is acknowledged.
// Lives on the main thread: every event is raised there.
class NotificationManager : public QObject
{
    Q_OBJECT
public:
    static NotificationManager *instance();
    // The manager when it has been made; null otherwise (nothing is sent or loaded for it).
    static NotificationManager *existing();

    // Why the portal did not confirm the last event sent ("Connection refused", "the
    // portal answered 500"); empty after an event it confirmed.
    QString lastError() const { return m_lastError; }
    int waitingCount() const { return pendingNotifications.size(); }

    void notify(Reel *reel, int event);
    bool hasNotification(const QString &key) const;
    void loadNotifications();
    void sendNextNotification();

    static QString notificationKey(const Notification &notification);
    static QString assetSignature(const Reel *reel);

    // Timings as members so tests can shorten them.
    int consumerInterval() const { return m_consumerTimer.interval(); }
    void setConsumerInterval(int milliseconds);
    int requestTimeout() const { return m_requestTimeout; }
    void setRequestTimeout(int milliseconds) { m_requestTimeout = milliseconds; }

    // The program is closing: waits at most timeoutMs for the answer to the event in flight,
    // so that an event the portal has acknowledged is recorded and not sent again at the
    // next start.
    void finishCurrentRequest(int timeoutMs = QuitWaitMs);
    // The quit's wait for the event in flight, when this manager exists; the download
    // manager calls it once its transfer has stopped.
    static void finishRequestInFlight();
    // After a reel passed verification: when every event of it was acknowledged before (its
    // files were taken back and verified again, so nothing new is sent), its hidden files
    // are revealed now rather than at the next start.
    void revealIfAlreadyAcknowledged(Reel *reel);
    static constexpr int QuitWaitMs = 1000;

    QMap<QString, Notification> pendingNotifications;
    QMap<QString, Notification> syncedNotifications;

private slots:
    void requestFinished();
    void consumerTimerTimeout();

private:
    NotificationManager();
    void revealIfAcknowledged(const Notification &accepted);
    // A run that ended between storing a reel's last acknowledgement and revealing its
    // files left them hidden: the first timeout of a run reveals every such reel.
    void revealReelsLeftHidden();
    // Reveals the files of a reel whose every event the portal acknowledged, once each of
    // them is verified.
    void revealVerifiedReel(Reel *reel);

    QNetworkAccessManager m_network;
    QPointer<QNetworkReply> m_reply;
    QTimer m_consumerTimer;
    bool m_sending = false;
    Notification m_currentNotification;
    // A request that never answers would hold back every later event and keep the reel's
    // files hidden for good: it is given up after this time and counts as not accepted.
    int m_requestTimeout = 60000;
    bool m_leftHiddenChecked = false;
    QString m_lastError;
};
