// The login dialog against the portal stand-in on 127.0.0.1.
#include "portal/LoginDialog.h"

#include "PortalStandin.h"
#include "catalogue/Setting.h"
#include "support/ScriptedUserInteraction.h"
#include "support/TestMain.h"

#include <QLabel>
#include <QLineEdit>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QPushButton>
#include <QSignalSpy>
#include <QTcpServer>
#include <QtTest>

#include <memory>

namespace {

const QString kInformation = "Please login using the same username and password you use to login to Tarn.";
const QString kWhite = "color: rgb(255, 255, 255);";
const QString kRed = "color: rgb(255, 8, 11);";
const QString kConnection = "Error. Please check your internet connection.";
const QString kService = "Service is temporarily not available. Please try again later.";

const std::string kAliceKey = "  Alice-KEY+/=\n";
const std::string kOddUser = "bob & co";
const std::string kOddPassword = "p&ss=w+rd%25 100% é";

}

class TestLoginDialog : public QObject
{
    Q_OBJECT

    PortalStandin m_standin;
    ScriptedUserInteraction m_interaction;
    QString m_base;

    struct Form {
        QLabel *logo = nullptr;
        QLabel *heading = nullptr;
        QLabel *message = nullptr;
        QLineEdit *username = nullptr;
        QLineEdit *password = nullptr;
        QPushButton *login = nullptr;
        QLabel *forgotPassword = nullptr;
        QLabel *forgotUsername = nullptr;
        bool complete() const
        {
            return logo && heading && message && username && password && login && forgotPassword && forgotUsername;
        }
    };

    static Form formOf(LoginDialog &dialog)
    {
        Form form;
        form.logo = dialog.findChild<QLabel *>("label_logo");
        form.heading = dialog.findChild<QLabel *>("label");
        form.message = dialog.findChild<QLabel *>("label_error");
        form.username = dialog.findChild<QLineEdit *>("line_edit_username");
        form.password = dialog.findChild<QLineEdit *>("line_edit_password");
        form.login = dialog.findChild<QPushButton *>("btn_login");
        form.forgotPassword = dialog.findChild<QLabel *>("label_forgot_password");
        form.forgotUsername = dialog.findChild<QLabel *>("label_forgot_username");
        return form;
    }

    static void type(QLineEdit *edit, const QString &text)
    {
        edit->clear();
        // QTest types ASCII only; the rest goes in as the input method would put it.
        int ascii = 0;
        while (ascii < text.size() && text.at(ascii).unicode() < 0x80)
            ++ascii;
        QTest::keyClicks(edit, text.left(ascii));
        edit->insert(text.mid(ascii));
    }

    size_t requestCount() const { return m_standin.authenticateRequests().size(); }

    void releaseHeldLogins()
    {
        AuthenticateBehaviour behaviour;
        m_standin.setAuthenticateBehaviour(behaviour);
    }

    // Fills the form, clicks "LOG IN" and waits until the stand-in has answered and the
    // dialog has handled the reply (the button reads "LOG IN" again or the dialog closed).
    void attempt(LoginDialog &dialog, const QString &username, const QString &password)
    {
        const Form form = formOf(dialog);
        QVERIFY(form.complete());
        type(form.username, username);
        type(form.password, password);
        const size_t before = requestCount();
        QTest::mouseClick(form.login, Qt::LeftButton);
        QCOMPARE(form.login->text(), QString("LOGGING IN..."));
        QTRY_COMPARE(requestCount(), before + 1);
        QTRY_COMPARE(form.login->text(), QString("LOG IN"));
    }

private slots:
    void initTestCase()
    {
        TestSupport::captureLog();
        QVERIFY(m_standin.start());
        m_standin.setAccounts({{"alice", "s3cret", kAliceKey},
                               {kOddUser, kOddPassword, "bob-key"},
                               {"nul", "nul", std::string("before\0after", 12)}});
        m_base = QString::fromStdString(m_standin.baseUrl());
        qputenv("TOLVANE_PORTAL_URL", m_base.toUtf8());
    }

    void cleanupTestCase()
    {
        releaseHeldLogins();
        m_standin.stop();
    }

    void cleanup()
    {
        releaseHeldLogins();
        qputenv("TOLVANE_PORTAL_URL", m_base.toUtf8());
    }

