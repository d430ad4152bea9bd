// The window on the desktop: its title tells the progress of the download, and the desktop's
// notification service (the tests' own, on a private session bus) is told once when a DCP
// is ready or needs the operator; clicking a notification opens that DCP's page.

#include "WindowFixture.h"

#include "DownloadFixture.h"

#include "app/DesktopNotifier.h"
#include "desktop/PrivateBus.h"
#include "download/DownloadManager.h"
#include "support/ScriptedUserInteraction.h"
#include "support/TestMain.h"

#include <QJsonArray>
#include <QQuickItem>
#include <QQuickWindow>
#include <QRegularExpression>
#include <QtTest>

#include <memory>

using namespace DownloadFixture;

namespace {
const QString kPlainTitle = QStringLiteral("Tolvane Downloader 1.4.0");
const QString kNoService = QStringLiteral("[DesktopNotifier] No desktop notification service:");

int noServiceLines()
{
    return QString::fromUtf8(TestSupport::readLog()).count(kNoService);
}
}

class TestWindowDesktop : public QObject
{
    Q_OBJECT

    PortalStandin standin;
    ScriptedUserInteraction *ui = nullptr;
    std::unique_ptr<DesktopFixture::PrivateBus> bus;
    std::unique_ptr<DesktopFixture::NotificationService> service;

private slots:
    void initTestCase()
    {
        ui = new ScriptedUserInteraction();
        QVERIFY(WindowFixture::startTestCase(standin, sourceRoot()));
        qputenv("TOLVANE_NOTIFICATION_URL", QByteArray::fromStdString(standin.baseUrl()));
        NotificationManager::instance()->setConsumerInterval(50);
    }

    void cleanup()
    {
        WindowFixture::failOnQmlWarnings();
    }

    // While the DCP downloads the title reads "Tolvane Downloader 1.4.0 — N%", N never ahead
    // of what is on disk and never going back; the plain title before and after.
    void titleShowsTheDownloadedPercent()
    {
        WindowFixture::Window window;
        QVERIFY(window.load());
        QCOMPARE(window.window()->title(), kPlainTitle);

        const GeneratedDcp generated = generate("Title_Feature", 1, 1500000, 51);
        AssetFault slow;
        slow.throttleBytesPerSecond = 500000;
        setFault(standin, generated, slow);
        DCP *dcp = buildDcp(standin, generated, 9201);

        const QRegularExpression withPercent(QString("^%1 \u2014 (\\d+)%$").arg(QRegularExpression::escape(kPlainTitle)));
        QStringList titles;
        QList<int> percents;
        QStringList ahead;
        connect(window.window(), &QWindow::windowTitleChanged, this, [&](const QString &title) {
            titles.append(title);
            const QRegularExpressionMatch match = withPercent.match(title);
            if (!match.hasMatch())
                return;
            const int percent = match.captured(1).toInt();
            percents.append(percent);
            const int onDisk = int(100 * dcp->getDownloadedSize() / dcp->getTotalSize());
            if (percent > onDisk)
                ahead.append(QString("%1 with %2 on disk").arg(percent).arg(onDisk));
        });
        store(dcp);
        QVERIFY(waitVerifiedAndSynced(dcp, 30000));
        QTRY_COMPARE(window.window()->title(), kPlainTitle);

        QVERIFY2(!percents.isEmpty(), qPrintable(titles.join(" | ")));
        QVERIFY2(ahead.isEmpty(), qPrintable(ahead.join(", ")));
        for (int i = 0; i < percents.size(); ++i) {
            QVERIFY(percents.at(i) >= 0 && percents.at(i) <= 100);
            QVERIFY2(i == 0 || percents.at(i) >= percents.at(i - 1), qPrintable(titles.join(" | ")));
        }
        for (const QString &title : titles)
            QVERIFY2(title == kPlainTitle || withPercent.match(title).hasMatch(), qPrintable(title));
        QCOMPARE(titles.last(), kPlainTitle);
    }

