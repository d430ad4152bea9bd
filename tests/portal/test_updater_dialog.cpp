// The update check and installer download against the portal stand-in on 127.0.0.1.
#include "portal/UpdaterDialog.h"

#include "PortalStandin.h"
#include "support/ScriptedUserInteraction.h"
#include "support/TestMain.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QLabel>
#include <QNetworkAccessManager>
#include <QProgressBar>
#include <QPushButton>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QImage>
#include <QTextBrowser>
#include <QTextCursor>
#include <QTextDocument>
#include <QVBoxLayout>
#include <QtTest>

#include <memory>

namespace {

const QString kOffer = "New version available. Would you like to download updates now?";
const std::string kHttpsInstaller = "https://tarn.example/downloads/TolvaneSetup.exe";

// Accepts connections and never answers: a portal that hangs.
class SilentServer : public QTcpServer
{
public:
    QList<QTcpSocket *> sockets;

protected:
    void incomingConnection(qintptr handle) override
    {
        auto *socket = new QTcpSocket(this);
        socket->setSocketDescriptor(handle);
        sockets.append(socket);
    }
};

}

class TestUpdaterDialog : public QObject
{
    Q_OBJECT

    PortalStandin m_standin;
    ScriptedUserInteraction m_interaction;
    QString m_base;
    QTemporaryDir m_sources;
    QByteArray m_installerBytes;

    struct Form {
        QLabel *status = nullptr;
        QProgressBar *progress = nullptr;
        QVBoxLayout *updates = nullptr;
        QTextBrowser *description = nullptr;
        QPushButton *update = nullptr;
        QPushButton *notNow = nullptr;
        bool complete() const { return status && progress && updates && description && update && notNow; }
        bool offerHidden() const { return description->isHidden() && update->isHidden() && notNow->isHidden(); }
        bool offerShown() const { return description->isVisible() && update->isVisible() && notNow->isVisible(); }
    };

    static Form formOf(UpdaterDialog &dialog)
    {
        Form form;
        form.status = dialog.findChild<QLabel *>("label_status");
        form.progress = dialog.findChild<QProgressBar *>("progressbar_download");
        form.updates = dialog.findChild<QVBoxLayout *>("v_layout_updates");
        form.description = dialog.findChild<QTextBrowser *>("text_browser_description");
        form.update = dialog.findChild<QPushButton *>("btn_update");
        form.notNow = dialog.findChild<QPushButton *>("btn_not_now");
        return form;
    }

    static QNetworkAccessManager *networkOf(UpdaterDialog &dialog)
    {
        return dialog.findChild<QNetworkAccessManager *>();
    }

    void offer(long long version, const std::string &description = "<p>Faster <b>downloads</b>.</p>",
               const std::string &winUrl = kHttpsInstaller)
    {
        VersionCheckBehaviour check;
        check.version = version;
        check.description = description;
        check.winUrl = winUrl;
        m_standin.setVersionCheck(check);
    }

    void offerRaw(const std::string &body, int status = 200)
    {
        VersionCheckBehaviour check;
        check.useRawBody = true;
        check.rawBody = body;
        check.status = status;
        m_standin.setVersionCheck(check);
    }

    void serveInstaller(const QString &name, int failStatus = 0, bool drop = false)
    {
        InstallerBehaviour installer;
        installer.filePath = (m_sources.path() + "/installer.bin").toStdString();
        installer.name = name.toStdString();
        installer.failStatus = failStatus;
        installer.drop = drop;
        m_standin.setInstaller(installer);
    }

    // Shows the dialog, waits for the offer and presses "Update".
    static bool pressUpdateOnceOffered(UpdaterDialog &dialog)
    {
        dialog.show();
        if (!QTest::qWaitFor([&dialog] { return formOf(dialog).offerShown(); }))
            return false;
        QTest::mouseClick(formOf(dialog).update, Qt::LeftButton);
        return true;
    }

