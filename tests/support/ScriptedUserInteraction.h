#pragma once

#include "base/UserInteraction.h"

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
    // How long a box stays open, running the event loop as a real modal box does while
    // the user reads it; 0 answers at once.
    int holdMs = 0;

    QList<Message> messages;
    QStringList directoryCaptions;
    QList<QUrl> openedUrls;
    // The most boxes that were open at the same time.
    int mostOpenAtOnce = 0;

private:
    int m_open = 0;
};
