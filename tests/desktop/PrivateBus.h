#pragma once

// A D-Bus session of a test's own (dbus-daemon --session), and the tests' notification
// service on it, recording what it was asked to show. Both end with their objects.

#include "support/TestMain.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QList>
#include <QProcess>
#include <QProcessEnvironment>
#include <QStandardPaths>
#include <QString>

namespace DesktopFixture {

inline bool haveDbusDaemon()
{
    return !QStandardPaths::findExecutable("dbus-daemon").isEmpty();
}

// Starts the process and returns the first line it prints, trimmed (empty when it did not
// start or printed nothing within the wait).
inline QString startAndReadFirstLine(QProcess &process)
{
    process.start();
    if (!process.waitForStarted(10000))
        return QString();
    while (!process.canReadLine()) {
        if (!process.waitForReadyRead(10000))
            return QString();
    }
    return QString::fromUtf8(process.readLine()).trimmed();
}

class PrivateBus
{
public:
    ~PrivateBus() { stop(); }

    bool start()
    {
        m_process.setProgram(QStandardPaths::findExecutable("dbus-daemon"));
        m_process.setArguments({"--session", "--nofork", "--print-address=1"});
        m_process.setProcessChannelMode(QProcess::SeparateChannels);
        m_address = startAndReadFirstLine(m_process);
        return !m_address.isEmpty();
    }

    void stop()
    {
        if (m_process.state() != QProcess::NotRunning) {
            m_process.terminate();
            if (!m_process.waitForFinished(10000)) {
                m_process.kill();
                m_process.waitForFinished(10000);
            }
        }
    }

    QString address() const { return m_address; }

    // A connection of this process to the bus, under its own name.
    QDBusConnection connect(const QString &name) const { return QDBusConnection::connectToBus(m_address, name); }

private:
    QProcess m_process;
    QString m_address;
};

class NotificationService
{
public:
    ~NotificationService() { stop(); }

    bool start(const PrivateBus &bus, const QString &recordPath)
    {
        m_record = recordPath;
        m_bus = QDBusConnection::connectToBus(bus.address(), "notification-service-control");
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert("DBUS_SESSION_BUS_ADDRESS", bus.address());
        m_process.setProcessEnvironment(environment);
        m_process.setProgram(TestSupport::builtExecutable("tests/desktop/test-notification-service"));
        m_process.setArguments({"--record", recordPath});
        m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        return startAndReadFirstLine(m_process) == "ready" && m_bus.isConnected();
    }

    void stop()
    {
        if (m_process.state() != QProcess::NotRunning) {
            m_process.terminate();
            if (!m_process.waitForFinished(10000)) {
                m_process.kill();
                m_process.waitForFinished(10000);
            }
        }
    }

    // Every Notify call so far, oldest first.
    QList<QJsonObject> records() const
    {
        QList<QJsonObject> out;
        QFile file(m_record);
        if (!file.open(QIODevice::ReadOnly))
            return out;
        while (!file.atEnd()) {
            const QByteArray line = file.readLine().trimmed();
            if (!line.isEmpty())
                out.append(QJsonDocument::fromJson(line).object());
        }
        return out;
    }

    // As if the user clicked the notification with this id.
    bool click(uint id, const QString &action = "default")
    {
        QDBusMessage call = QDBusMessage::createMethodCall("org.freedesktop.Notifications", "/control",
                                                           "org.tolvane.TestNotifications", "Invoke");
        call << id << action;
        return m_bus.call(call).type() == QDBusMessage::ReplyMessage;
    }

private:
    QProcess m_process;
    QString m_record;
    QDBusConnection m_bus{QString()};
};

}