    static QByteArray fileContent(const QString &path)
    {
        QFile file(path);
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }

private slots:
    void initTestCase()
    {
        TestSupport::captureLog();
        QVERIFY(m_standin.start());
        m_base = QString::fromStdString(m_standin.baseUrl());
        qputenv("TOLVANE_PORTAL_URL", m_base.toUtf8());

        QVERIFY(m_sources.isValid());
        for (int i = 0; i < 300000; ++i)
            m_installerBytes.append(char((quint64(i) * 7919) % 251));
        QFile installer(m_sources.path() + "/installer.bin");
        QVERIFY(installer.open(QIODevice::WriteOnly));
        QCOMPARE(installer.write(m_installerBytes), qint64(m_installerBytes.size()));
        installer.close();

        // The temporary directory is this test's own.
        QVERIFY(QDir::tempPath().startsWith(TestSupport::dataDir()));
    }

    void cleanupTestCase() { m_standin.stop(); }

    void init()
    {
        qputenv("TOLVANE_PORTAL_URL", m_base.toUtf8());
        m_interaction.openedUrls.clear();
        m_interaction.openUrlResult = true;
        offer(UpdaterDialog::BuildVersion);
        serveInstaller("TolvaneSetup.exe");
    }

    void waitingFormAsDesignedAndClosingContinues()
    {
        SilentServer silent;
        QVERIFY(silent.listen(QHostAddress::LocalHost));
        qputenv("TOLVANE_PORTAL_URL", QString("http://127.0.0.1:%1").arg(silent.serverPort()).toUtf8());

        UpdaterDialog dialog(nullptr);
        QSignalSpy finished(&dialog, &QDialog::finished);
        const Form form = formOf(dialog);
        QVERIFY(form.complete());
        QCOMPARE(dialog.objectName(), QString("UpdaterDialog"));
        QCOMPARE(dialog.windowTitle(), QString("Checking for updates..."));
        QCOMPARE(dialog.minimumSize(), QSize(418, 150));
        QCOMPARE(dialog.maximumSize(), QSize(481, 468));
        QVERIFY(dialog.styleSheet().contains("min-height: 35px;"));
        QVERIFY(dialog.styleSheet().contains("min-width: 100px;"));
        QVERIFY(dialog.styleSheet().contains("QProgressBar"));
        QCOMPARE(form.status->text(), QString("Please wait..."));
        QVERIFY(form.status->wordWrap());
        QCOMPARE(form.status->alignment(), Qt::AlignHCenter | Qt::AlignVCenter);
        QCOMPARE(form.update->text(), QString("Update"));
        QCOMPARE(form.notNow->text(), QString("Not now"));
        QVERIFY(form.updates->indexOf(form.description) >= 0);

        dialog.show();
        QVERIFY(QTest::qWaitForWindowExposed(&dialog));
        QVERIFY(form.status->isVisible());
        QVERIFY(form.offerHidden());
        QVERIFY(form.progress->isHidden());
        QCOMPARE(form.progress->value(), 0);

        QTRY_COMPARE(silent.sockets.size(), 1);
        dialog.close();
        QCOMPARE(finished.count(), 1);
        QCOMPARE(finished.at(0).at(0).toInt(), int(QDialog::Rejected));
    }

    void sameVersionIsNoOffer()
    {
        const int checks = m_standin.versionCheckRequestCount();
        UpdaterDialog dialog(nullptr);
        QSignalSpy finished(&dialog, &QDialog::finished);
        dialog.show();
        QTRY_COMPARE(finished.count(), 1);
        QCOMPARE(finished.at(0).at(0).toInt(), int(QDialog::Rejected));
        QCOMPARE(m_standin.versionCheckRequestCount(), checks + 1);
        QCOMPARE(dialog.windowTitle(), QString("Checking for updates..."));
        QVERIFY(formOf(dialog).offerHidden());
    }

    void newerVersionIsOfferedAndNotNowDeclines()
    {
        offer(UpdaterDialog::BuildVersion + 1);
        UpdaterDialog dialog(nullptr);
        QSignalSpy finished(&dialog, &QDialog::finished);
        dialog.show();
        QTRY_COMPARE(dialog.windowTitle(), QString("New version available"));
        const Form form = formOf(dialog);
        QCOMPARE(form.status->text(), kOffer);
        QVERIFY(form.offerShown());
        QVERIFY(form.progress->isHidden());
        QCOMPARE(form.description->toPlainText(), QString("Faster downloads."));
        QVERIFY(form.description->toHtml().contains("font-weight:600"));
        QCOMPARE(finished.count(), 0);

        QTest::mouseClick(form.notNow, Qt::LeftButton);
        QCOMPARE(finished.count(), 1);
        QCOMPARE(finished.at(0).at(0).toInt(), int(QDialog::Rejected));
        QVERIFY(m_interaction.openedUrls.isEmpty());
    }

