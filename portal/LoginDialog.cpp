#include "portal/LoginDialog.h"

#include "base/PortalHosts.h"
#include "base/UserInteraction.h"
#include "portal/PortalDialogStyle.h"
#include "catalogue/DatabaseManager.h"
#include "catalogue/Setting.h"

#include <QDebug>
#include <QFont>
#include <QIcon>
#include <QLabel>
#include <QLineEdit>
#include <QMetaEnum>
#include <QNetworkRequest>
#include <QPushButton>
#include <QUrl>
#include <QVBoxLayout>

#include <exception>

namespace {

// The rules before those both portal dialogs share.
const char *const kOwnStyleRules =
    "QDialog {\n"
    "\tbackground-color: rgb(12, 12, 13);\n"
    "}\n"
    "QPushButton {\n"
    "\tbackground-color: rgb(16, 16, 16);\n"
    "\tcolor: rgb(255, 255, 255);\n"
    "\tborder: 2px solid rgb(84, 84, 84);\n"
    "\tborder-radius: 10px;\n"
    "}\n";

const char *const kInformationStyleSheet = "color: rgb(255, 255, 255);";
const char *const kErrorStyleSheet = "color: rgb(255, 8, 11);";
const char *const kInformationText = "Please login using the same username and password you use to login to Tarn.";
const char *const kLoginText = "LOG IN";
const char *const kLoggingInText = "LOGGING IN...";
const char *const kContinueCatalogueText = "Continue with downloads in the catalogue";
const char *const kContinueCatalogueTip =
    "Tarn cannot be reached. The downloads already in the catalogue can go on without a login; "
    "opening a new package needs a login.";

QString linkText(const QString &text)
{
    return QString("<html><head/><body><p><a href=\"#\"><span style=\" font-size:12px; text-decoration: none; "
                   "color:#fffbfc;\">%1</span></a></p></body></html>")
        .arg(text);
}

// application/x-www-form-urlencoded: everything but ASCII letters, digits and "*-._" is
// percent-encoded from UTF-8, a space becomes '+'. So '&', '=', '+' and '%' in a value
// reach the portal as they were typed.
QByteArray formValue(const QString &value)
{
    QByteArray encoded = QUrl::toPercentEncoding(value, " *", "~");
    encoded.replace(' ', '+');
    return encoded;
}

// The portal's reply text, read as UTF-8 up to its first NUL byte.
QString replyText(const QByteArray &body)
{
    const int nul = body.indexOf('\0');
    return QString::fromUtf8(nul < 0 ? body : body.left(nul));
}

}

LoginDialog::LoginDialog(QWidget *parent, int networkTimeoutMs)
    : QDialog(parent)
    , m_network(this)
    , m_networkTimeoutMs(networkTimeoutMs)
{
    setupForm();

    m_labelLogo->setPixmap(QIcon(":/images/tolvane_logo.svg").pixmap(80, 80));
    resetMessage();

    const QString username = Setting::instance()->get("username");
    if (!username.isEmpty()) {
        m_lineEditUsername->setText(username);
        m_lineEditPassword->setFocus();
    }

    connect(m_btnLogin, &QPushButton::clicked, this, &LoginDialog::loginEv);
    // Enter in either field logs in, as in every login form.
    connect(m_lineEditUsername, &QLineEdit::returnPressed, this, &LoginDialog::loginEv);
    connect(m_lineEditPassword, &QLineEdit::returnPressed, this, &LoginDialog::loginEv);
    connect(m_labelForgotPassword, &QLabel::linkActivated, this, &LoginDialog::forgotPassword);
    connect(m_labelForgotUsername, &QLabel::linkActivated, this, &LoginDialog::forgotUsername);
    connect(m_btnContinueCatalogue, &QPushButton::clicked, this, &LoginDialog::continueWithCatalogue);
    m_loginInProgress = false;
}

