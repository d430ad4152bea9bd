#include "app/LogHandler.h"

#include "base/AppPaths.h"

#include <QDateTime>
#include <QFile>
#include <QTextStream>

#include <cstdlib>

QString formatLogMessage(QtMsgType type, const QString &message)
{
    // The text goes through the local 8-bit encoding and is read back as UTF-8;
    // what the local encoding cannot hold does not survive.
    const QString text = QString::fromUtf8(message.toLocal8Bit());
    switch (type) {
    case QtDebugMsg:
        return QString("%1\r\n").arg(text);
    case QtInfoMsg:
        return QString("Info: %1\r\n").arg(text);
    case QtWarningMsg:
        return QString("Warning: %1\r\n").arg(text);
    case QtCriticalMsg:
        return QString("Critical: %1\r\n").arg(text);
    case QtFatalMsg:
        return QString("Fatal: %1\r\n").arg(text);
    }
    return QString("%1\r\n").arg(text);
}

void logMessageHandler(QtMsgType type, const QMessageLogContext &, const QString &message)
{
    const QString formatted = formatLogMessage(type, message);
    {
        QFile file(AppPaths::filePath("debug.log"));
        // When the file cannot be opened the message is lost; the program carries on.
        if (file.open(QIODevice::WriteOnly | QIODevice::Append)) {
            QTextStream stream(&file);
            stream.setCodec("UTF-8");
            stream << QDateTime::currentDateTimeUtc().toString("[dd/MM/yyyy hh:mm:ss]") << ' ' << formatted;
        }
    }
    if (type == QtFatalMsg)
        abort();
}