    void versionThatIsNotANumberIsNoOffer_data()
    {
        QTest::addColumn<QString>("body");
        QTest::newRow("string") << "{\"version\":\"20170614\",\"description\":\"<p>x</p>\",\"win_url\":\"" + m_base
                                       + "/downloads/TolvaneSetup.exe\"}";
        QTest::newRow("missing") << "{\"description\":\"<p>x</p>\"}";
        QTest::newRow("fraction") << "{\"version\":20170614.5}";
        QTest::newRow("array") << "[20170614]";
    }

    void versionThatIsNotANumberIsNoOffer()
    {
        QFETCH(QString, body);
        offerRaw(body.toStdString());
        UpdaterDialog dialog(nullptr);
        QSignalSpy finished(&dialog, &QDialog::finished);
        dialog.show();
        QTRY_COMPARE(finished.count(), 1);
        QCOMPARE(finished.at(0).at(0).toInt(), int(QDialog::Rejected));
        QCOMPARE(dialog.windowTitle(), QString("Checking for updates..."));
        QVERIFY(formOf(dialog).offerHidden());
    }

    void unreadableReplyIsLoggedAndRejected()
    {
        const QByteArray body = "<html><body>Maintenance</body></html>";
        QJsonParseError expected;
        QJsonDocument::fromJson(body, &expected);
        QVERIFY(expected.error != QJsonParseError::NoError);

        offerRaw(body.toStdString());
        UpdaterDialog dialog(nullptr);
        QSignalSpy finished(&dialog, &QDialog::finished);
        dialog.show();
        QTRY_COMPARE(finished.count(), 1);
        QCOMPARE(finished.at(0).at(0).toInt(), int(QDialog::Rejected));
        QVERIFY(TestSupport::readLog().contains(
            ("[UpdaterDialog] Cannot parse the JSON package:  \"" + expected.errorString() + "\"\r\n").toUtf8()));
    }

    void failedCheckIsRejectedSilently()
    {
        const QByteArray logBefore = TestSupport::readLog();
        // Even a newer version in the body counts for nothing when the status is an error.
        offerRaw("{\"version\":20991231,\"description\":\"<p>x</p>\"}", 500);
        UpdaterDialog dialog(nullptr);
        QSignalSpy finished(&dialog, &QDialog::finished);
        dialog.show();
        QTRY_COMPARE(finished.count(), 1);
        QCOMPARE(finished.at(0).at(0).toInt(), int(QDialog::Rejected));
        QCOMPARE(dialog.windowTitle(), QString("Checking for updates..."));
        QCOMPARE(TestSupport::readLog().count("[UpdaterDialog]"), logBefore.count("[UpdaterDialog]"));
        QVERIFY(m_interaction.openedUrls.isEmpty());
    }

    // The update is the portal's https download page, opened in the browser: nothing is
    // downloaded, nothing is written to the temporary folder, nothing is run.
    void httpsUpdateOpensInTheBrowserAndNothingIsWritten()
    {
        offer(UpdaterDialog::BuildVersion + 1, "<p>Faster <b>downloads</b>.</p>", kHttpsInstaller);
        const QStringList tempBefore = QDir(QDir::tempPath()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot);
        UpdaterDialog dialog(nullptr);
        QSignalSpy finished(&dialog, &QDialog::finished);
        QList<QUrl> requested;
        connect(networkOf(dialog), &QNetworkAccessManager::finished, this,
                [&requested](QNetworkReply *reply) { requested.append(reply->url()); });
        QVERIFY(pressUpdateOnceOffered(dialog));
        QTRY_COMPARE(finished.count(), 1);
        QCOMPARE(finished.at(0).at(0).toInt(), int(QDialog::Accepted));
        QCOMPARE(m_interaction.openedUrls, QList<QUrl>({QUrl(QString::fromStdString(kHttpsInstaller))}));
        QTest::qWait(100);
        QCOMPARE(requested.size(), 1); // the version check only
        QVERIFY(requested.at(0).path().endsWith("/versioncheck"));
        QCOMPARE(QDir(QDir::tempPath()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot), tempBefore);
    }

