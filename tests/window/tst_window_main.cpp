// The main window over the real managers: empty texts, search with real key presses,
// sorting, the speed limit slider, pause and resume, the status bar, the resume question,
// the portal link, the about box and the package file dialog.

#include "WindowFixture.h"

#include "PortalStandin.h"

#include "base/PortalHosts.h"
#include "catalogue/DCP.h"
#include "catalogue/DCPManager.h"
#include "catalogue/DatabaseManager.h"
#include "catalogue/Reel.h"
#include "catalogue/Setting.h"
#include "download/DownloadManager.h"
#include "support/ScriptedUserInteraction.h"
#include "support/TestMain.h"

#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QLineEdit>
#include <QMessageBox>
#include <QQmlContext>
#include <QQmlExpression>
#include <QQuickItem>
#include <QQuickWindow>
#include <QSignalSpy>
#include <QSqlQuery>
#include <QtTest>

#include <algorithm>

using namespace WindowFixture;

namespace {

const QString kSteps =
    "<h4>You are not downloading any DCPs yet. To start downloading please complete the following steps:</h4><ul>"
    "<li>Click on \"Load File\" on the left.</li>"
    "<li>Select the small .orvdcp file you downloaded from the Tarn web portal. This is usually found in your "
    "Downloads folder. (Note: If you don't have it yet, click on \"LAUNCH &nbsp;TARN\" on the left, login, select "
    "your film and hit \"Download\". After the .orvdcp file downloads to your computer, please return to the first "
    "step).</li>"
    "<li>You will be asked where you want to save your DCP file to. Select your download location and hit save. Your "
    "download will begin.</li>"
    "<li><b>IMPORTANT</b>: If you plan to ingest your DCP using a USB hard drive DO NOT DOWNLOAD ONTO YOUR "
    "COMPUTER\u2019S LOCAL HARD DRIVE FIRST! Instead, download your DCP directly onto your USB hard drive so that "
    "Tolvane can verify your download and fix corruptions before you ingest.</li>"
    "<li>You can pause the download at any time by hitting pause or just quitting this application. When you open "
    "the application again the download will resume from where it left off.</li>"
    "<li>If you get stuck, give us a call during office hours on +44 20 7946 0381</li></ul>";
const QString kNoResult = "<h4>No DCP(s) found</h4>";

void setSetting(const QString &key, const QString &value)
{
    Setting::instance()->set(key, value);
    Setting::instance()->save();
}

QString storedSetting(const QString &key)
{
    QSqlQuery query(DatabaseManager::instance()->database());
    query.prepare("SELECT value FROM setting WHERE key = ?");
    query.addBindValue(key);
    if (!query.exec() || !query.next())
        return "<absent>";
    return query.value(0).toString();
}

// Titles of the cards in the grid, in its order.
QStringList cardTitles(const Window &window)
{
    QStringList titles;
    for (QQuickItem *cell : window.gridCells())
        titles.append(findIn(cell, "cardTitle")->property("text").toString());
    return titles;
}

QString buttonState(const Window &window, const QString &name)
{
    QQuickItem *button = window.item(name);
    return button ? button->state() : "<missing>";
}

// A reel downloaded and verified: nothing for the engine to fetch.
SampleReel complete()
{
    SampleReel reel;
    reel.finished = true;
    reel.checksummed = true;
    return reel;
}

void pressKey(const Window &window, Qt::Key key)
{
    QTest::keyClick(window.window(), key);
    window.settle();
}

}

class TestWindowMain : public QObject
{
    Q_OBJECT

    ScriptedUserInteraction *ui = nullptr;
    PortalStandin standin;
    DCP *slowDcp = nullptr;

    // A DCP whose transfer keeps running through the test.
    DCP *addSlowDcp()
    {
        return addDcp("Slow Feature", {slowReel(standin, 4000000, 200000)});
    }

private slots:
    void initTestCase()
    {
        ui = new ScriptedUserInteraction();
        QVERIFY(startTestCase(standin, TestSupport::dataDir() + "/assets"));
    }

