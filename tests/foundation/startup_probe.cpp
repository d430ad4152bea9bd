// The application's start-up with a user-interaction seam that prints every box on
// standard output instead of showing it, so tests can run real processes against it.
//
// The probe can also answer the start-up dialogs, as a user would, from the environment:
//   TOLVANE_PROBE_UPDATE    "update" or "notnow": the answer to an update offer;
//   TOLVANE_PROBE_USERNAME  with TOLVANE_PROBE_PASSWORD: logs in with these;
//   TOLVANE_PROBE_LOGIN     "cancel": closes the login dialog instead; "continue": once a
//                           login has failed and the dialog offers it, goes on with the
//                           downloads in the catalogue;
//   TOLVANE_PROBE_LATER_LOGIN  the answer to a login dialog shown after start-up (opening
//                           a package without a login): "cancel", or "login" with the
//                           user name and password above, tried again until it succeeds.
// It prints "DIALOG <object name>" each time a start-up dialog is shown, "OFFER UpdaterDialog"
// when the update dialog offers a newer version, "CONTINUE LoginDialog" when the login dialog
// offers to go on with the catalogue, and "KEY <key>" with the decoding key the catalogue
// holds once the first login dialog is gone. The lines come from the show events
// themselves, so they do not depend on how long the version check or the login takes:
// the update dialog shows "Please wait..." however quickly the portal answers.
#include "app/Startup.h"
#include "base/UserInteraction.h"
#include "catalogue/DCPManager.h"

#include <QApplication>
#include <QDialog>
#include <QEvent>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QTimer>

#include <cstdio>

namespace {

class PrintingInteraction : public UserInteraction
{
public:
    Button showMessage(const Message &message) override
    {
        QByteArray text = message.text.toUtf8();
        text.replace("\r", "\\r").replace("\n", "\\n");
        std::printf("BOX %d %s\n", int(message.icon), text.constData());
        std::fflush(stdout);
        return message.defaultButton != NoButton ? message.defaultButton : Ok;
    }
    QString chooseDirectory(const QString &caption, const QString &) override
    {
        std::printf("FOLDER %s\n", caption.toUtf8().constData());
        std::fflush(stdout);
        return QString();
    }
    bool openUrl(const QUrl &url) override
    {
        std::printf("URL %s\n", url.toEncoded().constData());
        std::fflush(stdout);
        return true;
    }
};

void printLine(const QString &line)
{
    std::printf("%s\n", line.toUtf8().constData());
    std::fflush(stdout);
}

class DialogAnswerer : public QObject
{
public:
    explicit DialogAnswerer(QObject *parent)
        : QObject(parent)
    {
        QCoreApplication::instance()->installEventFilter(this);
        auto *timer = new QTimer(this);
        connect(timer, &QTimer::timeout, this, &DialogAnswerer::look);
        timer->start(50);
    }

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (event->type() == QEvent::Show && !event->spontaneous())
            noteShown(watched);
        return QObject::eventFilter(watched, event);
    }

private:
    void noteShown(QObject *watched)
    {
        auto *widget = qobject_cast<QWidget *>(watched);
        if (!widget)
            return;
        const QString name = widget->objectName();
        if (qobject_cast<QDialog *>(widget) && (name == "UpdaterDialog" || name == "LoginDialog")) {
            if (name == "LoginDialog" && !m_loginSeen) {
                m_loginSeen = true;
                m_login = static_cast<QDialog *>(widget);
            }
            printLine("DIALOG " + name);
        } else if (name == "btn_update" && widget->window()->objectName() == "UpdaterDialog") {
            // The update button only becomes visible with the offer of a newer version.
            printLine("OFFER UpdaterDialog");
        } else if (name == "btn_continue_catalogue" && widget->window()->objectName() == "LoginDialog") {
            printLine("CONTINUE LoginDialog");
        }
    }

    void look()
    {
        if (m_loginSeen && !m_login && !m_keyPrinted) {
            // Start-up deletes the login dialog right after reading its key and hands the
            // key to the catalogue before anything else runs.
            m_keyPrinted = true;
            printLine("KEY " + DCPManager::instance()->decodingKey());
        }
        const QWidgetList widgets = QApplication::topLevelWidgets();
        for (QWidget *widget : widgets) {
            auto *dialog = qobject_cast<QDialog *>(widget);
            if (!dialog || !dialog->isVisible())
                continue;
            const QString name = dialog->objectName();
            if (name == "UpdaterDialog")
                answerUpdate(dialog);
            else if (name == "LoginDialog")
                answerLogin(dialog);
        }
    }

    void answerUpdate(QDialog *dialog)
    {
        const QString answer = qEnvironmentVariable("TOLVANE_PROBE_UPDATE");
        const char *buttonName = answer == "update" ? "btn_update" : answer == "notnow" ? "btn_not_now" : nullptr;
        auto *button = buttonName ? dialog->findChild<QPushButton *>(buttonName) : nullptr;
        if (button && button->isVisible() && !m_updateAnswered) {
            m_updateAnswered = true;
            button->click();
        }
    }

    void answerLogin(QDialog *dialog)
    {
        if (dialog != m_login) {
            answerLaterLogin(dialog);
            return;
        }
        const QString answer = qEnvironmentVariable("TOLVANE_PROBE_LOGIN");
        if (m_loginAnswered) {
            auto *button = dialog->findChild<QPushButton *>("btn_continue_catalogue");
            if (answer == "continue" && button && button->isVisible() && !m_continued) {
                m_continued = true;
                button->click();
            }
            return;
        }
        if (answer == "cancel") {
            m_loginAnswered = true;
            dialog->reject();
            return;
        }
        m_loginAnswered = logIn(dialog);
    }

    void answerLaterLogin(QDialog *dialog)
    {
        if (m_laterAnswered.contains(dialog))
            return;
        const QString answer = qEnvironmentVariable("TOLVANE_PROBE_LATER_LOGIN");
        if (answer == "cancel") {
            m_laterAnswered.append(dialog);
            dialog->reject();
            return;
        }
        // Tries again after each failure, as a user waiting for the portal would.
        auto *login = dialog->findChild<QPushButton *>("btn_login");
        if (answer == "login" && login && login->text() == "LOG IN")
            logIn(dialog);
    }

    bool logIn(QDialog *dialog)
    {
        if (!qEnvironmentVariableIsSet("TOLVANE_PROBE_USERNAME"))
            return false;
        auto *username = dialog->findChild<QLineEdit *>("line_edit_username");
        auto *password = dialog->findChild<QLineEdit *>("line_edit_password");
        auto *login = dialog->findChild<QPushButton *>("btn_login");
        if (!username || !password || !login)
            return false;
        username->setText(qEnvironmentVariable("TOLVANE_PROBE_USERNAME"));
        password->setText(qEnvironmentVariable("TOLVANE_PROBE_PASSWORD"));
        login->click();
        return true;
    }

    QPointer<QDialog> m_login;
    bool m_loginSeen = false;
    bool m_loginAnswered = false;
    bool m_continued = false;
    QList<QPointer<QDialog>> m_laterAnswered;
    bool m_updateAnswered = false;
    bool m_keyPrinted = false;
};

void startAnswering()
{
    new DialogAnswerer(QCoreApplication::instance());
}

}

Q_COREAPP_STARTUP_FUNCTION(startAnswering)

int main(int argc, char *argv[])
{
    PrintingInteraction interaction;
    return runApplication(argc, argv, &interaction);
}