    // A DCP completed in this run is told once as ready, a DCP whose file is missing and one
    // whose reel failed verification three times once each as needing the operator, with why; what held at start is not told; a click on the
    // ready one raises the window on its page, also when the search hid its card.
    void readyAndNeedsYouAreToldOnce()
    {
        if (!DesktopFixture::haveDbusDaemon())
            QSKIP("dbus-daemon is not installed (tools/install-deps installs it)");
        bus = std::make_unique<DesktopFixture::PrivateBus>();
        QVERIFY(bus->start());
        service = std::make_unique<DesktopFixture::NotificationService>();
        QVERIFY(service->start(*bus, TestSupport::dataDir() + "/notifications.jsonl"));

        // What already holds when the program starts: a completed DCP, and one whose reel
        // failed verification three times.
        WindowFixture::SampleReel done;
        done.finished = done.checksummed = true;
        WindowFixture::addDcp("Yesterday Feature", {done});
        WindowFixture::SampleReel failed;
        failed.finished = failed.corrupted = true;
        WindowFixture::addDcp("Failed Feature", {failed});

        WindowFixture::Window window;
        QVERIFY(window.load());
        DesktopNotifier notifier(DCPManager::instance(), bus->connect("notifier"));
        notifier.setWindow(window.window());
        notifier.start();

        const GeneratedDcp generated = generate("Ready_Feature", 1, 300000, 52);
        DCP *ready = buildDcp(standin, generated, 9202);
        store(ready);
        QVERIFY(waitVerifiedAndSynced(ready, 30000));
        QTRY_COMPARE(service->records().size(), 1);
        const QJsonObject told = service->records().first();
        QCOMPARE(told["summary"].toString(), ready->friendlyTitle() + " is ready");
        QCOMPARE(told["app_name"].toString(), QString("Tolvane Downloader"));
        QCOMPARE(told["replaces_id"].toInt(), 0);
        QCOMPARE(told["app_icon"].toString(), QString());
        QCOMPARE(told["actions"].toArray(), (QJsonArray{"default", "Open"}));
        QCOMPARE(told["hints"].toArray(), QJsonArray());
        QCOMPARE(told["expire_timeout"].toInt(), -1);

        // One of its files is missing on the server: set aside, the box answered No.
        const GeneratedDcp brokenFiles = generate("Broken_Feature", 1, 300000, 53);
        AssetFault missing;
        missing.status = 404;
        setFault(standin, brokenFiles, missing);
        DCP *broken = buildDcp(standin, brokenFiles, 9203);
        store(broken);
        QTRY_VERIFY_WITH_TIMEOUT(broken->isSetAside(), 20000);
        QTRY_COMPARE(service->records().size(), 2);
        QCOMPARE(service->records().at(1)["summary"].toString(), broken->friendlyTitle() + " needs you");
        QCOMPARE(service->records().at(1)["body"].toString(), broken->setAsideText());
        QCOMPARE(broken->setAsideText(), QString("Links expired: open a fresh package from Tarn"));

        // Nothing more was told of either: the next event is the next notification.
        // (Its one reel failed for good before: it is neither downloaded nor ever ready.)
        DCP *later = WindowFixture::addDcp("Later Feature", {failed});
        QCoreApplication::processEvents(); // the catalogue's change is seen first
        later->setSetAside("Not enough space on /media/usb");
        QTRY_COMPARE(service->records().size(), 3);
        QCOMPARE(service->records().at(2)["summary"].toString(), QString("Later Feature needs you"));
        QCOMPARE(service->records().at(2)["body"].toString(), QString("Not enough space on /media/usb"));
        // A state that went away and came back is told again.
        later->setSetAside(QString());
        QCoreApplication::processEvents();
        later->setSetAside("Not enough space on /media/usb");
        QTRY_COMPARE(service->records().size(), 4);
        QCOMPARE(service->records().at(3)["summary"].toString(), QString("Later Feature needs you"));

        // A reel whose file arrives wrong three times fails verification for good.
        const GeneratedDcp corruptFiles = generate("Corrupt_Feature", 1, 300000, 54);
        flipByte(standin, corruptFiles, "picture:1", 4000, 3);
        DCP *corrupt = buildDcp(standin, corruptFiles, 9204);
        store(corrupt);
        QTRY_VERIFY_WITH_TIMEOUT(corrupt->getReels().first()->isCorrupted(), 30000);
        QTRY_COMPARE(service->records().size(), 5);
        QCOMPARE(service->records().at(4)["summary"].toString(), corrupt->friendlyTitle() + " needs you");
        QCOMPARE(service->records().at(4)["body"].toString(), QString("Reel 1 failed verification three times"));

        // The search hides the ready DCP's card; the click opens its page all the same.
        window.typeInto("searchField", "zzz");
        QTRY_VERIFY(window.gridCells().isEmpty());
        QCOMPARE(window.item("body")->state(), QString("all"));
        // A click on a notification of someone else's changes nothing.
        QVERIFY(service->click(4242));
        QVERIFY(service->click(uint(told["id"].toInt())));
        QTRY_COMPARE(window.item("body")->state(), QString("details"));
        QQuickItem *page = window.detailsPage(window.item("detailsList")->property("currentIndex").toInt());
        QVERIFY(page);
        QCOMPARE(WindowFixture::findIn(page, "pageFriendlyTitle")->property("text").toString(), ready->friendlyTitle());
        QCOMPARE(window.item("searchField")->property("text").toString(), QString());
        QCOMPARE(service->records().size(), 5);
        QCOMPARE(noServiceLines(), 0);
    }