    void cleanup()
    {
        failOnQmlWarnings();
    }

    // Nothing in the catalogue: the steps, no resume question even while paused, and the
    // no-result text only while a filter is set.
    void emptyCatalogue()
    {
        setSetting("download_paused", "1");
        Window window;
        QVERIFY(window.load());
        QCOMPARE(window.window()->title(), QString("Tolvane Downloader 1.4.0"));
        QCOMPARE(window.window()->minimumSize(), QSize(1200, 750));
        QCOMPARE(window.window()->size(), QSize(1200, 750));
        QCOMPARE(visibleBoxCount(window), 0);
        QCOMPARE(window.item("grid")->property("count").toInt(), 0);
        QVERIFY(!window.visibleItems("emptyText").isEmpty());
        QCOMPARE(window.text("emptyText"), kSteps);

        // Nothing was shown yet, so nothing was sorted.
        QCOMPARE(buttonState(window, "sortDateButton"), QString("default"));
        QCOMPARE(buttonState(window, "sortNameButton"), QString("default"));
        QVERIFY(window.item("searchField")->hasActiveFocus());
        QTest::keyClick(window.window(), Qt::Key_Q);
        window.settle();
        QCOMPARE(window.text("emptyText"), kNoResult);

        pressKey(window, Qt::Key_Backspace);
        QCOMPARE(window.text("emptyText"), kSteps);
        QVERIFY(!DCPManager::instance()->haveSearchFilter());
        setSetting("download_paused", "0");
    }

    // Every key release filters with the field's whole text; clearing shows everything.
    void search()
    {
        addDcp("Alpha Feature", {complete()});
        addDcp("Beta Trailer", {complete()});
        addDcp("alphabet Short", {complete()});
        Window window;
        QVERIFY(window.load());
        QCOMPARE(window.item("grid")->property("count").toInt(), 3);
        QVERIFY(window.visibleItems("emptyText").isEmpty());

        struct Step { Qt::Key key; QString text; QStringList shown; };
        const QList<Step> steps = {
            {Qt::Key_A, "a", {"alphabet Short", "Beta Trailer", "Alpha Feature"}},
            {Qt::Key_L, "al", {"alphabet Short", "Alpha Feature"}},
            {Qt::Key_P, "alp", {"alphabet Short", "Alpha Feature"}},
            {Qt::Key_Z, "alpz", {}},
        };
        for (const Step &step : steps) {
            QTest::keyClick(window.window(), step.key);
            window.settle();
            QCOMPARE(window.text("searchField"), step.text);
            QCOMPARE(cardTitles(window), step.shown);
        }
        QVERIFY(DCPManager::instance()->haveSearchFilter());
        QVERIFY(!window.visibleItems("emptyText").isEmpty());
        QCOMPARE(window.text("emptyText"), kNoResult);

        for (int i = 0; i < 4; ++i)
            pressKey(window, Qt::Key_Backspace);
        QCOMPARE(window.text("searchField"), QString());
        QVERIFY(!DCPManager::instance()->haveSearchFilter());
        QCOMPARE(cardTitles(window).size(), 3);
        QVERIFY(window.visibleItems("emptyText").isEmpty());
    }

    // DATE is active once the catalogue is shown; A-Z sorts by the shown title, ignoring case,
    // DATE newest first; a change of the catalogue goes back to DATE.
    void sort()
    {
        Window window;
        QVERIFY(window.load());
        const QStringList byDate = {"alphabet Short", "Beta Trailer", "Alpha Feature"};
        QCOMPARE(buttonState(window, "sortDateButton"), QString("active"));
        QCOMPARE(buttonState(window, "sortNameButton"), QString("default"));
        QCOMPARE(cardTitles(window), byDate);

        window.click(window.item("sortNameButton"));
        QCOMPARE(buttonState(window, "sortDateButton"), QString("default"));
        QCOMPARE(buttonState(window, "sortNameButton"), QString("active"));
        QCOMPARE(cardTitles(window), (QStringList{"Alpha Feature", "alphabet Short", "Beta Trailer"}));

        window.click(window.item("sortDateButton"));
        QCOMPARE(buttonState(window, "sortDateButton"), QString("active"));
        QCOMPARE(buttonState(window, "sortNameButton"), QString("default"));
        QCOMPARE(cardTitles(window), byDate);

        window.click(window.item("sortNameButton"));
        addDcp("Zulu Short", {complete()});
        window.settle();
        QCOMPARE(buttonState(window, "sortDateButton"), QString("active"));
        QCOMPARE(cardTitles(window), (QStringList{"Zulu Short"} + byDate));
    }