    // Runs first: nothing has logged in yet in this data directory.
    void withoutSavedNameNothingIsPrefilled()
    {
        QVERIFY(Setting::instance()->get("username").isEmpty());
        LoginDialog dialog(nullptr);
        dialog.show();
        QVERIFY(QTest::qWaitForWindowExposed(&dialog));
        const Form form = formOf(dialog);
        QVERIFY(form.complete());
        QCOMPARE(form.username->text(), QString());
        QCOMPARE(form.password->text(), QString());
        QVERIFY(dialog.focusWidget() != form.password);
        QCOMPARE(dialog.decodingKey(), QString());
    }

    void formAsDesigned()
    {
        LoginDialog dialog(nullptr);
        const Form form = formOf(dialog);
        QVERIFY(form.complete());
        QCOMPARE(dialog.objectName(), QString("LoginDialog"));
        QCOMPARE(dialog.windowTitle(), QString("Login"));
        QCOMPARE(dialog.minimumSize(), QSize(427, 370));
        QCOMPARE(dialog.maximumSize(), QSize(427, 370));
        QCOMPARE(dialog.font().family(), QString("Arial"));
        const QString style = dialog.styleSheet();
        QVERIFY(style.contains("background-color: rgb(12, 12, 13);"));
        QVERIFY(style.contains("border-radius: 10px;"));
        QVERIFY(style.contains("QPushButton:hover"));
        QVERIFY(style.contains("background-color: rgb(51, 51, 51);"));

        const QPixmap logo = form.logo->pixmap(Qt::ReturnByValue);
        QVERIFY(!logo.isNull());
        QCOMPARE(logo.size(), QSize(80, 80));
        QVERIFY(form.heading->text().contains("font-size:20pt"));
        QVERIFY(form.heading->text().contains("Please login"));
        QCOMPARE(form.heading->styleSheet(), QString("color: rgb(255, 255, 249);"));
        QVERIFY(form.message->wordWrap());
        QCOMPARE(form.message->styleSheet(), kWhite);
        QCOMPARE(form.message->text(), kInformation);
        QCOMPARE(form.username->placeholderText(), QString("Username"));
        QCOMPARE(form.password->placeholderText(), QString("Password"));
        QCOMPARE(form.password->echoMode(), QLineEdit::Password);
        QCOMPARE(form.login->text(), QString("LOG IN"));
        QCOMPARE(form.login->cursor().shape(), Qt::PointingHandCursor);
        QVERIFY(form.forgotPassword->text().contains(">Forgot Password<"));
        QVERIFY(form.forgotPassword->text().contains("href=\"#\""));
        QVERIFY(form.forgotUsername->text().contains(">Forgot Username<"));
        QVERIFY(!form.forgotPassword->openExternalLinks());
        QVERIFY(!form.forgotUsername->openExternalLinks());
        QCOMPARE(dialog.networkTimeout(), 30000);
    }

    void refusedLoginShowsPortalWordingInRed()
    {
        LoginDialog dialog(nullptr);
        QSignalSpy finished(&dialog, &QDialog::finished);
        dialog.show();
        attempt(dialog, "alice", "wrong");
        const Form form = formOf(dialog);
        QCOMPARE(form.message->text(), QString("Invalid username or password."));
        QCOMPARE(form.message->styleSheet(), kRed);
        QVERIFY(dialog.isVisible());
        QCOMPARE(finished.count(), 0);
        QCOMPARE(form.username->text(), QString("alice"));
        QCOMPARE(form.password->text(), QString("wrong"));
        QVERIFY(TestSupport::readLog().contains(
            "[LoginDialog] Network reply error:  ContentAccessDenied , HTTP status code:  403\r\n"));
        // A failed attempt remembers nothing.
        QVERIFY(Setting::instance()->get("username").isEmpty());

        // The portal's own wording, whatever it is, read as UTF-8 up to a NUL byte.
        AuthenticateBehaviour suspended;
        suspended.status = 403;
        suspended.body = std::string("Compte suspendu \xe2\x80\x94 appelez-nous.\0trailing", 42);
        m_standin.setAuthenticateBehaviour(suspended);
        attempt(dialog, "alice", "s3cret");
        QCOMPARE(form.message->text(), QString::fromUtf8("Compte suspendu \xe2\x80\x94 appelez-nous."));
        QCOMPARE(form.message->styleSheet(), kRed);
        QCOMPARE(finished.count(), 0);
    }

