#pragma once

#include <QDialog>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QString>

class QLabel;
class QLineEdit;
class QPushButton;

// The login gate shown before the main window: posts the Tarn account's user name and
// password to the portal and, on success, keeps the reply text as the package decoding key.
class LoginDialog : public QDialog
{
    Q_OBJECT
public:
    // A request that gets no answer for networkTimeoutMs ends as a failed connection.
    explicit LoginDialog(QWidget *parent = nullptr, int networkTimeoutMs = DefaultNetworkTimeoutMs);

    // The text of the successful authentication reply; empty until then. Never stored.
    QString decodingKey() const;

    void setNetworkTimeout(int milliseconds);
    int networkTimeout() const;

    static constexpr int DefaultNetworkTimeoutMs = 30000;

    // The result of exec() when the user chose to go on with the downloads already in the
    // catalogue without a login (Accepted means logged in, Rejected that the user gave up).
    static constexpr int ContinueWithCatalogue = 2;

    // At start-up, when the portal cannot be reached (no answer, refused connection,
    // timeout, unknown host, a server fault) and the catalogue holds DCPs, the dialog
    // offers to go on with those downloads. Off unless asked for.
    void setCatalogueContinuationOffered(bool offered);

private slots:
    void requestFinished();
    void requestError(QNetworkReply::NetworkError code);
    void saveUsername();
    void forgotPassword();
    void forgotUsername();
    void loginSuccessfull();
    void loginEv();
    void continueWithCatalogue();

private:
    void setupForm();
    void resetMessage();
    bool catalogueHoldsDcps() const;

    QLabel *m_labelLogo = nullptr;
    QLabel *m_labelHeading = nullptr;
    QLabel *m_labelError = nullptr;
    QLineEdit *m_lineEditUsername = nullptr;
    QLineEdit *m_lineEditPassword = nullptr;
    QPushButton *m_btnLogin = nullptr;
    QLabel *m_labelForgotPassword = nullptr;
    QLabel *m_labelForgotUsername = nullptr;
    QPushButton *m_btnContinueCatalogue = nullptr;

    QNetworkAccessManager m_network;
    bool m_loginInProgress = false;
    QString m_decodingKey;
    int m_networkTimeoutMs = DefaultNetworkTimeoutMs;
    bool m_catalogueContinuationOffered = false;
};