    void sliderStartValue_data()
    {
        QTest::addColumn<QString>("stored");
        QTest::addColumn<int>("value");
        QTest::addColumn<QString>("label");
        QTest::newRow("not a number") << "abc" << 200 << "200.00 Mbps";
        QTest::newRow("zero") << "0" << 200 << "200.00 Mbps";
        QTest::newRow("empty") << "" << 200 << "200.00 Mbps";
        QTest::newRow("above the range") << "250" << 200 << "200.00 Mbps";
        QTest::newRow("negative") << "-3" << 1 << "  1.00 Mbps";
        QTest::newRow("the minimum") << "1" << 1 << "  1.00 Mbps";
        QTest::newRow("fifty") << "50" << 50 << " 50.00 Mbps";
    }

    // The stored limit becomes the slider's value, the engine's limit and the label.
    void sliderStartValue()
    {
        QFETCH(QString, stored);
        QFETCH(int, value);
        QFETCH(QString, label);
        setSetting("download_limit", stored);
        DownloadManager::instance()->setReadChunkSize(123456789);
        Window window;
        QVERIFY(window.load());
        QCOMPARE(window.object("speedSlider")->property("value").toInt(), value);
        // Bytes per second of the limit, taken per 20 ms read tick.
        QCOMPARE(DownloadManager::instance()->readChunkSizeValue(), uint(value) * 125000u / 50u);
        QCOMPARE(window.text("speedLabel"), label);
        QCOMPARE(storedSetting("download_limit"), stored); // nothing saved before the user touches it
    }

    // Pressing and releasing the slider saves the limit it shows.
    void sliderSavesOnPressAndRelease()
    {
        setSetting("download_limit", "50");
        Window window;
        QVERIFY(window.load());
        QQuickItem *slider = window.item("speedSlider");
        QSignalSpy saved(Setting::instance(), &Setting::changed);
        const QPoint at = slider->mapToScene(QPointF(slider->width() * 0.75, slider->height() / 2)).toPoint();
        QTest::mousePress(window.window(), Qt::LeftButton, Qt::NoModifier, at);
        window.settle();
        const int pressed = slider->property("value").toInt();
        QVERIFY2(pressed > 100 && pressed < 200, qPrintable(QString::number(pressed)));
        QCOMPARE(saved.size(), 1);
        QCOMPARE(storedSetting("download_limit"), QString::number(pressed));
        QCOMPARE(DownloadManager::instance()->readChunkSizeValue(), uint(pressed) * 2500u);

        const QPoint left = slider->mapToScene(QPointF(slider->width() * 0.25, slider->height() / 2)).toPoint();
        QTest::mouseMove(window.window(), left);
        window.settle();
        QTest::mouseRelease(window.window(), Qt::LeftButton, Qt::NoModifier, left);
        window.settle();
        const int released = slider->property("value").toInt();
        QVERIFY2(released < pressed, qPrintable(QString::number(released)));
        QCOMPARE(saved.size(), 2);
        QCOMPARE(storedSetting("download_limit"), QString::number(released));
        QCOMPARE(Setting::instance()->get("download_limit"), QString::number(released));
        const QString expected = QString("%1.00 Mbps").arg(released, 3);
        QCOMPARE(window.text("speedLabel"), expected);
    }

