#pragma once

#include "app/UserInteraction.h"

#include <QList>
#include <QStringList>
#include <QUrl>

// Answers boxes and folder dialogs from a script and records everything it was asked,
// so tests can assert the exact texts, icons, buttons and URLs.
class ScriptedUserInteraction : public UserInteraction
{
public:
    ScriptedUserInteraction();
    ~ScriptedUserInteraction() override;

    Button showMessage(const Message &message) override;
    QString chooseDirectory(const QString &caption, const QString &startDirectory) override;
    bool openUrl(const QUrl &url) override;

    // Answers used in order; when they run out a box gets its default button (or Ok)
    // and a folder dialog is cancelled.
    QList<Button> buttonAnswers;
    QStringList directoryAnswers;
    bool openUrlResult = true;

    QList<Message> messages;
    QStringList directoryCaptions;
    QList<QUrl> openedUrls;
};
