// The start-up login when Tarn cannot be reached: which failures offer to go on with the
// downloads already in the catalogue, against the portal stand-in on 127.0.0.1 and a real
// catalogue database.
#include "portal/LoginDialog.h"

#include "../catalogue/CatalogueRows.h"
#include "PortalStandin.h"
#include "catalogue/DCPManager.h"
#include "catalogue/DatabaseManager.h"
#include "support/ScriptedUserInteraction.h"
#include "support/TestMain.h"

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QSqlQuery>
#include <QTcpServer>
#include <QtTest>

namespace {

const QString kConnection = "Error. Please check your internet connection.";
const QString kService = "Service is temporarily not available. Please try again later.";
const QString kRefused = "Invalid username or password.";
const QString kContinue = "Continue with downloads in the catalogue";
const QString kContinueTip = "Tarn cannot be reached. The downloads already in the catalogue can go on without a "
                             "login; opening a new package needs a login.";
const QString kRed = "color: rgb(255, 8, 11);";

enum class Failure { ConnectionRefused, Hang, ServerFault, ServiceUnavailable, UnknownHost, RefusedCredentials,
                     OtherAnswer };

}

Q_DECLARE_METATYPE(Failure)

class TestLoginOffline : public QObject
{
    Q_OBJECT

    PortalStandin m_standin;
    ScriptedUserInteraction m_interaction;
    QString m_base;

    static QPushButton *continueButton(LoginDialog &dialog)
    {
        return dialog.findChild<QPushButton *>("btn_continue_catalogue");
    }

    static void setCatalogueHoldsDcp(bool holds)
    {
        DatabaseManager *db = DatabaseManager::instance();
        QSqlQuery query(db->database());
        QVERIFY(query.exec("DELETE FROM dcp"));
        if (holds)
            CatalogueRows::insertDcp(db, "0b9c5a4e-1b7d-4f4e-9a53-7f3c2f0e6a11", "Stored_Feature", "/srv/dcp");
        QCOMPARE(db->countDCPs(), holds ? 1 : 0);
    }

    static QString closedPortUrl()
    {
        QTcpServer closed;
        if (!closed.listen(QHostAddress::LocalHost))
            return QString();
        const quint16 port = closed.serverPort();
        closed.close();
        return QString("http://127.0.0.1:%1").arg(port);
    }

    // Points the dialog at a portal that fails the given way.
    void arrange(Failure failure, LoginDialog &dialog)
    {
        AuthenticateBehaviour behaviour;
        switch (failure) {
        case Failure::ConnectionRefused:
            qputenv("TOLVANE_PORTAL_URL", closedPortUrl().toUtf8());
            break;
        case Failure::Hang:
            behaviour.hang = true;
            // A portal that holds the request ends as a failed connection after the timeout.
            dialog.setNetworkTimeout(300);
            break;
        case Failure::ServerFault:
            behaviour.status = 500;
            break;
        case Failure::ServiceUnavailable:
            behaviour.status = 503;
            break;
        case Failure::UnknownHost:
            // ".invalid" never resolves (a name reserved for exactly this).
            qputenv("TOLVANE_PORTAL_URL", "http://tarn-portal.invalid");
            dialog.setNetworkTimeout(10000);
            break;
        case Failure::RefusedCredentials:
        case Failure::OtherAnswer:
            break;
        }
        if (failure == Failure::OtherAnswer) {
            behaviour.status = 401;
            behaviour.body = "Unauthorised, says the portal.";
        }
        m_standin.setAuthenticateBehaviour(behaviour);
    }

    // Logs in with the stand-in's account ("wrong" password when credentials are to be
    // refused) and waits until the dialog has handled the failure.
    static void attempt(LoginDialog &dialog, const QString &password)
    {
        auto *username = dialog.findChild<QLineEdit *>("line_edit_username");
        auto *pass = dialog.findChild<QLineEdit *>("line_edit_password");
        auto *login = dialog.findChild<QPushButton *>("btn_login");
        auto *message = dialog.findChild<QLabel *>("label_error");
        QVERIFY(username && pass && login && message);
        username->setText("alice");
        pass->setText(password);
        QTest::mouseClick(login, Qt::LeftButton);
        QCOMPARE(login->text(), QString("LOGGING IN..."));
        QTRY_COMPARE_WITH_TIMEOUT(login->text(), QString("LOG IN"), 20000);
        QCOMPARE(message->styleSheet(), kRed);
    }

private slots:
    void initTestCase()
    {
        TestSupport::captureLog();
        QVERIFY(m_standin.start());
        m_standin.setAccounts({{"alice", "s3cret", "alice-key"}});
        m_base = QString::fromStdString(m_standin.baseUrl());
        qputenv("TOLVANE_PORTAL_URL", m_base.toUtf8());
    }