    // The pause button follows "download_paused" and calls the matching method; the status
    // bar follows the engine: paused, remaining time, stand-by.
    void pauseResumeAndStatus()
    {
        setSetting("download_limit", "200");
        slowDcp = addSlowDcp();
        QVERIFY(slowDcp);
        Window window;
        QVERIFY(window.load());
        QCOMPARE(window.text("statusLabel"), QString("Ready."));
        QCOMPARE(window.item("pauseButton")->property("label").toString(), QString("PAUSE"));

        setSetting("download_paused", "1");
        QCOMPARE(window.item("pauseButton")->property("label").toString(), QString("RESUME"));
        QCOMPARE(window.item("pauseButton")->property("image").toUrl(), QUrl("qrc:/images/circle_play.svg"));
        setSetting("download_paused", "0");
        QCOMPARE(window.item("pauseButton")->property("label").toString(), QString("PAUSE"));
        QCOMPARE(window.item("pauseButton")->property("image").toUrl(), QUrl("qrc:/images/circle_pause.svg"));

        DownloadManager *manager = DownloadManager::instance();
        manager->startDownloading(slowDcp);
        QTRY_VERIFY(manager->getCurrentDownloadingDCP() == slowDcp);
        // Progress samples arrive: the time left and the speed.
        const QRegularExpression progress(
            "^Remaining time: +\\d+h +\\d+m +\\d+s \\(\\d+\\.\\d\\d +[MG]bps\\)$");
        QTRY_VERIFY_WITH_TIMEOUT(progress.match(window.text("statusLabel")).hasMatch(), 10000);

        window.click(window.item("pauseButton"));
        QVERIFY(manager->isPaused());
        QCOMPARE(Setting::instance()->get("download_paused"), QString("1"));
        QCOMPARE(window.text("statusLabel"), QString("Paused."));
        QCOMPARE(window.item("pauseButton")->property("label").toString(), QString("RESUME"));

        // Paused, the bar says so whatever a late progress report brings.
        QCOMPARE(manager->getCurrentDownloadingDCP(), static_cast<QObject *>(slowDcp));
        emit manager->downloadProgress(250000.0);
        QCOMPARE(window.text("statusLabel"), QString("Paused."));

        // RESUME: the bar leaves "Paused." at once, before the first progress sample.
        window.click(window.item("pauseButton"));
        QVERIFY(!manager->isPaused());
        QCOMPARE(Setting::instance()->get("download_paused"), QString("0"));
        QCOMPARE(window.item("pauseButton")->property("label").toString(), QString("PAUSE"));
        QVERIFY2(window.text("statusLabel") != "Paused.", qPrintable(window.text("statusLabel")));
        QTRY_VERIFY_WITH_TIMEOUT(progress.match(window.text("statusLabel")).hasMatch(), 10000);

        // Removing a DCP while paused leaves the bar saying "Paused.", not "Ready.".
        window.click(window.item("pauseButton"));
        QVERIFY(manager->isPaused());
        manager->removeDownload(slowDcp);
        window.settle();
        QCOMPARE(window.text("statusLabel"), QString("Paused."));
        // With no current DCP a progress report leaves the label as it is.
        emit manager->downloadProgress(125000.0);
        QCOMPARE(window.text("statusLabel"), QString("Paused."));
        // Resumed with nothing left to fetch: the bar says what the engine waits for (here
        // Tarn, which this test does not run, with the reason it gives).
        window.click(window.item("pauseButton"));
        QTRY_VERIFY_WITH_TIMEOUT(manager->activity() == "confirming" || manager->activity() == "ready", 5000);
        window.settle();
        QCOMPARE(window.text("statusLabel"), manager->activityText());
        if (manager->activity() == "confirming")
            QVERIFY2(window.text("statusLabel").startsWith("Waiting for Tarn to confirm"),
                     qPrintable(window.text("statusLabel")));
    }