    void onlyA2xxAnswerWithAKeyIsALogin_data()
    {
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("body");
        QTest::addColumn<bool>("login");
        QTest::newRow("302 with a body") << 302 << "<html>Moved</html>" << false;
        QTest::newRow("301") << 301 << "moved-key-0123456789abcdef0123456789" << false;
        QTest::newRow("303") << 303 << "see-other-key-0123456789abcdef0123456" << false;
        QTest::newRow("307") << 307 << "temporary-key-0123456789abcdef012345" << false;
        QTest::newRow("200 with a key") << 200 << "forced-key-0123456789abcdef0123456789" << true;
    }

    // A redirect (or an answer without a key) is no login, and its body is no key.
    void onlyA2xxAnswerWithAKeyIsALogin()
    {
        QFETCH(int, status);
        QFETCH(QString, body);
        QFETCH(bool, login);
        AuthenticateBehaviour forced;
        forced.status = status;
        forced.body = body.toStdString();
        m_standin.setAuthenticateBehaviour(forced);
        LoginDialog dialog(nullptr);
        QSignalSpy finished(&dialog, &QDialog::finished);
        dialog.show();
        attempt(dialog, "alice", "s3cret");
        if (login) {
            QTRY_COMPARE(finished.count(), 1);
            QCOMPARE(finished.at(0).at(0).toInt(), int(QDialog::Accepted));
            QCOMPARE(dialog.decodingKey(), body);
            return;
        }
        QTest::qWait(50);
        QCOMPARE(finished.count(), 0);
        QVERIFY(dialog.decodingKey().isEmpty());
        QCOMPARE(formOf(dialog).message->text(), QString("Error. Please check your internet connection."));
        QCOMPARE(formOf(dialog).message->styleSheet(), kRed);
        QVERIFY(TestSupport::readLog().contains(
            QString("[LoginDialog] Not a login: HTTP status code:  %1").arg(status).toUtf8()));
    }

    // The portal's refusal is shown as written: markup in it is not rendered.
    void refusalTextIsPlainText()
    {
        AuthenticateBehaviour refused;
        refused.status = 403;
        refused.body = "<img src=\"http://127.0.0.1:1/seen.png\"><font color=\"lime\">Welcome back</font>";
        m_standin.setAuthenticateBehaviour(refused);
        LoginDialog dialog(nullptr);
        dialog.show();
        attempt(dialog, "alice", "s3cret");
        const Form form = formOf(dialog);
        QCOMPARE(form.message->text(), QString::fromStdString(refused.body));
        QCOMPARE(form.message->textFormat(), Qt::PlainText);
    }

    void serverFaultShowsServiceMessage()
    {
        AuthenticateBehaviour fault;
        fault.status = 500;
        m_standin.setAuthenticateBehaviour(fault);
        LoginDialog dialog(nullptr);
        QSignalSpy finished(&dialog, &QDialog::finished);
        dialog.show();
        attempt(dialog, "alice", "s3cret");
        QCOMPARE(formOf(dialog).message->text(), kService);
        QCOMPARE(formOf(dialog).message->styleSheet(), kRed);
        QCOMPARE(finished.count(), 0);
        QVERIFY(TestSupport::readLog().contains(
            "[LoginDialog] Network reply error:  InternalServerError , HTTP status code:  500\r\n"));
    }

    void otherStatusShowsConnectionMessage()
    {
        AuthenticateBehaviour unauthorised;
        unauthorised.status = 401;
        unauthorised.body = "Unauthorised, says the portal.";
        m_standin.setAuthenticateBehaviour(unauthorised);
        LoginDialog dialog(nullptr);
        QSignalSpy finished(&dialog, &QDialog::finished);
        dialog.show();
        attempt(dialog, "alice", "s3cret");
        QCOMPARE(formOf(dialog).message->text(), kConnection);
        QCOMPARE(formOf(dialog).message->styleSheet(), kRed);
        QCOMPARE(finished.count(), 0);
        QVERIFY(TestSupport::readLog().contains(
            "[LoginDialog] Network reply error:  AuthenticationRequiredError , HTTP status code:  401\r\n"));
    }

    void refusedConnectionShowsConnectionMessage()
    {
        QTcpServer closed;
        QVERIFY(closed.listen(QHostAddress::LocalHost));
        const quint16 port = closed.serverPort();
        closed.close();
        qputenv("TOLVANE_PORTAL_URL", QString("http://127.0.0.1:%1").arg(port).toUtf8());

        LoginDialog dialog(nullptr);
        QSignalSpy finished(&dialog, &QDialog::finished);
        dialog.show();
        const Form form = formOf(dialog);
        type(form.username, "alice");
        type(form.password, "s3cret");
        QTest::mouseClick(form.login, Qt::LeftButton);
        QTRY_COMPARE(form.message->text(), kConnection);
        QCOMPARE(form.message->styleSheet(), kRed);
        QCOMPARE(form.login->text(), QString("LOG IN"));
        QCOMPARE(finished.count(), 0);
        QVERIFY(TestSupport::readLog().contains(
            "[LoginDialog] Network reply error:  ConnectionRefusedError , HTTP status code:  0\r\n"));
    }