    void browserThatCannotOpenTheUpdateRejects()
    {
        offer(UpdaterDialog::BuildVersion + 1, "<p>x</p>", kHttpsInstaller);
        m_interaction.openUrlResult = false;
        UpdaterDialog dialog(nullptr);
        QSignalSpy finished(&dialog, &QDialog::finished);
        QVERIFY(pressUpdateOnceOffered(dialog));
        QTRY_COMPARE(finished.count(), 1);
        QCOMPARE(finished.at(0).at(0).toInt(), int(QDialog::Rejected));
        QCOMPARE(m_interaction.openedUrls.size(), 1);
    }

    void onlyAnHttpsUpdateIsOpened_data()
    {
        QTest::addColumn<QString>("winUrl");
        QTest::newRow("a private key on this machine") << "file:///root/.ssh/id_rsa";
        QTest::newRow("plain http installer") << m_base + "/downloads/TolvaneSetup.exe";
        QTest::newRow("plain http desktop entry") << m_base + "/downloads/run.desktop";
        QTest::newRow("ftp") << "ftp://127.0.0.1/TolvaneSetup.exe";
        QTest::newRow("script") << "javascript:alert(1)";
        QTest::newRow("relative") << "/downloads/TolvaneSetup.exe";
        QTest::newRow("empty") << "";
    }

    // Any other address is neither fetched nor opened; the operator is told and may close
    // the offer.
    void onlyAnHttpsUpdateIsOpened()
    {
        QFETCH(QString, winUrl);
        VersionCheckBehaviour check;
        check.version = UpdaterDialog::BuildVersion + 1;
        check.winUrl = winUrl.isEmpty() ? std::string("about:blank") : winUrl.toStdString();
        if (winUrl.isEmpty())
            check.useRawBody = true, check.rawBody = "{\"version\":20170614,\"description\":\"<p>x</p>\"}";
        m_standin.setVersionCheck(check);
        const QStringList tempBefore = QDir(QDir::tempPath()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot);
        UpdaterDialog dialog(nullptr);
        QSignalSpy finished(&dialog, &QDialog::finished);
        QList<QUrl> requested;
        connect(networkOf(dialog), &QNetworkAccessManager::finished, this,
                [&requested](QNetworkReply *reply) { requested.append(reply->url()); });
        QVERIFY(pressUpdateOnceOffered(dialog));
        QTest::qWait(200);
        QCOMPARE(finished.count(), 0);
        QVERIFY(m_interaction.openedUrls.isEmpty());
        QCOMPARE(requested.size(), 1);
        QCOMPARE(QDir(QDir::tempPath()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot), tempBefore);
        QCOMPARE(formOf(dialog).status->text(), QString("The update cannot be opened. Please download it from Tarn."));
        QVERIFY(TestSupport::readLog().contains("[UpdaterDialog] Not opening an update address that is not https:"));
        dialog.close();
        QCOMPARE(finished.count(), 1);
        QCOMPARE(finished.at(0).at(0).toInt(), int(QDialog::Rejected));
    }

    // The description's HTML is shown, but nothing it names is loaded: neither a file of
    // this machine nor an address on the network.
    void descriptionLoadsNothing()
    {
        QTemporaryDir folder;
        const QString picture = folder.path() + "/private.png";
        QFile style(folder.path() + "/style.css");
        QVERIFY(style.open(QIODevice::WriteOnly));
        style.write("p { color: red; }");
        style.close();
        QImage image(8, 8, QImage::Format_RGB32);
        image.fill(Qt::red);
        QVERIFY(image.save(picture));
        const QString local = QUrl::fromLocalFile(picture).toString();
        const QString remote = m_base + "/assets/seen.png?who=cinema-42";
        offer(UpdaterDialog::BuildVersion + 1,
              QString("<p>New <img src=\"%1\"><img src=\"%2\"></p><link rel=\"stylesheet\" href=\"%3\">")
                  .arg(local, remote, QUrl::fromLocalFile(folder.path() + "/style.css").toString())
                  .toStdString());
        UpdaterDialog dialog(nullptr);
        dialog.show();
        const Form form = formOf(dialog);
        QTRY_VERIFY(form.offerShown());
        QVERIFY(form.description->toHtml().contains("private.png"));
        form.description->grab(); // laid out and painted, as shown
        QVERIFY(form.description->document()->resource(QTextDocument::ImageResource, QUrl(local)).toByteArray().isEmpty());
        QVERIFY(form.description->document()->resource(QTextDocument::ImageResource, QUrl(local)).value<QImage>().isNull());
        QVERIFY(form.description->document()
                    ->resource(QTextDocument::StyleSheetResource, QUrl::fromLocalFile(folder.path() + "/style.css"))
                    .toByteArray()
                    .isEmpty());
        for (const AssetRequest &request : m_standin.assetRequests())
            QVERIFY(request.urlPath.find("seen.png") == std::string::npos);
        dialog.close();
    }

