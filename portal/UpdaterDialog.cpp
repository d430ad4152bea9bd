#include "portal/UpdaterDialog.h"

#include "base/PortalHosts.h"
#include "base/UserInteraction.h"
#include "portal/PortalDialogStyle.h"

#include <QDebug>
#include <QHBoxLayout>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>
#include <QLabel>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QProgressBar>
#include <QPushButton>
#include <QSpacerItem>
#include <QTextBrowser>
#include <QUrl>
#include <QVBoxLayout>
#include <QVariant>

namespace {

// The release description is the portal's HTML: shown as it is, but nothing it names is
// loaded (no image, style sheet or file, local or remote), and its links open only in the
// browser, only over https.
class DescriptionBrowser : public QTextBrowser
{
public:
    explicit DescriptionBrowser(QWidget *parent)
        : QTextBrowser(parent)
    {
        setOpenLinks(false);
        setOpenExternalLinks(false);
        connect(this, &QTextBrowser::anchorClicked, this, [](const QUrl &url) {
            if (url.scheme().compare("https", Qt::CaseInsensitive) == 0 && !url.host().isEmpty())
                UserInteraction::current()->openUrl(url);
            else
                qDebug() << "[UpdaterDialog] Not opening a link of the description:" << url.toString();
        });
    }

    // Empty, not null: for a null answer the document would read a local file itself.
    QVariant loadResource(int, const QUrl &) override { return QVariant(QByteArray("")); }
};

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
    "\tmin-height: 35px;\n"
    "\tmin-width: 100px;\n"
    "}\n"
    "QProgressBar {\n"
    "\tcolor: rgb(255, 255, 255);\n"
    "}\n";

}

UpdaterDialog::UpdaterDialog(QWidget *parent, int networkTimeoutMs)
    : QDialog(parent)
    , m_network(this)
    , m_networkTimeoutMs(networkTimeoutMs)
{
    setupForm();

    setUpdateWidgetsVisible(false);
    setProgressBarVisible(false);
    m_progressbarDownload->setValue(0);

    QNetworkRequest request(PortalHosts::portalUrl("/versioncheck"));
    request.setTransferTimeout(m_networkTimeoutMs);
    QNetworkReply *reply = m_network.get(request);
    connect(reply, &QNetworkReply::finished, this, &UpdaterDialog::requestFinishedUpdater);

    connect(m_btnUpdate, &QPushButton::clicked, this, &UpdaterDialog::startDownloading);
    connect(m_btnNotNow, &QPushButton::clicked, this, &UpdaterDialog::reject);
    adjustSize();
}

void UpdaterDialog::setupForm()
{
    setObjectName("UpdaterDialog");
    setWindowTitle("Checking for updates...");
    resize(481, 468);
    setMinimumSize(418, 150);
    setMaximumSize(481, 468);
    setStyleSheet(QString::fromLatin1(kOwnStyleRules) + QString::fromLatin1(PortalDialogStyle::sharedRules));

    auto *layout = new QVBoxLayout(this);

    m_labelStatus = new QLabel("Please wait...", this);
    m_labelStatus->setObjectName("label_status");
    m_labelStatus->setWordWrap(true);
    m_labelStatus->setAlignment(Qt::AlignHCenter | Qt::AlignVCenter);
    layout->addWidget(m_labelStatus);

    m_progressbarDownload = new QProgressBar(this);
    m_progressbarDownload->setObjectName("progressbar_download");
    layout->addWidget(m_progressbarDownload);

    m_vLayoutUpdates = new QVBoxLayout();
    m_vLayoutUpdates->setObjectName("v_layout_updates");
    m_textBrowserDescription = new DescriptionBrowser(this);
    m_textBrowserDescription->setObjectName("text_browser_description");
    m_vLayoutUpdates->addWidget(m_textBrowserDescription);
    layout->addLayout(m_vLayoutUpdates);

    auto *buttons = new QHBoxLayout();
    buttons->addItem(new QSpacerItem(40, 20, QSizePolicy::Expanding, QSizePolicy::Minimum));
    m_btnUpdate = new QPushButton("Update", this);
    m_btnUpdate->setObjectName("btn_update");
    m_btnUpdate->setAutoDefault(false);
    buttons->addWidget(m_btnUpdate);
    m_btnNotNow = new QPushButton("Not now", this);
    m_btnNotNow->setObjectName("btn_not_now");
    m_btnNotNow->setAutoDefault(false);
    buttons->addWidget(m_btnNotNow);
    layout->addLayout(buttons);
}

void UpdaterDialog::setUpdateWidgetsVisible(bool visible)
{
    m_textBrowserDescription->setVisible(visible);
    m_btnUpdate->setVisible(visible);
    m_btnNotNow->setVisible(visible);
    resize(maximumSize());
}

void UpdaterDialog::setProgressBarVisible(bool visible)
{
    m_progressbarDownload->setVisible(visible);
    adjustSize();
}

void UpdaterDialog::requestFinishedUpdater()
{
    auto *reply = qobject_cast<QNetworkReply *>(sender());
    if (!reply)
        return;
    if (reply->error() != QNetworkReply::NoError) {
        reply->deleteLater();
        reject();
        return;
    }

    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(reply->readAll(), &parseError);
    if (parseError.error != QJsonParseError::NoError) {
        qDebug() << "[UpdaterDialog] Cannot parse the JSON package: " << parseError.errorString();
        reply->deleteLater();
        reject();
        return;
    }

    const QJsonObject object = document.object();
    m_description = object.value("description").toString();
    m_installerUrl = object.value("win_url").toString();
    // A whole JSON number; a string, a fraction or a missing key reads 0.
    const int version = object.value("version").toInt(0);

    if (version > BuildVersion) {
        setWindowTitle("New version available");
        m_labelStatus->setText("New version available. Would you like to download updates now?");
        m_textBrowserDescription->setHtml(m_description);
        setUpdateWidgetsVisible(true);
    } else {
        reject();
    }
    reply->deleteLater();
}

void UpdaterDialog::startDownloading()
{
    // The installer is the portal's download page, opened in the browser: nothing is
    // fetched, written or run from here. Only an https address is opened.
    const QUrl url(m_installerUrl);
    if (url.scheme().compare("https", Qt::CaseInsensitive) != 0 || url.host().isEmpty()) {
        qDebug() << "[UpdaterDialog] Not opening an update address that is not https:" << m_installerUrl;
        m_labelStatus->setText("The update cannot be opened. Please download it from Tarn.");
        m_btnUpdate->setEnabled(false);
        return;
    }
    if (UserInteraction::current()->openUrl(url))
        accept();
    else
        reject();
}