void LoginDialog::setupForm()
{
    setObjectName("LoginDialog");
    setWindowTitle("Login");
    setFixedSize(427, 370);
    QFont dialogFont = font();
    dialogFont.setFamily("Arial");
    setFont(dialogFont);
    setStyleSheet(QString::fromLatin1(kOwnStyleRules) + QString::fromLatin1(PortalDialogStyle::sharedRules));

    m_labelLogo = new QLabel(this);
    m_labelLogo->setObjectName("label_logo");
    m_labelLogo->setAlignment(Qt::AlignCenter);
    m_labelLogo->setMinimumSize(80, 80);

    m_labelHeading = new QLabel(this);
    m_labelHeading->setObjectName("label");
    m_labelHeading->setTextFormat(Qt::RichText);
    m_labelHeading->setText(
        "<html><head/><body><p><span style=\" font-size:20pt;\">Please login</span></p></body></html>");
    m_labelHeading->setStyleSheet("color: rgb(255, 255, 249);");
    m_labelHeading->setAlignment(Qt::AlignCenter);

    m_labelError = new QLabel(this);
    m_labelError->setObjectName("label_error");
    // It shows the portal's own wording of a refusal: as written, never as markup.
    m_labelError->setTextFormat(Qt::PlainText);
    m_labelError->setWordWrap(true);
    m_labelError->setAlignment(Qt::AlignCenter);

    m_lineEditUsername = new QLineEdit(this);
    m_lineEditUsername->setObjectName("line_edit_username");
    m_lineEditUsername->setPlaceholderText("Username");
    m_lineEditUsername->setMinimumHeight(30);

    m_lineEditPassword = new QLineEdit(this);
    m_lineEditPassword->setObjectName("line_edit_password");
    m_lineEditPassword->setPlaceholderText("Password");
    m_lineEditPassword->setEchoMode(QLineEdit::Password);
    m_lineEditPassword->setMinimumHeight(30);

    m_btnLogin = new QPushButton(kLoginText, this);
    m_btnLogin->setObjectName("btn_login");
    m_btnLogin->setCursor(Qt::PointingHandCursor);
    m_btnLogin->setMinimumHeight(35);
    m_btnLogin->setAutoDefault(false);

    m_btnContinueCatalogue = new QPushButton(kContinueCatalogueText, this);
    m_btnContinueCatalogue->setObjectName("btn_continue_catalogue");
    m_btnContinueCatalogue->setToolTip(kContinueCatalogueTip);
    m_btnContinueCatalogue->setCursor(Qt::PointingHandCursor);
    m_btnContinueCatalogue->setMinimumHeight(35);
    m_btnContinueCatalogue->setAutoDefault(false);
    // A longer text than "LOG IN" in the same width.
    QFont continueFont = m_btnContinueCatalogue->font();
    continueFont.setPointSizeF(continueFont.pointSizeF() * 0.85);
    m_btnContinueCatalogue->setFont(continueFont);
    m_btnContinueCatalogue->hide();

    m_labelForgotPassword = new QLabel(this);
    m_labelForgotPassword->setObjectName("label_forgot_password");
    m_labelForgotPassword->setTextFormat(Qt::RichText);
    m_labelForgotPassword->setText(linkText("Forgot Password"));
    m_labelForgotPassword->setOpenExternalLinks(false);
    m_labelForgotPassword->setAlignment(Qt::AlignCenter);

    m_labelForgotUsername = new QLabel(this);
    m_labelForgotUsername->setObjectName("label_forgot_username");
    m_labelForgotUsername->setTextFormat(Qt::RichText);
    m_labelForgotUsername->setText(linkText("Forgot Username"));
    m_labelForgotUsername->setOpenExternalLinks(false);
    m_labelForgotUsername->setAlignment(Qt::AlignCenter);

    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(40, 12, 40, 12);
    layout->setSpacing(6);
    layout->addWidget(m_labelLogo, 0, Qt::AlignHCenter);
    layout->addWidget(m_labelHeading);
    layout->addWidget(m_labelError);
    layout->addWidget(m_lineEditUsername);
    layout->addWidget(m_lineEditPassword);
    layout->addWidget(m_btnLogin);
    layout->addWidget(m_btnContinueCatalogue);
    layout->addWidget(m_labelForgotPassword);
    layout->addWidget(m_labelForgotUsername);
}

QString LoginDialog::decodingKey() const
{
    return m_decodingKey;
}

void LoginDialog::setNetworkTimeout(int milliseconds)
{
    m_networkTimeoutMs = milliseconds;
}

int LoginDialog::networkTimeout() const
{
    return m_networkTimeoutMs;
}

void LoginDialog::setCatalogueContinuationOffered(bool offered)
{
    m_catalogueContinuationOffered = offered;
    if (!offered)
        m_btnContinueCatalogue->hide();
}

void LoginDialog::resetMessage()
{
    m_labelError->setStyleSheet(kInformationStyleSheet);
    m_labelError->setText(kInformationText);
    m_btnContinueCatalogue->hide();
}

