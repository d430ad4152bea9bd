#include "app/LogHandler.h"

#include "base/AppPaths.h"

#include <QDateTime>
#include <QFile>
#include <QTextStream>

#include <cstdlib>
#include <fcntl.h>
#include <unistd.h>

QString escapeLogText(const QString &text)
{
    QString escaped;
    escaped.reserve(text.size());
    for (const QChar c : text) {
        const ushort code = c.unicode();
        // Control characters and the Unicode line and paragraph separators: whatever a
        // message carries (a title, a server's answer) stays on its own line.
        const bool control = c.category() == QChar::Other_Control || code == 0x2028 || code == 0x2029;
        if (!control) {
            escaped += c;
        } else if (code == '\r') {
            escaped += QLatin1String("\\r");
        } else if (code == '\n') {
            escaped += QLatin1String("\\n");
        } else if (code == '\t') {
            escaped += QLatin1String("\\t");
        } else {
            escaped += (code < 0x100 ? QStringLiteral("\\x%1").arg(code, 2, 16, QLatin1Char('0'))
                                     : QStringLiteral("\\u%1").arg(code, 4, 16, QLatin1Char('0')));
        }
    }
    return escaped;
}

QString formatLogMessage(QtMsgType type, const QString &message)
{
    // The text goes through the local 8-bit encoding and is read back as UTF-8;
    // what the local encoding cannot hold does not survive. The escapes come first, so
    // that a zero character does not cut the text short.
    const QString text = QString::fromUtf8(escapeLogText(message).toLocal8Bit());
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
        // Made for its owner alone; when the file cannot be opened the message is lost and
        // the program carries on.
        QFile file;
        const int descriptor = ::open(QFile::encodeName(AppPaths::filePath("debug.log")).constData(),
                                      O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (descriptor >= 0 && !file.open(descriptor, QIODevice::WriteOnly | QIODevice::Append, QFileDevice::AutoCloseHandle))
            ::close(descriptor);
        if (file.isOpen()) {
            QTextStream stream(&file);
            stream.setCodec("UTF-8");
            stream << QDateTime::currentDateTimeUtc().toString("[dd/MM/yyyy hh:mm:ss]") << ' ' << formatted;
        }
    }
    if (type == QtFatalMsg)
        abort();
}
