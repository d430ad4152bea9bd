#include "support/ScriptedUserInteraction.h"

#include <QEventLoop>
#include <QTimer>

#include <algorithm>

ScriptedUserInteraction::ScriptedUserInteraction()
{
    UserInteraction::install(this);
}

ScriptedUserInteraction::~ScriptedUserInteraction()
{
    if (UserInteraction::current() == this)
        UserInteraction::install(nullptr);
}

UserInteraction::Button ScriptedUserInteraction::showMessage(const Message &message)
{
    messages.append(message);
    ++m_open;
    mostOpenAtOnce = std::max(mostOpenAtOnce, m_open);
    if (holdMs > 0) {
        QEventLoop loop;
        QTimer::singleShot(holdMs, &loop, &QEventLoop::quit);
        loop.exec();
    }
    --m_open;
    if (!buttonAnswers.isEmpty())
        return buttonAnswers.takeFirst();
    return message.defaultButton != NoButton ? message.defaultButton : Ok;
}

QString ScriptedUserInteraction::chooseDirectory(const QString &caption, const QString &)
{
    directoryCaptions.append(caption);
    return directoryAnswers.isEmpty() ? QString() : directoryAnswers.takeFirst();
}

bool ScriptedUserInteraction::openUrl(const QUrl &url)
{
    openedUrls.append(url);
    return openUrlResult;
}