    void successKeepsKeyExactlyAndSavesUsername()
    {
        LoginDialog dialog(nullptr);
        QSignalSpy finished(&dialog, &QDialog::finished);
        dialog.show();
        attempt(dialog, "alice", "s3cret");
        QTRY_COMPARE(finished.count(), 1);
        QCOMPARE(finished.at(0).at(0).toInt(), int(QDialog::Accepted));
        QCOMPARE(dialog.result(), int(QDialog::Accepted));
        QVERIFY(!dialog.isVisible());
        QCOMPARE(dialog.decodingKey(), QString::fromStdString(kAliceKey));
        QCOMPARE(Setting::instance()->get("username"), QString("alice"));

        const AuthenticateRequest request = m_standin.authenticateRequests().back();
        QCOMPARE(QString::fromStdString(request.contentType), QString("application/x-www-form-urlencoded"));
        QCOMPARE(QString::fromStdString(request.body), QString("username=alice&password=s3cret"));
        QCOMPARE(request.status, 200);
    }

    void savedNameIsPrefilledAndPasswordHasFocus()
    {
        QCOMPARE(Setting::instance()->get("username"), QString("alice"));
        LoginDialog dialog(nullptr);
        dialog.show();
        QVERIFY(QTest::qWaitForWindowExposed(&dialog));
        const Form form = formOf(dialog);
        QCOMPARE(form.username->text(), QString("alice"));
        QCOMPARE(form.password->text(), QString());
        QCOMPARE(dialog.focusWidget(), static_cast<QWidget *>(form.password));
        QTRY_VERIFY(form.password->hasFocus());
    }

    void keyIsReadUpToFirstNul()
    {
        LoginDialog dialog(nullptr);
        QSignalSpy finished(&dialog, &QDialog::finished);
        dialog.show();
        attempt(dialog, "nul", "nul");
        QTRY_COMPARE(finished.count(), 1);
        QCOMPARE(dialog.result(), int(QDialog::Accepted));
        QCOMPARE(dialog.decodingKey(), QString("before"));
    }

    void specialCharactersReachPortalUnchanged()
    {
        LoginDialog dialog(nullptr);
        QSignalSpy finished(&dialog, &QDialog::finished);
        dialog.show();
        attempt(dialog, QString::fromStdString(kOddUser), QString::fromStdString(kOddPassword));
        const AuthenticateRequest request = m_standin.authenticateRequests().back();
        QCOMPARE(request.username, kOddUser);
        QCOMPARE(request.password, kOddPassword);
        QCOMPARE(QString::fromStdString(request.body),
                 QString("username=bob+%26+co&password=p%26ss%3Dw%2Brd%2525+100%25+%C3%A9"));
        QTRY_COMPARE(finished.count(), 1);
        QCOMPARE(dialog.result(), int(QDialog::Accepted));
        QCOMPARE(dialog.decodingKey(), QString("bob-key"));
        QCOMPARE(Setting::instance()->get("username"), QString::fromStdString(kOddUser));
    }

    void secondLoginWhileLoggingInSendsNothing_data()
    {
        QTest::addColumn<bool>("startedByEnter");
        QTest::newRow("started by a click") << false;
        QTest::newRow("started by Return") << true;
    }

    // While a login runs, neither a click on "LOG IN" nor Return or Enter in a field sends another.
    void secondLoginWhileLoggingInSendsNothing()
    {
        QFETCH(bool, startedByEnter);
        AuthenticateBehaviour held;
        held.hang = true;
        m_standin.setAuthenticateBehaviour(held);

        LoginDialog dialog(nullptr);
        QSignalSpy finished(&dialog, &QDialog::finished);
        dialog.show();
        const Form form = formOf(dialog);
        type(form.username, "alice");
        type(form.password, "s3cret");
        const size_t before = requestCount();
        if (startedByEnter)
            QTest::keyClick(form.password, Qt::Key_Return);
        else
            QTest::mouseClick(form.login, Qt::LeftButton);
        QTRY_COMPARE(requestCount(), before + 1);
        QCOMPARE(form.login->text(), QString("LOGGING IN..."));

        QTest::mouseClick(form.login, Qt::LeftButton);
        QTest::mouseClick(form.login, Qt::LeftButton);
        QTest::keyClick(form.password, Qt::Key_Return);
        QTest::keyClick(form.username, Qt::Key_Enter);
        QTest::qWait(500);
        QCOMPARE(requestCount(), before + 1);
        QCOMPARE(form.login->text(), QString("LOGGING IN..."));

        releaseHeldLogins();
        QTRY_COMPARE(finished.count(), 1);
        QCOMPARE(dialog.result(), int(QDialog::Accepted));
        QCOMPARE(dialog.decodingKey(), QString::fromStdString(kAliceKey));
        QTest::qWait(200);
        QCOMPARE(requestCount(), before + 1);
    }

