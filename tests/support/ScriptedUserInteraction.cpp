#include "support/ScriptedUserInteraction.h"

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
