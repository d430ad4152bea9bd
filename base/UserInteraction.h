#pragma once

#include <QFlags>
#include <QString>
#include <QUrl>

// The one seam between the program and the person in front of it: message boxes,
// the folder dialog and the desktop's URL opener. Core code asks through here and never
// touches a widget; the application installs the widget implementation, tests their own.
class UserInteraction
{
public:
    enum class Icon { NoIcon, Information, Warning, Critical, Question };

    // Same values as QMessageBox::StandardButton, so the widget side can pass them through.
    enum Button {
        NoButton = 0x00000000,
        Ok = 0x00000400,
        Yes = 0x00004000,
        No = 0x00010000,
        Cancel = 0x00400000,
    };
    Q_DECLARE_FLAGS(Buttons, Button)

    struct Message {
        Icon icon = Icon::NoIcon;
        QString title;
        QString text;
        QString informativeText;
        Buttons buttons = Ok;
        Button defaultButton = NoButton;
    };

    virtual ~UserInteraction();

    // Shows a modal box and returns the button the user pressed (Escape or closing gives
    // the escape button: Cancel, No or Ok, whichever the box has).
    virtual Button showMessage(const Message &message) = 0;

    // Asks for an existing folder; empty when the user cancels.
    virtual QString chooseDirectory(const QString &caption, const QString &startDirectory) = 0;

    // Hands a URL to the desktop (browser, file browser, installer); true when it took it.
    virtual bool openUrl(const QUrl &url) = 0;

    static UserInteraction *current();
    static void install(UserInteraction *interaction);
};

Q_DECLARE_OPERATORS_FOR_FLAGS(UserInteraction::Buttons)
