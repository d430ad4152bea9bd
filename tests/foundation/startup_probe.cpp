// The application's start-up with a user-interaction seam that prints every box on
// standard output instead of showing it, so tests can run real processes against it.
//
// The probe can also answer the start-up dialogs, as a user would, from the environment:
//   TOLVANE_PROBE_UPDATE    "update" or "notnow": the answer to an update offer;
//   TOLVANE_PROBE_USERNAME  with TOLVANE_PROBE_PASSWORD: logs in with these;
//   TOLVANE_PROBE_LOGIN     "cancel": closes the login dialog instead.
// It prints "DIALOG <object name>" when a start-up dialog first shows, and "KEY <key>"
// with the decoding key the catalogue holds once the login dialog is gone.
#include "app/Startup.h"
#include "app/UserInteraction.h"
#include "catalogue/DCPManager.h"

#include <QApplication>
#include <QDialog>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QSet>
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
        auto *timer = new QTimer(this);
        connect(timer, &QTimer::timeout, this, &DialogAnswerer::look);
        timer->start(50);
    }

private:
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
            if (name != "UpdaterDialog" && name != "LoginDialog")
                continue;
            if (!m_shown.contains(dialog)) {
                m_shown.insert(dialog);
                printLine("DIALOG " + name);
            }
            if (name == "UpdaterDialog")
                answerUpdate(dialog);
            else
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
        if (!m_loginSeen) {
            m_loginSeen = true;
            m_login = dialog;
        }
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

    QSet<QDialog *> m_shown;
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