    void cleanupTestCase()
    {
        m_standin.setAuthenticateBehaviour(AuthenticateBehaviour());
        m_standin.stop();
    }

    void cleanup()
    {
        m_standin.setAuthenticateBehaviour(AuthenticateBehaviour());
        qputenv("TOLVANE_PORTAL_URL", m_base.toUtf8());
    }

    void buttonHiddenUntilOffered()
    {
        LoginDialog dialog(nullptr);
        dialog.setCatalogueContinuationOffered(true);
        dialog.show();
        QVERIFY(QTest::qWaitForWindowExposed(&dialog));
        QPushButton *button = continueButton(dialog);
        QVERIFY(button);
        QCOMPARE(button->text(), kContinue);
        QCOMPARE(button->toolTip(), kContinueTip);
        QVERIFY(!button->isVisible());
    }

    void failureTable_data()
    {
        QTest::addColumn<Failure>("failure");
        QTest::addColumn<bool>("catalogueHoldsDcp");
        QTest::addColumn<QString>("message");
        QTest::addColumn<QString>("logged");
        QTest::addColumn<bool>("offered");

        const struct {
            const char *name;
            Failure failure;
            QString message;
            QString logged;
            bool unreachable;
        } kinds[] = {
            {"connection refused", Failure::ConnectionRefused, kConnection, "ConnectionRefusedError , HTTP status code:  0", true},
            {"no answer (timeout)", Failure::Hang, kConnection, "OperationCanceledError , HTTP status code:  0", true},
            {"HTTP 500", Failure::ServerFault, kService, "InternalServerError , HTTP status code:  500", true},
            {"HTTP 503", Failure::ServiceUnavailable, kConnection, "ServiceUnavailableError , HTTP status code:  503", true},
            {"unknown host", Failure::UnknownHost, kConnection, "HostNotFoundError , HTTP status code:  0", true},
            {"refused credentials", Failure::RefusedCredentials, kRefused, "ContentAccessDenied , HTTP status code:  403", false},
            {"HTTP 401", Failure::OtherAnswer, kConnection, "AuthenticationRequiredError , HTTP status code:  401", false},
        };
        for (const auto &kind : kinds) {
            for (bool holds : {false, true}) {
                QTest::newRow(qPrintable(QString("%1, catalogue %2").arg(kind.name, holds ? "holds a DCP" : "empty")))
                    << kind.failure << holds << kind.message << QString(kind.logged) << (kind.unreachable && holds);
            }
        }
    }

    void failureTable()
    {
        QFETCH(Failure, failure);
        QFETCH(bool, catalogueHoldsDcp);
        QFETCH(QString, message);
        QFETCH(QString, logged);
        QFETCH(bool, offered);

        setCatalogueHoldsDcp(catalogueHoldsDcp);
        LoginDialog dialog(nullptr);
        dialog.setCatalogueContinuationOffered(true);
        arrange(failure, dialog);
        QSignalSpy finished(&dialog, &QDialog::finished);
        dialog.show();
        QVERIFY(QTest::qWaitForWindowExposed(&dialog));

        attempt(dialog, failure == Failure::RefusedCredentials ? "wrong" : "s3cret");
        if (QTest::currentTestFailed())
            return;
        QCOMPARE(dialog.findChild<QLabel *>("label_error")->text(), message);
        QVERIFY2(TestSupport::readLog().contains("[LoginDialog] Network reply error:  " + logged.toUtf8() + "\r\n"),
                 qPrintable(logged));
        QCOMPARE(finished.count(), 0);
        QVERIFY(dialog.isVisible());

        QPushButton *button = continueButton(dialog);
        QCOMPARE(button->isVisible(), offered);
        if (!offered)
            return;

        // The offer is taken: the dialog closes with its own result and no key.
        QTest::mouseClick(button, Qt::LeftButton);
        QTRY_COMPARE(finished.count(), 1);
        QCOMPARE(finished.at(0).at(0).toInt(), LoginDialog::ContinueWithCatalogue);
        QCOMPARE(dialog.result(), LoginDialog::ContinueWithCatalogue);
        QVERIFY(!dialog.isVisible());
        QCOMPARE(dialog.decodingKey(), QString());
        QVERIFY(TestSupport::readLog().contains(
            "[LoginDialog] Tarn cannot be reached; continuing with the downloads in the catalogue\r\n"));
    }

