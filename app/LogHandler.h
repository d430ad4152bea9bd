#pragma once

#include <QString>
#include <QtGlobal>

// Every diagnostic line of the program ends in "debug.log" beside the executable:
// one open, append and close per message, so a line is on disk as soon as it is logged.
void logMessageHandler(QtMsgType type, const QMessageLogContext &context, const QString &message);

// The line as it is written, time stamp excluded: the level template applied to the text.
QString formatLogMessage(QtMsgType type, const QString &message);