    void descriptionLinksOpenOnlyHttpsInTheBrowser_data()
    {
        QTest::addColumn<QString>("href");
        QTest::addColumn<bool>("opened");
        QTest::newRow("https") << "https://tarn.example/releases/1.5" << true;
        QTest::newRow("http") << "http://tarn.example/releases/1.5" << false;
        QTest::newRow("a file") << "file:///etc/passwd" << false;
        QTest::newRow("a desktop entry") << "file:///tmp/run.desktop" << false;
    }

    void descriptionLinksOpenOnlyHttpsInTheBrowser()
    {
        QFETCH(QString, href);
        QFETCH(bool, opened);
        offer(UpdaterDialog::BuildVersion + 1, QString("<p><a href=\"%1\">Release notes</a></p>").arg(href).toStdString());
        UpdaterDialog dialog(nullptr);
        QSignalSpy finished(&dialog, &QDialog::finished);
        dialog.show();
        const Form form = formOf(dialog);
        QTRY_VERIFY(form.offerShown());
        QVERIFY(QTest::qWaitForWindowExposed(&dialog));
        const QTextCursor link = form.description->document()->find("Release notes");
        QVERIFY(!link.isNull());
        QTextCursor middle(form.description->document());
        middle.setPosition((link.selectionStart() + link.selectionEnd()) / 2);
        const QPoint point = form.description->cursorRect(middle).center();
        QTest::mouseClick(form.description->viewport(), Qt::LeftButton, Qt::NoModifier, point);
        QCOMPARE(m_interaction.openedUrls, opened ? QList<QUrl>({QUrl(href)}) : QList<QUrl>());
        // The description stays; the browser widget does not navigate anywhere itself.
        QVERIFY(form.description->source().isEmpty());
        QCOMPARE(form.description->toPlainText(), QString("Release notes"));
        QCOMPARE(finished.count(), 0);
        dialog.close();
    }

    void unansweredCheckIsRejectedAfterTimeout()
    {
        SilentServer silent;
        QVERIFY(silent.listen(QHostAddress::LocalHost));
        qputenv("TOLVANE_PORTAL_URL", QString("http://127.0.0.1:%1").arg(silent.serverPort()).toUtf8());

        QElapsedTimer clock;
        clock.start();
        UpdaterDialog dialog(nullptr, 600);
        QSignalSpy finished(&dialog, &QDialog::finished);
        dialog.show();
        QTRY_COMPARE(silent.sockets.size(), 1);
        QTRY_COMPARE_WITH_TIMEOUT(finished.count(), 1, 15000);
        QVERIFY(clock.elapsed() >= 500);
        QCOMPARE(finished.at(0).at(0).toInt(), int(QDialog::Rejected));
        QCOMPARE(dialog.windowTitle(), QString("Checking for updates..."));
    }

    void execTellsStartupWhatToDo()
    {
        {
            UpdaterDialog dialog(nullptr);
            QCOMPARE(dialog.exec(), int(QDialog::Rejected));
        }
        {
            offer(UpdaterDialog::BuildVersion + 1);
            UpdaterDialog dialog(nullptr);
            QTimer clicker;
            QObject::connect(&clicker, &QTimer::timeout, &dialog, [&dialog] {
                QPushButton *update = dialog.findChild<QPushButton *>("btn_update");
                if (update && update->isVisible())
                    QTest::mouseClick(update, Qt::LeftButton);
            });
            clicker.start(20);
            QCOMPARE(dialog.exec(), int(QDialog::Accepted));
            QCOMPARE(m_interaction.openedUrls.size(), 1);
        }
    }
};

TOLVANE_TEST_MAIN(TestUpdaterDialog)
#include "test_updater_dialog.moc"
