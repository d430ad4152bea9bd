// The application's start-up with a user-interaction seam that prints every box on
// standard output instead of showing it, so tests can run real processes against it.
//
// The probe can also answer the start-up dialogs, as a user would, from the environment:
//   TOLVANE_PROBE_UPDATE    "update" or "notnow": the answer to an update offer;
//   TOLVANE_PROBE_USERNAME  with TOLVANE_PROBE_PASSWORD: logs in with these;
//   TOLVANE_PROBE_LOGIN     "cancel": closes the login dialog instead.
// It prints "DIALOG <object name>" each time a start-up dialog is shown, "OFFER UpdaterDialog"
// when the update dialog offers a newer version, and "KEY <key>" with the decoding key the
// catalogue holds once the login dialog is gone. The lines come from the show events
// themselves, so they do not depend on how long the version check or the login takes:
// the update dialog shows "Please wait..." however quickly the portal answers.
#include "app/Startup.h"
#include "app/UserInteraction.h"
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
    QString chooseDirectory(const QString &, const QString &) override { return QString(); }
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
        if (m_loginAnswered)
            return;
        if (qEnvironmentVariable("TOLVANE_PROBE_LOGIN") == "cancel") {
            m_loginAnswered = true;
            dialog->reject();
            return;
        }
        if (!qEnvironmentVariableIsSet("TOLVANE_PROBE_USERNAME"))
            return;
        auto *username = dialog->findChild<QLineEdit *>("line_edit_username");
        auto *password = dialog->findChild<QLineEdit *>("line_edit_password");
        auto *login = dialog->findChild<QPushButton *>("btn_login");
        if (!username || !password || !login)
            return;
        m_loginAnswered = true;
        username->setText(qEnvironmentVariable("TOLVANE_PROBE_USERNAME"));
        password->setText(qEnvironmentVariable("TOLVANE_PROBE_PASSWORD"));
        login->click();
    }

    QPointer<QDialog> m_login;
    bool m_loginSeen = false;
    bool m_loginAnswered = false;
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
