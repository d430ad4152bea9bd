#pragma once

#include <QDialog>
#include <QNetworkAccessManager>
#include <QString>

class QLabel;
class QProgressBar;
class QPushButton;
class QTextBrowser;
class QVBoxLayout;

// The update check run before the login: asks the portal for its latest build and, when it
// is newer than this one, offers to open its download page (the https address the portal
// names) in the user's browser. Nothing is downloaded or run here. Accepted means the
// browser has the page and the program must close.
class UpdaterDialog : public QDialog
{
    Q_OBJECT
public:
    // Sends the version check at once. A request that gets no answer for networkTimeoutMs
    // fails as a lost connection does.
    explicit UpdaterDialog(QWidget *parent = nullptr, int networkTimeoutMs = DefaultNetworkTimeoutMs);

    static constexpr int BuildVersion = 20170613;
    static constexpr int DefaultNetworkTimeoutMs = 30000;

private slots:
    void requestFinishedUpdater();
    void startDownloading();

private:
    void setupForm();
    void setUpdateWidgetsVisible(bool visible);
    void setProgressBarVisible(bool visible);

    QLabel *m_labelStatus = nullptr;
    QProgressBar *m_progressbarDownload = nullptr;
    QVBoxLayout *m_vLayoutUpdates = nullptr;
    QTextBrowser *m_textBrowserDescription = nullptr;
    QPushButton *m_btnUpdate = nullptr;
    QPushButton *m_btnNotNow = nullptr;

    QNetworkAccessManager m_network;
    QString m_description;
    QString m_installerUrl;
    int m_networkTimeoutMs = DefaultNetworkTimeoutMs;
};
