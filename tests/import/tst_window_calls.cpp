// The calls the window makes on the managers, against a real package and a real catalogue
// database that another connection holds locked for writing: every call returns, the
// failure is logged and shown in a box, and the catalogue in memory still equals the
// database. Once the lock is gone the same call works.
#include "CatalogueCheck.h"
#include "ImportFixtures.h"

#include "catalogue/DCP.h"
#include "catalogue/DCPManager.h"
#include "catalogue/DatabaseManager.h"
#include "catalogue/Reel.h"
#include "catalogue/Setting.h"
#include "download/Asset.h"
#include "download/DownloadManager.h"
#include "support/ScriptedUserInteraction.h"
#include "support/TestMain.h"

#include <QSet>
#include <QSignalSpy>
#include <QSqlQuery>
#include <QtTest>

#include <functional>

using Message = UserInteraction::Message;

namespace {

const QString boxTitle = "Tolvane Downloader";
const QString advice = "\r\n\r\nPlease try again. If this keeps happening, restart the Tolvane Downloader and check "
                       "that the drive holding its database can be written.";

using CatalogueCheck::WriteLock;
using Fixtures::withoutLocalWarnings;

bool isFailureBox(const Message &m, const QString &text, const QString &reason)
{
    const bool same = m.icon == UserInteraction::Icon::Critical && m.title == boxTitle && m.text == text
        && m.informativeText == reason + advice && m.buttons == UserInteraction::Buttons(UserInteraction::Ok);
    if (!same)
        qWarning().noquote() << "box was:" << int(m.icon) << m.title << "|" << m.text << "|" << m.informativeText;
    return same;
}

QString settingRow(const QString &key)
{
    QSqlQuery query(DatabaseManager::instance()->database());
    query.prepare("SELECT value FROM setting WHERE key = ?");
    query.addBindValue(key);
    return query.exec() && query.next() ? query.value(0).toString() : QString("<none>");
}

}

class TestWindowCalls : public QObject
{
    Q_OBJECT

    // Asset URLs point at a closed loopback port: a download the tests start fails at once.
    QString packageFor(const QString &title, int reels, GeneratedDcp &dcp)
    {
        DcpGeneratorOptions options;
        options.title = title;
        options.reels = reels;
        options.totalSize = 8192;
        if (!Fixtures::generate(options, dcp))
            return QString();
        PackageOptions package;
        package.baseUrl = "http://127.0.0.1:9/{dcp}";
        package.dcps = {Fixtures::dcpOptions(dcp)};
        QJsonObject json;
        if (!buildPackageJson(package, json))
            return QString();
        return Fixtures::writePackage(json);
    }

    DCP *import(const QString &title, int reels)
    {
        GeneratedDcp dcp;
        const QString path = packageFor(title, reels, dcp);
        ScriptedUserInteraction ui;
        ui.directoryAnswers = QStringList{Fixtures::uniqueDir("destination")};
        DCPManager::instance()->loadDCPFromFile("file://" + path);
        if (!withoutLocalWarnings(ui.messages).isEmpty())
            qWarning() << "import showed" << withoutLocalWarnings(ui.messages).first().text;
        return DCPManager::instance()->getDCP(dcp.cplUuid);
    }

private slots:
    void initTestCase()
    {
        TestSupport::captureLog();
        // Downloads start paused, so nothing runs behind the tests' backs.
        Setting::instance()->set("download_paused", "1");
        Setting::instance()->write();
        DCPManager::instance()->setDecodingKey(Fixtures::decodingKey());
        // A refused write waits this long for the lock instead of the usual seconds.
        QVERIFY(QSqlQuery(DatabaseManager::instance()->database()).exec("PRAGMA busy_timeout = 100"));
    }

    void cleanupTestCase()
    {
        DownloadManager::instance()->pauseDownloading(true);
    }

