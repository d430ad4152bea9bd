#include "base/WindowCall.h"

#include "base/UserInteraction.h"

#include <QDebug>

#include <exception>

namespace {

void report(const char *logLine, const QString &failureText, const QString &reason)
{
    qDebug() << logLine << reason;
    UserInteraction::Message message;
    message.icon = UserInteraction::Icon::Critical;
    message.title = "Tolvane Downloader";
    message.text = failureText;
    message.informativeText = reason
        + "\r\n\r\nPlease try again. If this keeps happening, restart the Tolvane Downloader and check that the "
          "drive holding its database can be written.";
    message.buttons = UserInteraction::Ok;
    UserInteraction::current()->showMessage(message);
}

}

namespace WindowCall {

bool guard(const char *logLine, const QString &failureText, const std::function<void()> &call)
{
    try {
        call();
        return true;
    } catch (const std::exception &error) {
        report(logLine, failureText, QString::fromUtf8(error.what()));
    } catch (...) {
        report(logLine, failureText, QStringLiteral("Unknown error"));
    }
    return false;
}

}