    // The fixed-size dialog keeps every line readable with the offer shown.
    void offerFitsInTheDialog()
    {
        setCatalogueHoldsDcp(true);
        LoginDialog dialog(nullptr);
        dialog.setCatalogueContinuationOffered(true);
        arrange(Failure::ServerFault, dialog);
        dialog.show();
        QVERIFY(QTest::qWaitForWindowExposed(&dialog));
        attempt(dialog, "s3cret");
        QVERIFY(continueButton(dialog)->isVisible());
        QCoreApplication::processEvents();
        const QList<QWidget *> children = dialog.findChildren<QWidget *>(QString(), Qt::FindDirectChildrenOnly);
        for (QWidget *child : children) {
            if (!child->isVisible())
                continue;
            const int needed = child->hasHeightForWidth() ? child->heightForWidth(child->width())
                                                           : child->minimumSizeHint().height();
            QVERIFY2(child->height() >= needed, qPrintable(child->objectName()));
            QVERIFY2(child->width() >= child->minimumSizeHint().width(), qPrintable(child->objectName()));
            QVERIFY2(dialog.rect().contains(child->geometry()), qPrintable(child->objectName()));
        }
    }

    void loginForAPackageNeverOffersIt()
    {
        setCatalogueHoldsDcp(true);
        LoginDialog dialog(nullptr);
        arrange(Failure::ConnectionRefused, dialog);
        dialog.show();
        attempt(dialog, "s3cret");
        QCOMPARE(dialog.findChild<QLabel *>("label_error")->text(), kConnection);
        QVERIFY(!continueButton(dialog)->isVisible());
    }

    // The window's "LOAD FILE" and a package named on the command line both end in
    // loadDCPFromFile: without a login it asks for one before reading the package.
    void openingAPackageWithoutLoginAsksForTheLoginFirst()
    {
        DCPManager *catalogue = DCPManager::instance();
        int asked = 0;
        bool answer = false;
        catalogue->setLoginRequest([&](QString *key) {
            ++asked;
            if (answer)
                *key = "key from the later login";
            return answer;
        });
        QVERIFY(!catalogue->isLoggedIn());
        const QString package = TestSupport::dataDir() + "/order.orvdcp";

        // Nothing chosen: nothing to log in for.
        m_interaction.messages.clear();
        catalogue->loadDCPFromFile(QString());
        QCOMPARE(asked, 0);
        QCOMPARE(m_interaction.messages.size(), 0);

        // The login fails or is cancelled: the package stays unopened, and the user is told why.
        catalogue->loadDCPFromFile(package);
        QCOMPARE(asked, 1);
        QCOMPARE(m_interaction.messages.size(), 1);
        const UserInteraction::Message told = m_interaction.messages.takeFirst();
        QCOMPARE(told.icon, UserInteraction::Icon::Warning);
        QCOMPARE(told.text, QString("The package was not opened: opening a package needs a login to Tarn."));
        QCOMPARE(told.informativeText, QString("The downloads already in the catalogue go on. Please open the "
                                               "package again when you can log in."));
        QVERIFY(!catalogue->isLoggedIn());
        QCOMPARE(catalogue->decodingKey(), QString());
        QVERIFY(TestSupport::readLog().contains(
            "[DCPManager] No login; the package was not opened: \"" + package.toUtf8() + "\"\r\n"));

        // A successful login hands over the key and the package is read with it; later
        // packages need no new login.
        answer = true;
        catalogue->loadDCPFromFile(package);
        QCOMPARE(asked, 2);
        QVERIFY(catalogue->isLoggedIn());
        QCOMPARE(catalogue->decodingKey(), QString("key from the later login"));
        for (const UserInteraction::Message &message : m_interaction.messages)
            QVERIFY(!message.text.startsWith("The package was not opened"));
        catalogue->loadDCPFromFile(package);
        QCOMPARE(asked, 2);
    }

    void newAttemptWithdrawsTheOfferUntilItFailsAgain()
    {
        setCatalogueHoldsDcp(true);
        LoginDialog dialog(nullptr);
        dialog.setCatalogueContinuationOffered(true);
        arrange(Failure::ServerFault, dialog);
        QSignalSpy finished(&dialog, &QDialog::finished);
        dialog.show();
        attempt(dialog, "s3cret");
        QVERIFY(continueButton(dialog)->isVisible());

        // Tarn answers again, but refuses the password: no offer.
        m_standin.setAuthenticateBehaviour(AuthenticateBehaviour());
        attempt(dialog, "wrong");
        QCOMPARE(dialog.findChild<QLabel *>("label_error")->text(), kRefused);
        QVERIFY(!continueButton(dialog)->isVisible());

        // And a good password still logs in as before.
        auto *pass = dialog.findChild<QLineEdit *>("line_edit_password");
        pass->setText("s3cret");
        QTest::mouseClick(dialog.findChild<QPushButton *>("btn_login"), Qt::LeftButton);
        QTRY_COMPARE(finished.count(), 1);
        QCOMPARE(dialog.result(), int(QDialog::Accepted));
        QCOMPARE(dialog.decodingKey(), QString("alice-key"));
    }
};

TOLVANE_TEST_MAIN(TestLoginOffline)
#include "test_login_offline.moc"