    void packageTheDatabaseRefusesIsNotImported()
    {
        // The import's first write, which the lock refuses.
        const QString refusal = "Unable to run removeLeftoverDCPRows [dcp_reel_asset] query";
        GeneratedDcp dcp;
        const QString path = packageFor("Refused Feature", 2, dcp);
        QVERIFY(!path.isEmpty());
        const QStringList before = CatalogueCheck::databaseRows();
        {
            WriteLock lock(DatabaseManager::instance()->databasePath());
            QVERIFY(lock.held);
            ScriptedUserInteraction ui;
            ui.directoryAnswers = QStringList{Fixtures::uniqueDir("destination")};
            DCPManager::instance()->loadDCPFromFile("file://" + path);
            const QList<Message> boxes = withoutLocalWarnings(ui.messages);
            QCOMPARE(boxes.size(), 1);
            QVERIFY(isFailureBox(boxes.first(), "The package could not be loaded.", refusal));
        }
        QVERIFY(!DCPManager::instance()->getDCP(dcp.cplUuid));
        QCOMPARE(CatalogueCheck::databaseRows(), before);
        QCOMPARE(CatalogueCheck::difference(), QString());
        QVERIFY(TestSupport::readLog().contains("[DCPManager] loadDCPFromFile failed: \"" + refusal.toUtf8() + "\""));

        // With the lock gone the same package imports.
        ScriptedUserInteraction ui;
        ui.directoryAnswers = QStringList{Fixtures::uniqueDir("destination")};
        DCPManager::instance()->loadDCPFromFile("file://" + path);
        QVERIFY(withoutLocalWarnings(ui.messages).isEmpty());
        DCP *stored = DCPManager::instance()->getDCP(dcp.cplUuid);
        QVERIFY(stored);
        QCOMPARE(stored->getReels().size(), 2);
        QCOMPARE(CatalogueCheck::difference(), QString());
    }

    void packageWithoutDecodingKeyIsRefusedInABox()
    {
        DCPManager *manager = DCPManager::instance();
        manager->setDecodingKey(QString());
        ScriptedUserInteraction ui;
        manager->loadDCPFromFile(TestSupport::dataDir() + "/no-such-package.orvdcp");
        manager->setDecodingKey(Fixtures::decodingKey());
        QCOMPARE(ui.messages.size(), 1);
        QVERIFY(isFailureBox(ui.messages.first(), "The package could not be loaded.",
                             "Can not load DCP when decoding key is empty"));
        QVERIFY(ui.directoryCaptions.isEmpty());
        QVERIFY(TestSupport::readLog().contains(
            "[DCPManager] loadDCPFromFile failed: \"Can not load DCP when decoding key is empty\""));
    }

    // A delegate being torn down may hand over null: nothing happens and nothing crashes.
    void nullObjectsFromTheWindowChangeNothing()
    {
        DownloadManager *downloads = DownloadManager::instance();
        ScriptedUserInteraction ui;
        const QStringList before = CatalogueCheck::databaseRows();
        downloads->startDownloading(nullptr);
        QCOMPARE(downloads->removeDownload(nullptr), false);
        downloads->removeDownloadReel(nullptr);
        QVERIFY(ui.messages.isEmpty());
        QCOMPARE(CatalogueCheck::databaseRows(), before);
        QCOMPARE(CatalogueCheck::difference(), QString());
    }

    // Each call made while the database refuses writes, then again once it accepts them.
    void callsTheDatabaseRefuses_data()
    {
        QTest::addColumn<QString>("call");
        QTest::addColumn<QString>("boxText");
        QTest::addColumn<QString>("reason");
        QTest::addColumn<QByteArray>("logLine");
        QTest::newRow("removeDownloadReel") << "removeDownloadReel" << "The reel could not be removed."
                                            << "Unable to run removeReel [reel] query"
                                            << QByteArray("[DownloadManager] removeDownloadReel failed: ");
        QTest::newRow("removeDownload") << "removeDownload" << "The DCP could not be removed."
                                        << "Unable to run removeDCP [assets] query"
                                        << QByteArray("[DownloadManager] removeDownload failed: ");
        QTest::newRow("settings save") << "save" << "The settings could not be saved."
                                       << "Unable to run truncateSettings query"
                                       << QByteArray("[Setting] save failed: ");
        QTest::newRow("resumeDownloading") << "resumeDownloading" << "The settings could not be saved."
                                           << "Unable to run truncateSettings query"
                                           << QByteArray("[Setting] save failed: ");
        QTest::newRow("startDownloading") << "startDownloading" << "The settings could not be saved."
                                          << "Unable to run truncateSettings query"
                                          << QByteArray("[Setting] save failed: ");
    }