    void resumeQuestion_data()
    {
        QTest::addColumn<int>("answer");
        QTest::addColumn<bool>("resumed");
        QTest::newRow("yes") << int(QMessageBox::Yes) << true;
        QTest::newRow("no") << int(QMessageBox::No) << false;
    }

    // Paused at start with DCPs in the catalogue: asked once whether to resume.
    void resumeQuestion()
    {
        QFETCH(int, answer);
        QFETCH(bool, resumed);
        QVERIFY(!DCPManager::instance()->shownDCPs().isEmpty());
        setSetting("download_paused", "1");
        Window window;
        QVERIFY(window.load());
        QSignalSpy shown(window.object("resumeDialog"), SIGNAL(visibilityChanged()));
        Box box;
        QVERIFY(visibleBox(window, "resumeDialog", &box));
        QCOMPARE(box.title, QString("Downloads are paused"));
        QCOMPARE(box.text, QString("Your downloads are paused."));
        QCOMPARE(box.informativeText, QString("Would you like to resume?"));
        QCOMPARE(box.icon, int(QMessageBox::Question));
        QCOMPARE(box.buttons, int(QMessageBox::Yes | QMessageBox::No));
        QCOMPARE(visibleBoxCount(window), 1);
        QVERIFY(answerBox(window, "resumeDialog", answer));
        window.settle(100);
        QCOMPARE(visibleBoxCount(window), 0);
        QCOMPARE(shown.size(), 1); // closed, never shown again
        QCOMPARE(Setting::instance()->get("download_paused"), QString(resumed ? "0" : "1"));
        QCOMPARE(window.item("pauseButton")->property("label").toString(), QString(resumed ? "PAUSE" : "RESUME"));
        setSetting("download_paused", "0");
    }

    // Nothing in the catalogue passes the filter: no question either, only a filtered view.
    void portalLink()
    {
        UrlCatcher urls;
        Window window;
        QVERIFY(window.load());
        window.click(window.item("tarnButton"));
        QCOMPARE(urls.urls, (QList<QUrl>{PortalHosts::portalUrl("/")}));
    }

    void aboutBox()
    {
        Window window;
        QVERIFY(window.load());
        QObject *about = window.object("menuAbout");
        QVERIFY(about);
        QVERIFY(QMetaObject::invokeMethod(about, "trigger"));
        window.settle();
        Box box;
        QVERIFY(visibleBox(window, "aboutDialog", &box));
        QCOMPARE(box.title, QString("Tolvane Downloader"));
        QCOMPARE(box.text, QString("Tolvane Downloader\r\nVersion 1.4.0\r\n\u00a9 2026 Tolvane. All rights reserved.\r\n"));
        QCOMPARE(box.informativeText, QString());
        QCOMPARE(box.icon, int(QMessageBox::Information));
        QCOMPARE(box.buttons, int(QMessageBox::Ok));
        QVERIFY(answerBox(window, "aboutDialog", QMessageBox::Ok));
        QCOMPARE(visibleBoxCount(window), 0);
    }

    // The File menu: its entries in order; Load File opens the package dialog, Exit quits.
    void fileMenu()
    {
        Window window;
        QVERIFY(window.load());
        QObject *menu = window.object("menuLoadFile")->parent();
        QVERIFY(menu);
        QCOMPARE(menu->property("title").toString(), QString("File"));
        QStringList entries;
        for (const char *name : {"menuLoadFile", "menuSpeedSchedule", "menuAbout", "menuExit"})
            entries.append(window.object(name)->property("text").toString());
        QCOMPARE(entries, (QStringList{"&Load File", "Speed &Schedule\u2026", "&About", "Exit"}));
        QQmlExpression inOrder(qmlContext(menu), menu,
                               "(function() { var t = []; for (var i = 0; i < items.length; ++i) t.push(items[i].text); "
                               "return t.join('|'); })()");
        QCOMPARE(inOrder.evaluate().toString(), entries.join('|'));

        QVERIFY(QMetaObject::invokeMethod(window.object("menuLoadFile"), "trigger"));
        window.settle();
        QVERIFY(window.object("packageDialog")->property("visible").toBool());
        QVERIFY(QMetaObject::invokeMethod(window.object("packageDialog"), "close"));
        window.settle();

        QSignalSpy quit(&window.engine(), &QQmlEngine::quit);
        QVERIFY(QMetaObject::invokeMethod(window.object("menuExit"), "trigger"));
        QCOMPARE(quit.size(), 1);
    }

