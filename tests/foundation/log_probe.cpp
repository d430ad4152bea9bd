// Logs its arguments through the application's message handler, one message each:
// "debug:TEXT", "warning:TEXT", "info:TEXT", "critical:TEXT" or "fatal:TEXT".
// "where:" prints the data folder on standard output; "database:" opens the database there.
#include "base/AppPaths.h"
#include "app/LogHandler.h"
#include "catalogue/DatabaseManager.h"

#include <QCoreApplication>
#include <QDebug>

#include <cstdio>

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
        else if (level == "where")
            std::printf("%s\n", qPrintable(AppPaths::dataDir()));
        else if (level == "database")
            DatabaseManager::instance();
    }
    return 0;
}