    void enterInEitherFieldLogsIn_data()
    {
        QTest::addColumn<QString>("field");
        QTest::addColumn<int>("key");
        QTest::newRow("Return in the password") << "line_edit_password" << int(Qt::Key_Return);
        QTest::newRow("Enter in the password") << "line_edit_password" << int(Qt::Key_Enter);
        QTest::newRow("Return in the user name") << "line_edit_username" << int(Qt::Key_Return);
        QTest::newRow("Enter in the user name") << "line_edit_username" << int(Qt::Key_Enter);
    }

    // The key goes to the focused field through the application, as a typed key does:
    // a wrong password first (the dialog stays, the message turns red), then the right one.
    void enterInEitherFieldLogsIn()
    {
        QFETCH(QString, field);
        QFETCH(int, key);
        LoginDialog dialog(nullptr);
        QSignalSpy finished(&dialog, &QDialog::finished);
        dialog.show();
        QVERIFY(QTest::qWaitForWindowExposed(&dialog));
        dialog.activateWindow();
        const Form form = formOf(dialog);
        QVERIFY(form.complete());
        QLineEdit *target = dialog.findChild<QLineEdit *>(field);
        QVERIFY(target);
        type(form.username, "alice");
        type(form.password, "wrong");
        target->setFocus();

        size_t before = requestCount();
        QTest::keyClick(target, Qt::Key(key));
        QCOMPARE(form.login->text(), QString("LOGGING IN..."));
        QTRY_COMPARE(requestCount(), before + 1);
        QTRY_COMPARE(form.login->text(), QString("LOG IN"));
        QCOMPARE(form.message->styleSheet(), kRed);
        QCOMPARE(form.message->text(), QString("Invalid username or password."));
        QCOMPARE(finished.count(), 0);
        QVERIFY(dialog.isVisible());

        type(form.password, "s3cret");
        target->setFocus();
        before = requestCount();
        QTest::keyClick(target, Qt::Key(key));
        QTRY_COMPARE(finished.count(), 1);
        QCOMPARE(dialog.result(), int(QDialog::Accepted));
        QCOMPARE(requestCount(), before + 1);
        QCOMPARE(QString::fromStdString(m_standin.authenticateRequests().back().body),
                 QString("username=alice&password=s3cret"));
        QCOMPARE(dialog.decodingKey(), QString::fromStdString(kAliceKey));
    }

    void newClickAfterFailureTurnsMessageWhiteFirst()
    {
        LoginDialog dialog(nullptr);
        dialog.show();
        attempt(dialog, "alice", "wrong");
        const Form form = formOf(dialog);
        QCOMPARE(form.message->styleSheet(), kRed);

        AuthenticateBehaviour held;
        held.hang = true;
        m_standin.setAuthenticateBehaviour(held);
        const size_t before = requestCount();
        QTest::mouseClick(form.login, Qt::LeftButton);
        QCOMPARE(form.message->styleSheet(), kWhite);
        QCOMPARE(form.message->text(), kInformation);
        QCOMPARE(form.login->text(), QString("LOGGING IN..."));
        QTRY_COMPARE(requestCount(), before + 1);

        releaseHeldLogins();
        QTRY_COMPARE(form.message->styleSheet(), kRed);
        QCOMPARE(form.message->text(), QString("Invalid username or password."));
        QCOMPARE(form.login->text(), QString("LOG IN"));
    }

