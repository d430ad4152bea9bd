// A desktop notification service of the tests' own: owns org.freedesktop.Notifications on
// the session bus it is given (DBUS_SESSION_BUS_ADDRESS), writes every Notify call as one
// JSON line to the file named by --record, and on request emits ActionInvoked as a click on
// a notification would (method Invoke(id, action) of org.tolvane.TestNotifications at
// /control). Prints "ready" once the name is its own.
//
//     test-notification-service --record FILE

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QStringList>
#include <QVariantMap>

#include <cstdio>

namespace {
const char *kService = "org.freedesktop.Notifications";
const char *kPath = "/org/freedesktop/Notifications";
}

class Notifications : public QObject
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Notifications")
public:
    explicit Notifications(const QString &recordPath)
        : m_record(recordPath)
    {
    }

public slots:
    uint Notify(const QString &appName, uint replacesId, const QString &appIcon, const QString &summary,
                const QString &body, const QStringList &actions, const QVariantMap &hints, int expireTimeout)
    {
        const uint id = replacesId != 0 ? replacesId : m_next++;
        QJsonObject line;
        line["id"] = qint64(id);
        line["app_name"] = appName;
        line["replaces_id"] = qint64(replacesId);
        line["app_icon"] = appIcon;
        line["summary"] = summary;
        line["body"] = body;
        line["actions"] = QJsonArray::fromStringList(actions);
        line["hints"] = QJsonArray::fromStringList(hints.keys());
        line["expire_timeout"] = expireTimeout;
        QFile file(m_record);
        if (file.open(QIODevice::Append)) {
            file.write(QJsonDocument(line).toJson(QJsonDocument::Compact) + "\n");
            file.close();
        }
        return id;
    }
    QStringList GetCapabilities() { return {"actions", "body"}; }
    void CloseNotification(uint) {}
    QString GetServerInformation(QString &vendor, QString &version, QString &specVersion)
    {
        vendor = "Tolvane tests";
        version = "1";
        specVersion = "1.2";
        return "test-notification-service";
    }

private:
    QString m_record;
    uint m_next = 1;
};

class Control : public QObject
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.tolvane.TestNotifications")
public slots:
    // As if the user clicked the notification (action "default") or one of its buttons.
    void Invoke(uint id, const QString &action)
    {
        QDBusMessage signal = QDBusMessage::createSignal(kPath, kService, "ActionInvoked");
        signal << id << action;
        QDBusConnection::sessionBus().send(signal);
    }
};

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QStringList arguments = app.arguments();
    const int at = arguments.indexOf("--record");
    if (at < 0 || at + 1 >= arguments.size()) {
        std::fprintf(stderr, "usage: test-notification-service --record FILE\n");
        return 2;
    }
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) {
        std::fprintf(stderr, "no session bus: %s\n", qPrintable(bus.lastError().message()));
        return 1;
    }
    Notifications notifications(arguments.at(at + 1));
    Control control;
    if (!bus.registerObject(kPath, &notifications, QDBusConnection::ExportAllSlots)
        || !bus.registerObject("/control", &control, QDBusConnection::ExportAllSlots)
        || !bus.registerService(kService)) {
        std::fprintf(stderr, "cannot own %s: %s\n", kService, qPrintable(bus.lastError().message()));
        return 1;
    }
    std::printf("ready\n");
    std::fflush(stdout);
    return app.exec();
}

#include "notification_service.moc"
