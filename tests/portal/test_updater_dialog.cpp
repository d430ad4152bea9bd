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
#include <QTextBrowser>
#include <QVBoxLayout>
#include <QtTest>

#include <memory>

namespace {

const QString kOffer = "New version available. Would you like to download updates now?";
const QString kDownloading = "Downloading updates ...";

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

    void offer(long long version, const std::string &description = "<p>Faster <b>downloads</b>.</p>")
    {
        VersionCheckBehaviour check;
        check.version = version;
        check.description = description;
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

    void installerIsSavedUnderDecodedNameAndOpened()
    {
        const QString name = "Tolvane Setup.exe";
        serveInstaller(name);
        QVERIFY(QString::fromStdString(m_standin.installerUrl()).endsWith("/downloads/Tolvane%20Setup.exe"));
        offer(UpdaterDialog::BuildVersion + 1);

        // An older installer of the same name is replaced, not appended to.
        const QString target = QDir::tempPath() + "/" + name;
        QFile old(target);
        QVERIFY(old.open(QIODevice::WriteOnly));
        old.write(QByteArray(m_installerBytes.size() * 2, 'x'));
        old.close();

        UpdaterDialog dialog(nullptr);
        QSignalSpy finished(&dialog, &QDialog::finished);
        dialog.show();
        const Form form = formOf(dialog);
        QTRY_VERIFY(form.offerShown());

        QTest::mouseClick(form.update, Qt::LeftButton);
        QCOMPARE(form.status->text(), kDownloading);
        QVERIFY(form.offerHidden());
        QVERIFY(form.progress->isVisible());

        QTRY_COMPARE(finished.count(), 1);
        QCOMPARE(finished.at(0).at(0).toInt(), int(QDialog::Accepted));
        QCOMPARE(fileContent(target), m_installerBytes);
        QCOMPARE(m_interaction.openedUrls, QList<QUrl>({QUrl::fromLocalFile(target)}));
        QCOMPARE(form.progress->maximum(), m_installerBytes.size());
        QCOMPARE(form.progress->value(), m_installerBytes.size());
        QVERIFY(form.status->isHidden());
        QVERIFY(form.progress->isHidden());
        QVERIFY(TestSupport::readLog().contains(
            ("[UpdaterDialog] Temporary path for new installer:  \"" + QDir::tempPath() + "\"\r\n").toUtf8()));
    }

    void installerTheSystemCannotOpenIsRejected()
    {
        offer(UpdaterDialog::BuildVersion + 1);
        m_interaction.openUrlResult = false;
        const QString target = QDir::tempPath() + "/TolvaneSetup.exe";
        QFile::remove(target);

        UpdaterDialog dialog(nullptr);
        QSignalSpy finished(&dialog, &QDialog::finished);
        QVERIFY(pressUpdateOnceOffered(dialog));
        QTRY_COMPARE(finished.count(), 1);
        QCOMPARE(finished.at(0).at(0).toInt(), int(QDialog::Rejected));
        QCOMPARE(m_interaction.openedUrls, QList<QUrl>({QUrl::fromLocalFile(target)}));
        QCOMPARE(fileContent(target), m_installerBytes);
    }

    void unwritableTargetIsLoggedAndStaysDownloading()
    {
        serveInstaller("Blocked Setup.exe");
        offer(UpdaterDialog::BuildVersion + 1);
        // A folder where the installer would go: the file cannot be opened for writing.
        const QString target = QDir::tempPath() + "/Blocked Setup.exe";
        QVERIFY(QDir().mkpath(target));

        UpdaterDialog dialog(nullptr);
        QSignalSpy finished(&dialog, &QDialog::finished);
        QVERIFY(pressUpdateOnceOffered(dialog));
        const Form form = formOf(dialog);
        QTRY_VERIFY(TestSupport::readLog().contains(
            ("[UpdaterDialog] Can not open file:  \"" + target + "\"\r\n").toUtf8()));
        QCOMPARE(finished.count(), 0);
        QCOMPARE(form.status->text(), kDownloading);
        QVERIFY(m_interaction.openedUrls.isEmpty());
        dialog.close();
        QVERIFY(QDir().rmdir(target));
    }

    void failedDownloadStaysDownloading_data()
    {
        QTest::addColumn<int>("failStatus");
        QTest::addColumn<bool>("drop");
        QTest::newRow("server error") << 500 << false;
        QTest::newRow("connection dropped") << 0 << true;
    }

    void failedDownloadStaysDownloading()
    {
        QFETCH(int, failStatus);
        QFETCH(bool, drop);
        serveInstaller("TolvaneSetup.exe", failStatus, drop);
        offer(UpdaterDialog::BuildVersion + 1);
        const QString target = QDir::tempPath() + "/TolvaneSetup.exe";
        QFile::remove(target);

        UpdaterDialog dialog(nullptr);
        QSignalSpy finished(&dialog, &QDialog::finished);
        QNetworkAccessManager *network = networkOf(dialog);
        QVERIFY(network);
        // The dialog deletes its replies, so their outcome is read as they finish.
        QList<QNetworkReply::NetworkError> replies;
        connect(network, &QNetworkAccessManager::finished, this,
                [&replies](QNetworkReply *reply) { replies.append(reply->error()); });
        dialog.show();
        const Form form = formOf(dialog);
        QTRY_VERIFY(form.offerShown());
        QCOMPARE(replies.count(), 1);

        QTest::mouseClick(form.update, Qt::LeftButton);
        QTRY_COMPARE(replies.count(), 2);
        QCOMPARE(replies.at(0), QNetworkReply::NoError);
        // A dropped connection is not always reported as an error by the network layer;
        // the dialog must treat the cut-off body as a failure either way.
        if (failStatus != 0)
            QCOMPARE(replies.at(1), QNetworkReply::InternalServerError);
        QTest::qWait(100);

        QCOMPARE(finished.count(), 0);
        QVERIFY(dialog.isVisible());
        QCOMPARE(form.status->text(), kDownloading);
        QVERIFY(form.status->isVisible());
        QVERIFY(form.progress->isVisible());
        QVERIFY(form.offerHidden());
        QVERIFY(m_interaction.openedUrls.isEmpty());
        QVERIFY(!QFile::exists(target));

        dialog.close();
        QCOMPARE(finished.count(), 1);
        QCOMPARE(finished.at(0).at(0).toInt(), int(QDialog::Rejected));
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
