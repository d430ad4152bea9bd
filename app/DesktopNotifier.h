#pragma once

#include <QDBusConnection>
#include <QHash>
#include <QObject>
#include <QPointer>
#include <QSet>
#include <QString>
#include <QWindow>

class DCP;
class DCPManager;

// Tells the operator through the desktop's notification service when a DCP is ready (every
// reel downloaded, verified and confirmed by Tarn) and when one needs them (set aside, a
// reel that failed verification three times), so that nobody has to watch the window.
// Each change of state is told once; what already holds when the program starts is not.
// Clicking a notification raises the window on that DCP's page. Without a notification
// service nothing fails: one log line says so and the window alone shows the state.
class DesktopNotifier : public QObject
{
    Q_OBJECT
public:
    DesktopNotifier(DCPManager *catalogue, const QDBusConnection &bus, QObject *parent = nullptr);

    // Takes the catalogue's states as known and looks for the notification service.
    void start();
    // The main window, raised and shown on a DCP's page when its notification is clicked.
    void setWindow(QWindow *window) { m_window = window; }

    // Notify calls sent and not answered yet.
    int callsInFlight() const { return m_inFlight; }
    // Notify calls sent since the start.
    int callsSent() const { return m_sentCalls; }

    static QString readySummary(const DCP *dcp);
    static QString needsYouSummary(const DCP *dcp);

private slots:
    void requestCheck();
    void check();
    void actionInvoked(uint id, const QString &action);

private:
    struct Known {
        bool ready = false;
        QString setAside;
        QSet<QString> corruptedReels;
    };
    static Known stateOf(const DCP *dcp);
    void follow(DCP *dcp);
    void notify(const DCP *dcp, const QString &summary, const QString &body);
    void unavailable(const QString &reason);
    void lookForService();

    DCPManager *m_catalogue;
    QDBusConnection m_bus;
    QPointer<QWindow> m_window;
    QHash<QString, Known> m_known;      // by DCP uuid
    QSet<QObject *> m_followed;         // DCPs and reels whose signals are connected
    QHash<uint, QString> m_sent;        // notification id -> DCP uuid
    bool m_checkQueued = false;
    bool m_started = false;
    bool m_unavailableLogged = false;
    int m_inFlight = 0;
    int m_sentCalls = 0;
};