    void callsTheDatabaseRefuses()
    {
        QFETCH(QString, call);
        QFETCH(QString, boxText);
        QFETCH(QString, reason);
        QFETCH(QByteArray, logLine);

        DownloadManager *downloads = DownloadManager::instance();
        downloads->pauseDownloading(true);
        DCP *dcp = import("Window Calls " + call, 2);
        QVERIFY(dcp);
        Reel *reel = dcp->getReels().first();
        const QString reelUuid = reel->uuid();
        QCOMPARE(CatalogueCheck::difference(), QString());
        const QStringList before = CatalogueCheck::databaseRows();
        const QString pausedBefore = settingRow("download_paused");
        QSignalSpy settingsChanged(Setting::instance(), &Setting::changed);
        const QList<Asset *> queued = downloads->queuedAssets();
        QVERIFY(!queued.isEmpty());

        bool removed = true;
        const std::function<void()> run = [&] {
            if (call == "removeDownloadReel")
                downloads->removeDownloadReel(reel);
            else if (call == "removeDownload")
                removed = downloads->removeDownload(dcp);
            else if (call == "save")
                Setting::instance()->save();
            else if (call == "resumeDownloading")
                downloads->resumeDownloading();
            else if (call == "startDownloading")
                downloads->startDownloading(dcp);
        };
        {
            WriteLock lock(DatabaseManager::instance()->databasePath());
            QVERIFY(lock.held);
            ScriptedUserInteraction ui;
            run();
            QVERIFY(!removed || call != "removeDownload");
            QCOMPARE(ui.messages.size(), 1);
            QVERIFY(isFailureBox(ui.messages.first(), boxText, reason));
        }
        QVERIFY(TestSupport::readLog().contains(logLine + "\"" + reason.toUtf8() + "\""));
        QCOMPARE(CatalogueCheck::difference(), QString());
        QCOMPARE(CatalogueCheck::databaseRows(), before);
        QCOMPARE(DCPManager::instance()->getDCP(dcp->uuid()), dcp);
        QCOMPARE(DCPManager::instance()->getReel(reelUuid), reel);
        QVERIFY(DCPManager::instance()->shownDCPs().contains(dcp));
        QCOMPARE(settingRow("download_paused"), pausedBefore);
        QCOMPARE(settingsChanged.count(), 0);
        // Nothing left the download queue either.
        const QList<Asset *> queuedAfter = downloads->queuedAssets();
        QCOMPARE(QSet<Asset *>(queuedAfter.begin(), queuedAfter.end()), QSet<Asset *>(queued.begin(), queued.end()));

        // Once the database accepts writes, the same call does what it says.
        ScriptedUserInteraction ui;
        run();
        QVERIFY(ui.messages.isEmpty());
        QCOMPARE(CatalogueCheck::difference(), QString());
        if (call == "removeDownloadReel") {
            QVERIFY(!DCPManager::instance()->getReel(reelUuid));
            QCOMPARE(dcp->getReels().size(), 1);
        } else if (call == "removeDownload") {
            QVERIFY(removed);
            QVERIFY(!DCPManager::instance()->getDCP(dcp->uuid()));
            QCOMPARE(CatalogueCheck::rowCount("SELECT COUNT(*) FROM dcp WHERE uuid = ?", dcp->uuid()), 0);
        } else {
            QCOMPARE(settingsChanged.count(), 1);
            QCOMPARE(settingRow("download_paused"), QString(call == "save" ? pausedBefore : "0"));
        }
        downloads->pauseDownloading(true);
    }
};

TOLVANE_TEST_MAIN(TestWindowCalls)
#include "tst_window_calls.moc"