bool LoginDialog::catalogueHoldsDcps() const
{
    try {
        return DatabaseManager::instance()->countDCPs() > 0;
    } catch (const std::exception &error) {
        qDebug() << "[LoginDialog] Unable to read the catalogue: " << QString::fromUtf8(error.what());
        return false;
    }
}

void LoginDialog::loginEv()
{
    if (m_loginInProgress)
        return;
    m_loginInProgress = true;

    resetMessage();
    m_btnLogin->setText(kLoggingInText);

    QNetworkRequest request(PortalHosts::portalUrl("/authenticate"));
    request.setHeader(QNetworkRequest::ContentTypeHeader, "application/x-www-form-urlencoded");
    request.setTransferTimeout(m_networkTimeoutMs);

    QByteArray body;
    body += "username=" + formValue(m_lineEditUsername->text()) + "&";
    body += "password=" + formValue(m_lineEditPassword->text());

    QNetworkReply *reply = m_network.post(request, body);
    connect(reply, &QNetworkReply::finished, this, &LoginDialog::requestFinished);
    connect(reply, &QNetworkReply::errorOccurred, this, &LoginDialog::requestError);
}

void LoginDialog::requestError(QNetworkReply::NetworkError code)
{
    auto *reply = qobject_cast<QNetworkReply *>(sender());
    const int status = reply ? reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt() : 0;

    QString message;
    if (status == 403)
        message = replyText(reply->readAll());
    else if (status == 500)
        message = "Service is temporarily not available. Please try again later.";
    else
        message = "Error. Please check your internet connection.";

    m_labelError->setStyleSheet(kErrorStyleSheet);
    m_labelError->setText(message);

    // No HTTP answer at all (refused, timed out, unknown host, ...) or a server fault: the
    // portal cannot be reached, which says nothing about the account. A refusal (403) or
    // any other answer of the portal does.
    const bool portalUnreachable = status == 0 || status >= 500;
    if (m_catalogueContinuationOffered && portalUnreachable && catalogueHoldsDcps())
        m_btnContinueCatalogue->show();

    const QMetaEnum errors = QMetaEnum::fromType<QNetworkReply::NetworkError>();
    const char *name = errors.valueToKey(code);
    QDebug line = qDebug() << "[LoginDialog] Network reply error: ";
    if (name)
        line << name;
    else
        line << int(code);
    line << ", HTTP status code: " << status;
}

void LoginDialog::requestFinished()
{
    auto *reply = qobject_cast<QNetworkReply *>(sender());
    m_loginInProgress = false;
    m_btnLogin->setText(kLoginText);
    if (!reply)
        return;

    if (reply->error() != QNetworkReply::NoError) {
        reply->deleteLater();
        return;
    }

    // Only a 2xx answer that carries a key is a login: a redirect (or any other answer
    // without an error) is not, and its body is no key.
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    const QString key = replyText(reply->readAll());
    reply->deleteLater();
    if (status < 200 || status > 299 || key.isEmpty()) {
        m_labelError->setStyleSheet(kErrorStyleSheet);
        m_labelError->setText("Error. Please check your internet connection.");
        qDebug() << "[LoginDialog] Not a login: HTTP status code: " << status << ", with a key:" << !key.isEmpty();
        return;
    }
    saveUsername();
    m_decodingKey = key;
    loginSuccessfull();
}

void LoginDialog::saveUsername()
{
    // The login itself has succeeded; a settings store that cannot be written only means
    // the name is not remembered next time.
    try {
        Setting *settings = Setting::instance();
        settings->set("username", m_lineEditUsername->text());
        settings->write();
    } catch (const std::exception &error) {
        qDebug() << "[LoginDialog] Unable to save the username: " << QString::fromUtf8(error.what());
    }
}

void LoginDialog::forgotPassword()
{
    QUrl url = PortalHosts::portalUrl("/user/password/reset/");
    UserInteraction::current()->openUrl(url);
}

void LoginDialog::forgotUsername()
{
    QUrl url = PortalHosts::portalUrl("/user/forgot-username");
    UserInteraction::current()->openUrl(url);
}

void LoginDialog::loginSuccessfull()
{
    accept();
}

void LoginDialog::continueWithCatalogue()
{
    if (m_loginInProgress)
        return;
    qDebug() << "[LoginDialog] Tarn cannot be reached; continuing with the downloads in the catalogue";
    done(ContinueWithCatalogue);
}