    // No notification service on the bus, or no bus at all: one log line each, nothing fails,
    // and the DCP's state is still what the window shows.
    void noServiceIsHarmless()
    {
        if (!DesktopFixture::haveDbusDaemon())
            QSKIP("dbus-daemon is not installed (tools/install-deps installs it)");
        DesktopFixture::PrivateBus empty;
        QVERIFY(empty.start());
        const int before = noServiceLines();
        {
            DesktopNotifier notifier(DCPManager::instance(), empty.connect("empty"));
            notifier.start();
            QTRY_COMPARE(noServiceLines(), before + 1);
            WindowFixture::SampleReel failed;
            failed.finished = failed.corrupted = true;
            DCP *stuck = WindowFixture::addDcp("Unnoticed Feature", {failed});
            QCoreApplication::processEvents(); // the catalogue's change is seen first
            stuck->setSetAside("Links expired: open a fresh package from Tarn");
            QTRY_COMPARE(notifier.callsSent(), 1);
            QTRY_COMPARE(notifier.callsInFlight(), 0);
            QCOMPARE(noServiceLines(), before + 1);
            QCOMPARE(stuck->setAsideText(), QString("Links expired: open a fresh package from Tarn"));
        }
        {
            QDBusConnection none = QDBusConnection::connectToBus("unix:path=" + TestSupport::dataDir() + "/no-bus", "none");
            QVERIFY(!none.isConnected());
            DesktopNotifier notifier(DCPManager::instance(), none);
            notifier.start();
            QCOMPARE(noServiceLines(), before + 2);
            WindowFixture::SampleReel failed;
            failed.finished = failed.corrupted = true;
            DCP *stuck = WindowFixture::addDcp("Unseen Feature", {failed});
            QCoreApplication::processEvents(); // the catalogue's change is seen first
            stuck->setSetAside("Links expired: open a fresh package from Tarn");
            QCoreApplication::processEvents();
            QCOMPARE(notifier.callsSent(), 0);
            QCOMPARE(noServiceLines(), before + 2);
        }
    }

    void cleanupTestCase()
    {
        service.reset();
        bus.reset();
    }
};

TOLVANE_TEST_MAIN(TestWindowDesktop)
#include "tst_window_desktop.moc"
