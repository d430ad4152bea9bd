#include "portal/UpdaterDialog.h"

#include "base/PortalHosts.h"
#include "base/UserInteraction.h"
#include "portal/PortalDialogStyle.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
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
    m_textBrowserDescription = new QTextBrowser(this);
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
    m_labelStatus->setText("Downloading updates ...");
    setUpdateWidgetsVisible(false);
    setProgressBarVisible(true);

    QNetworkRequest request{QUrl(m_installerUrl)};
    request.setTransferTimeout(m_networkTimeoutMs);
    QNetworkReply *reply = m_network.get(request);
    connect(reply, &QNetworkReply::finished, this, &UpdaterDialog::requestFinishedDownloader);
    connect(reply, &QNetworkReply::downloadProgress, this, &UpdaterDialog::downloaderProgress);
}

void UpdaterDialog::downloaderProgress(qint64 bytesReceived, qint64 bytesTotal)
{
    m_progressbarDownload->setMaximum(int(bytesTotal));
    m_progressbarDownload->setValue(int(bytesReceived));
}

void UpdaterDialog::requestFinishedDownloader()
{
    auto *reply = qobject_cast<QNetworkReply *>(sender());
    if (!reply)
        return;
    if (reply->error() != QNetworkReply::NoError) {
        reply->deleteLater();
        return;
    }

    // A connection that closes before the announced length has arrived can end without
    // an error; a cut-off installer is a failed download all the same.
    const QByteArray installer = reply->readAll();
    const QVariant announced = reply->header(QNetworkRequest::ContentLengthHeader);
    const QByteArray encoding = reply->rawHeader("Content-Encoding").trimmed().toLower();
    if (announced.isValid() && (encoding.isEmpty() || encoding == "identity")
        && announced.toLongLong() != installer.size()) {
        reply->deleteLater();
        return;
    }

    const QString tempPath = QDir::tempPath();
    const QString fileName = QFileInfo(reply->url().path(QUrl::FullyDecoded)).fileName();
    const QString target = tempPath + "/" + fileName;
    qDebug() << "[UpdaterDialog] Temporary path for new installer: " << tempPath;

    QFile file(target);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        qDebug() << "[UpdaterDialog] Can not open file: " << file.fileName();
        reply->deleteLater();
        return;
    }
    file.write(installer);
    file.flush();
    file.close();

    m_labelStatus->hide();
    m_progressbarDownload->hide();

    if (UserInteraction::current()->openUrl(QUrl::fromLocalFile(target)))
        accept();
    else
        reject();
    reply->deleteLater();
}
