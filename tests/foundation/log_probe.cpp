// Logs its arguments through the application's message handler, one message each:
// "debug:TEXT", "warning:TEXT", "info:TEXT", "critical:TEXT" or "fatal:TEXT".
#include "app/LogHandler.h"

#include <QCoreApplication>
#include <QDebug>

int main(int argc, char **argv)
{
    qInstallMessageHandler(logMessageHandler);
    QCoreApplication app(argc, argv);
    const QStringList arguments = app.arguments().mid(1);
    for (const QString &argument : arguments) {
        const QString level = argument.section(':', 0, 0);
        const QByteArray text = argument.section(':', 1).toUtf8();
        if (level == "debug")
            qDebug("%s", text.constData());
        else if (level == "info")
            qInfo("%s", text.constData());
        else if (level == "warning")
            qWarning("%s", text.constData());
        else if (level == "critical")
            qCritical("%s", text.constData());
        else if (level == "fatal")
            qFatal("%s", text.constData());
    }
    return 0;
}
