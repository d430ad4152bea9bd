#pragma once

// A D-Bus session of a test's own (dbus-daemon --session), and the tests' notification
// service on it, recording what it was asked to show. Both end with their objects.

#include "support/TestMain.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDir>
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

// A session bus listening in folder, whose only service folder is folder/services.
inline QString busConfiguration(const QString &folder)
{
    return QString("<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\"\n"
                   " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
                   "<busconfig>\n"
                   "  <type>session</type>\n"
                   "  <keep_umask/>\n"
                   "  <listen>unix:tmpdir=%1</listen>\n"
                   "  <auth>EXTERNAL</auth>\n"
                   "  <servicedir>%1/services</servicedir>\n"
                   "  <policy context=\"default\">\n"
                   "    <allow send_destination=\"*\" eavesdrop=\"true\"/>\n"
                   "    <allow eavesdrop=\"true\"/>\n"
                   "    <allow own=\"*\"/>\n"
                   "  </policy>\n"
                   "</busconfig>\n")
        .arg(folder.toHtmlEscaped());
}

class PrivateBus
{
public:
    ~PrivateBus() { stop(); }

    bool start()
    {
        // A configuration of its own: the standard session configuration lists the system's
        // service folders, so a notification daemon installed on the machine (dunst,
        // xfce4-notifyd, ...) would be started on demand and answer for the tests' service.
        const QString folder = TestSupport::dataDir() + "/private-bus";
        QDir().mkpath(folder + "/services");
        QFile config(folder + "/session.conf");
        if (!config.open(QIODevice::WriteOnly | QIODevice::Truncate))
            return false;
        config.write(busConfiguration(folder).toUtf8());
        config.close();
        m_process.setProgram(QStandardPaths::findExecutable("dbus-daemon"));
        m_process.setArguments({"--config-file=" + config.fileName(), "--nofork", "--print-address=1"});
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