    // A window with nothing to show changes draws no frames: no animation, timer or
    // binding keeps it busy. What the engine does may still change (events this test's
    // portal never confirms are retried), and a change is drawn: a second in which the
    // engine's state changed is measured again.
    void idleWindowDrawsNothing()
    {
        Window window;
        QVERIFY(window.load());
        QVERIFY(window.item("searchField")->hasActiveFocus());
        DownloadManager *manager = DownloadManager::instance();
        window.settle(300);
        QVERIFY(!window.gridCells().isEmpty());
        QSignalSpy frames(window.window(), &QQuickWindow::frameSwapped);
        QSignalSpy changes(manager, &DownloadManager::activityChanged);
        const auto quietFrames = [&] {
            for (int attempt = 0; attempt < 5; ++attempt) {
                window.settle(300);
                frames.clear();
                changes.clear();
                window.settle(1500);
                if (changes.isEmpty())
                    return frames.size();
            }
            return -1;
        };
        QCOMPARE(quietFrames(), 0);

        // The same on a DCP's page.
        window.click(findIn(window.gridCells().first(), "card"));
        QCOMPARE(window.item("body")->state(), QString("details"));
        QCOMPARE(quietFrames(), 0);
    }

    // A closed window leaves nothing connected to the managers.
    void closedWindowLeavesNoHandlers()
    {
        DownloadManager *manager = DownloadManager::instance();
        const char *managerSignals[] = {SIGNAL(downloadProgress(double)), SIGNAL(downloadPaused()),
                                        SIGNAL(downloadStandBy()), SIGNAL(currentDcpChanged()),
                                        SIGNAL(pausedChanged())};
        auto counts = [&] {
            QList<int> out;
            for (const char *signal : managerSignals)
                out.append(WindowFixture::receivers(manager, signal));
            out.append(WindowFixture::receivers(Setting::instance(), SIGNAL(changed())));
            out.append(WindowFixture::receivers(DCPManager::instance(), SIGNAL(dcpsChanged())));
            out.append(WindowFixture::receivers(DCPManager::instance(), SIGNAL(catalogueChanged())));
            return out;
        };
        const QList<int> before = counts();
        {
            Window window;
            QVERIFY(window.load());
            QVERIFY(counts() != before);
        }
        QCOMPARE(counts(), before);
    }

    // The package dialog opens from the navigation bar with its title and filter.
    void packageDialog()
    {
        Window window;
        QVERIFY(window.load());
        window.click(window.item("loadFileButton"));
        QObject *dialog = window.object("packageDialog");
        QVERIFY(dialog);
        QVERIFY(dialog->property("visible").toBool());
        QCOMPARE(dialog->property("title").toString(), QString("Please choose a file"));
        QCOMPARE(dialog->property("nameFilters").toStringList(), QStringList{"DCP Package (*.orvdcp)"});
        QFileDialog *shown = nullptr;
        for (QWidget *widget : QApplication::topLevelWidgets()) {
            if (auto *d = qobject_cast<QFileDialog *>(widget); d && d->isVisible())
                shown = d;
        }
        QVERIFY(shown);
        QCOMPARE(shown->windowTitle(), QString("Please choose a file"));
        QCOMPARE(shown->nameFilters(), QStringList{"DCP Package (*.orvdcp)"});
        QTest::keyClick(shown, Qt::Key_Escape);
        window.settle();
        QVERIFY(!dialog->property("visible").toBool());
    }
};

TOLVANE_TEST_MAIN(TestWindowMain)
#include "tst_window_main.moc"