    void forgottenLinksOpenPortalPages()
    {
        m_interaction.openedUrls.clear();
        LoginDialog dialog(nullptr);
        dialog.show();
        QVERIFY(QTest::qWaitForWindowExposed(&dialog));
        const Form form = formOf(dialog);
        QTest::mouseClick(form.forgotPassword, Qt::LeftButton, Qt::NoModifier, form.forgotPassword->rect().center());
        QTest::mouseClick(form.forgotUsername, Qt::LeftButton, Qt::NoModifier, form.forgotUsername->rect().center());
        QCOMPARE(m_interaction.openedUrls,
                 QList<QUrl>({QUrl(m_base + "/user/password/reset/"), QUrl(m_base + "/user/forgot-username")}));
        QVERIFY(dialog.isVisible());

        // The stand-in serves both pages, as the portal does.
        QNetworkAccessManager network;
        for (const QUrl &url : m_interaction.openedUrls) {
            std::unique_ptr<QNetworkReply> reply(network.get(QNetworkRequest(url)));
            QTRY_VERIFY(reply->isFinished());
            QCOMPARE(reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(), 200);
        }
        const std::vector<std::string> pages = m_standin.pageRequests();
        QVERIFY(std::find(pages.begin(), pages.end(), "/user/password/reset/") != pages.end());
        QVERIFY(std::find(pages.begin(), pages.end(), "/user/forgot-username") != pages.end());

        // Without the override the links go to the portal over https.
        qunsetenv("TOLVANE_PORTAL_URL");
        m_interaction.openedUrls.clear();
        QMetaObject::invokeMethod(form.forgotPassword, "linkActivated", Q_ARG(QString, "#"));
        QMetaObject::invokeMethod(form.forgotUsername, "linkActivated", Q_ARG(QString, "#"));
        QCOMPARE(m_interaction.openedUrls.size(), 2);
        QCOMPARE(m_interaction.openedUrls.at(0).scheme(), QString("https"));
        QCOMPARE(m_interaction.openedUrls.at(0),
                 QUrl(QString(TOLVANE_DEFAULT_PORTAL_URL) + "/user/password/reset/"));
        QCOMPARE(m_interaction.openedUrls.at(1),
                 QUrl(QString(TOLVANE_DEFAULT_PORTAL_URL) + "/user/forgot-username"));
    }

    void unansweredLoginEndsAsConnectionFailure()
    {
        AuthenticateBehaviour held;
        held.hang = true;
        m_standin.setAuthenticateBehaviour(held);

        LoginDialog dialog(nullptr, 600);
        QCOMPARE(dialog.networkTimeout(), 600);
        QSignalSpy finished(&dialog, &QDialog::finished);
        dialog.show();
        const Form form = formOf(dialog);
        type(form.username, "alice");
        type(form.password, "s3cret");
        QElapsedTimer clock;
        clock.start();
        QTest::mouseClick(form.login, Qt::LeftButton);
        QTRY_COMPARE_WITH_TIMEOUT(form.message->text(), kConnection, 15000);
        QVERIFY(clock.elapsed() >= 500);
        QCOMPARE(form.message->styleSheet(), kRed);
        QCOMPARE(form.login->text(), QString("LOG IN"));
        QCOMPARE(finished.count(), 0);
        QVERIFY(TestSupport::readLog().contains(
            "[LoginDialog] Network reply error:  OperationCanceledError , HTTP status code:  0\r\n"));

        // The user may try again once the portal answers.
        releaseHeldLogins();
        QTest::mouseClick(form.login, Qt::LeftButton);
        QTRY_COMPARE(finished.count(), 1);
        QCOMPARE(dialog.result(), int(QDialog::Accepted));
    }

    void execReturnsAcceptedAfterLoginAndZeroWhenClosed()
    {
        {
            LoginDialog dialog(nullptr);
            QTimer::singleShot(0, &dialog, [&dialog] {
                const Form form = formOf(dialog);
                type(form.password, "s3cret");
                type(form.username, "alice");
                QTest::mouseClick(form.login, Qt::LeftButton);
            });
            QCOMPARE(dialog.exec(), 1);
            QCOMPARE(dialog.decodingKey(), QString::fromStdString(kAliceKey));
        }
        {
            LoginDialog dialog(nullptr);
            QTimer::singleShot(0, &dialog, [&dialog] { QTest::keyClick(&dialog, Qt::Key_Escape); });
            QCOMPARE(dialog.exec(), 0);
            QCOMPARE(dialog.decodingKey(), QString());
        }
        {
            LoginDialog dialog(nullptr);
            QTimer::singleShot(0, &dialog, [&dialog] { dialog.close(); });
            QCOMPARE(dialog.exec(), 0);
        }
    }
};

TOLVANE_TEST_MAIN(TestLoginDialog)
#include "test_login_dialog.moc"
