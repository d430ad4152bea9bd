#pragma once

#include <QString>
#include <QtGlobal>

// Every diagnostic line of the program ends in "debug.log" beside the executable:
// one open, append and close per message, so a line is on disk as soon as it is logged.
void logMessageHandler(QtMsgType type, const QMessageLogContext &context, const QString &message);

// The message text as it is written: control characters (CR, LF, the other C0 characters,
// DEL, C1) and the Unicode line separators as escapes such as "\r", "\n" or "\x1b", so
// that one message is one line.
QString escapeLogText(const QString &text);

// The line as it is written, time stamp excluded: the level template applied to the text.
QString formatLogMessage(QtMsgType type, const QString &message);
