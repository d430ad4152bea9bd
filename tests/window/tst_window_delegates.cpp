// The DCP card, the DCP page and the reel lines on real DCP and Reel objects of the
// catalogue, driven by the download engine and by the objects' own signals.

#include "WindowFixture.h"

#include "PortalStandin.h"

#include "catalogue/DCP.h"
#include "catalogue/DCPManager.h"
#include "catalogue/Reel.h"
#include "catalogue/Setting.h"
#include "download/Asset.h"
#include "download/DownloadManager.h"
#include "support/ScriptedUserInteraction.h"
#include "support/TestMain.h"

#include <QColor>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMessageBox>
#include <QPointer>
#include <QQuickItem>
#include <QQuickWindow>
#include <QtTest>

using namespace WindowFixture;

Q_DECLARE_METATYPE(WindowFixture::SampleReel)

namespace {

const QString kDcpRemovalText = "You are about to delete a DCP.\r\n\r\nThis will NOT DELETE the files on your hard "
                                "drive but simply remove the DCP from the Tolvane Downloader.";
const QString kReelRemovalText = "You are about to delete a Reel.\r\n\r\nThis will DELETE the files on your hard "
                                 "drive. The Reel and all of it's assets will be removed.";
const QString kContinue = "Would you like to continue ?";
const quint64 kMiB = 1024 * 1024;

const char *const kDcpSignals[] = {SIGNAL(finishedChanged()), SIGNAL(reelsChanged()), SIGNAL(statusChanged()),
                                   SIGNAL(downloadFinished()), SIGNAL(downloadProgress())};
const char *const kReelSignals[] = {SIGNAL(downloadSynced()),           SIGNAL(downloadPaused()),
                                    SIGNAL(downloadChecksummed()),      SIGNAL(downloadCorrupted()),
                                    SIGNAL(downloadQueuedForRedownload()), SIGNAL(downloadCheckingChecksum()),
                                    SIGNAL(downloadProgress(quint64))};

SampleReel reelOf(quint64 size, bool finished, bool checksummed, bool corrupted = false)
{
    SampleReel reel;
    reel.size = size;
    reel.finished = finished;
    reel.checksummed = checksummed;
    reel.corrupted = corrupted;
    return reel;
}

QList<int> receiverCounts(const QObject *object, const char *const *names, int count)
{
    QList<int> counts;
    for (int i = 0; i < count; ++i)
        counts.append(receivers(object, names[i]));
    return counts;
}

QList<int> dcpReceivers(const DCP *dcp)
{
    return receiverCounts(dcp, kDcpSignals, int(std::size(kDcpSignals)));
}

QList<int> reelReceivers(const Reel *reel)
{
    return receiverCounts(reel, kReelSignals, int(std::size(kReelSignals)));
}

void writeFile(const QString &path, int bytes)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(QByteArray(bytes, 'x'));
}

QString colourOf(QQuickItem *item)
{
    return item ? item->property("color").value<QColor>().name() : QString("<missing>");
}

// The colour a reel line's status is shown in: its own text colour, or the red of the mark
// it is shown on.
QString toneOf(QQuickItem *line)
{
    QQuickItem *alert = findIn(line, "reelStatusAlert");
    if (alert && alert->isVisible())
        return colourOf(alert);
    return colourOf(findIn(line, "reelStatus"));
}

}

class TestWindowDelegates : public QObject
{
    Q_OBJECT

    ScriptedUserInteraction *ui = nullptr;
    PortalStandin standin;
    QList<DCP *> made;

    SampleReel slowReel()
    {
        return WindowFixture::slowReel(standin);
    }

    DCP *make(const QString &title, const QList<SampleReel> &reels)
    {
        DCP *dcp = addDcp(title, reels);
        made.append(dcp);
        return dcp;
    }

    QString cardText(const Window &window, const QString &title)
    {
        QQuickItem *cell = cardCell(window, title);
        return cell ? findIn(cell, "cardProgress")->property("label").toString() : QString("<no card %1>").arg(title);
    }

    // Opens the DCP's page with a click on its card; returns the page.
    QQuickItem *openPage(const Window &window, const QString &title)
    {
        QQuickItem *cell = cardCell(window, title);
        if (!cell)
            return nullptr;
        window.click(findIn(cell, "card"));
        if (window.item("body")->state() != "details")
            return nullptr;
        const int current = window.item("detailsList")->property("currentIndex").toInt();
        QQuickItem *page = window.detailsPage(current);
        return page && page->isVisible() ? page : nullptr;
    }

    QList<QQuickItem *> reelLines(QQuickItem *page)
    {
        return viewItems(findIn(page, "reelList"));
    }

private slots:
    void initTestCase()
    {
        ui = new ScriptedUserInteraction();
        QVERIFY(startTestCase(standin, TestSupport::dataDir() + "/assets"));
    }

    void cleanup()
    {
        removeDcps(made);
        if (DownloadManager::instance()->isPaused())
            DownloadManager::instance()->resumeDownloading();
        failOnQmlWarnings();
    }

    void cardStatus_data()
    {
        QTest::addColumn<QList<SampleReel>>("reels");
        QTest::addColumn<QList<int>>("unsyncedReels"); // 1-based reel numbers with events not acknowledged
        QTest::addColumn<bool>("current");
        QTest::addColumn<bool>("paused");
        QTest::addColumn<QString>("text");

        const SampleReel pending = reelOf(kMiB, false, false);
        const SampleReel downloaded = reelOf(kMiB, true, false);
        const SampleReel verified = reelOf(kMiB, true, true);
        const SampleReel corrupted = reelOf(kMiB, true, true, true);
        QTest::newRow("completed with its size")
            << QList<SampleReel>{reelOf(512 * kMiB, true, true), reelOf(1024 * kMiB, true, true)} << QList<int>{}
            << false << false << "Completed 1.50 GB";
        QTest::newRow("pending 3 reels") << QList<SampleReel>{pending, pending, pending} << QList<int>{} << false
                                         << false << "Pending 3 reels";
        QTest::newRow("pending 1 reel") << QList<SampleReel>{verified, pending} << QList<int>{} << false << false
                                        << "Pending 1 reel";
        QTest::newRow("failed wins, first") << QList<SampleReel>{corrupted, downloaded, pending} << QList<int>{}
                                            << false << false << "Failed";
        QTest::newRow("failed wins, last") << QList<SampleReel>{downloaded, pending, verified, corrupted}
                                           << QList<int>{3} << false << false << "Failed";
        QTest::newRow("validating the first of two") << QList<SampleReel>{downloaded, downloaded} << QList<int>{}
                                                      << false << false << "Validating reel 1";
        QTest::newRow("validating before pending") << QList<SampleReel>{pending, downloaded, downloaded}
                                                    << QList<int>{} << false << false << "Validating reel 2";
        QTest::newRow("notifying reel 2") << QList<SampleReel>{verified, verified, verified} << QList<int>{2, 3}
                                          << false << false << "Notifying reel 2";
        QTest::newRow("validating before notifying") << QList<SampleReel>{verified, downloaded} << QList<int>{1}
                                                      << false << false << "Validating reel 2";
        QTest::newRow("downloading reel 2") << QList<SampleReel>{verified, slowReel(), pending, downloaded}
                                            << QList<int>{} << true << false << "Downloading reel 2";
        QTest::newRow("downloading before notifying") << QList<SampleReel>{verified, slowReel()} << QList<int>{1}
                                                      << true << false << "Downloading reel 2";
        QTest::newRow("paused current counts as pending") << QList<SampleReel>{verified, slowReel(), pending}
                                                          << QList<int>{} << true << true << "Pending 2 reels";
    }

    // The card's line for each state of the DCP's reels.
    void cardStatus()
    {
        QFETCH(QList<SampleReel>, reels);
        QFETCH(QList<int>, unsyncedReels);
        QFETCH(bool, current);
        QFETCH(bool, paused);
        QFETCH(QString, text);
        const QString title = QString("Card %1").arg(QTest::currentDataTag());
        DCP *dcp = make(title, reels);
        for (int number : unsyncedReels)
            addUnsyncedEvent(dcp->getReels().at(number - 1), 8);
        DownloadManager *manager = DownloadManager::instance();
        Window window;
        QVERIFY(window.load());
        if (current) {
            manager->startDownloading(dcp);
            QTRY_VERIFY(manager->getCurrentDownloadingDCP() == dcp);
            if (paused) {
                // The transfer has started: the first progress sample arrived.
                QTRY_COMPARE(cardText(window, title), QString("Downloading reel 2"));
                manager->pauseDownloading();
                QVERIFY(manager->isPaused());
            }
            QTRY_COMPARE(cardText(window, title), text);
        } else {
            QCOMPARE(cardText(window, title), text);
        }
        // The bar holds the bytes shown: complete reels count whole (read while no transfer
        // changes them).
        QQuickItem *bar = findIn(cardCell(window, title), "cardProgress");
        QCOMPARE(bar->property("max").toDouble(), double(dcp->getTotalSize()));
        if (!current || paused)
            QCOMPARE(bar->property("filled").toDouble(), double(dcp->getDownloadedSizeUI()));
    }

    // The card follows its DCP's signals: a reel verified and acknowledged changes it.
    void cardFollowsSignals()
    {
        DCP *dcp = make("Card Follows", {reelOf(kMiB, true, false), reelOf(kMiB, true, true)});
        Window window;
        QVERIFY(window.load());
        QCOMPARE(cardText(window, "Card Follows"), QString("Validating reel 1"));
        Reel *first = dcp->getReels().first();
        for (Asset *asset : first->getAssets())
            asset->setDownloadChecksummed(true);
        emit first->downloadChecksummed();
        emit dcp->statusChanged();
        QCOMPARE(cardText(window, "Card Follows"), QString("Notifying reel 1"));
        emit first->downloadSynced();
        emit dcp->statusChanged();
        QCOMPARE(cardText(window, "Card Follows"), QString("Completed 2.00 MB"));
    }

    // START DOWNLOAD is offered unless the DCP is downloading now or finished.
    void startDownloadButton()
    {
        make("Finished Feature", {reelOf(kMiB, true, true)});
        DCP *waiting = make("Waiting Feature", {slowReel()});
        Window window;
        QVERIFY(window.load());

        QQuickItem *page = openPage(window, "Finished Feature");
        QVERIFY(page);
        QVERIFY(!findIn(page, "startButton")->isVisible());
        window.click(findIn(page, "closeButton"));
        QCOMPARE(window.item("body")->state(), QString("all"));

        page = openPage(window, "Waiting Feature");
        QVERIFY(page);
        QCOMPARE(findIn(page, "pageFriendlyTitle")->property("text").toString(), QString("Waiting Feature"));
        QQuickItem *start = findIn(page, "startButton");
        QVERIFY(start->isVisible());
        window.click(start);
        QTRY_VERIFY(DownloadManager::instance()->getCurrentDownloadingDCP() == waiting);
        QTRY_VERIFY(!start->isVisible());
        // The reel line shows the transfer.
        QTRY_VERIFY(reelLines(page).value(0) &&
                    findIn(reelLines(page).first(), "reelStatus")->property("text").toString().startsWith("Downloading "));
    }

    void reelHandlers_data()
    {
        QTest::addColumn<QString>("before"); // a signal sent first, to see what stays unchanged
        QTest::addColumn<QString>("signal");
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("colour");
        QTest::addColumn<QString>("bar");

        QTest::newRow("paused keeps the colour") << "corrupted" << "paused" << "Pending" << "#d5101d" << "3.00 MB";
        QTest::newRow("progress") << "corrupted" << "progress" << "Downloading  20.00 Mbps" << "#ffffff" << "1.50 kB";
        QTest::newRow("synced") << "corrupted" << "synced" << "Completed" << "#ffffff" << "3.00 MB";
        QTest::newRow("synced keeps the bar") << "progress" << "synced" << "Completed" << "#ffffff" << "1.50 kB";
        QTest::newRow("checksummed") << "progress" << "checksummed" << "Notifying, please wait" << "#ffffff"
                                     << "1.50 kB";
        QTest::newRow("checking checksum") << "progress" << "checking" << "Validating, please wait" << "#ffffff"
                                           << "3.00 MB";
        QTest::newRow("corrupted") << "progress" << "corrupted" << "Corrupted" << "#d5101d" << "3.00 MB";
        // The file to download again was emptied: the bar shows what is on disk now.
        QTest::newRow("queued for redownload") << "progress" << "queued" << "Queued for redownload" << "#ffa500"
                                               << "1.50 kB";
        QTest::newRow("queued after checking") << "checking" << "queued" << "Queued for redownload" << "#ffa500"
                                               << "1.50 kB";
    }

    // Each signal of a reel sets its line's text, colour and bar.
    void reelHandlers()
    {
        QFETCH(QString, before);
        QFETCH(QString, signal);
        QFETCH(QString, text);
        QFETCH(QString, colour);
        QFETCH(QString, bar);
        const QString title = QString("Reel Line %1").arg(QTest::currentDataTag());
        DCP *dcp = make(title, {reelOf(3 * kMiB, false, false)});
        Reel *reel = dcp->getReels().first();
        writeFile(reel->getAssets().first()->filePath(), 1536);
        Window window;
        QVERIFY(window.load());
        QQuickItem *page = openPage(window, title);
        QVERIFY(page);
        QCOMPARE(reelLines(page).size(), 1);
        QQuickItem *line = reelLines(page).first();
        QCOMPARE(findIn(line, "reelStatus")->property("text").toString(), QString("Pending"));

        auto send = [reel](const QString &name) {
            if (name == "paused") emit reel->downloadPaused();
            else if (name == "progress") emit reel->downloadProgress(2500000);
            else if (name == "synced") emit reel->downloadSynced();
            else if (name == "checksummed") emit reel->downloadChecksummed();
            else if (name == "checking") emit reel->downloadCheckingChecksum();
            else if (name == "corrupted") emit reel->downloadCorrupted();
            else if (name == "queued") emit reel->downloadQueuedForRedownload();
            else QFAIL(qPrintable("no signal " + name));
        };
        send(before);
        send(signal);
        window.settle();
        QQuickItem *status = findIn(line, "reelStatus");
        QCOMPARE(status->property("text").toString(), text);
        QCOMPARE(toneOf(line), colour);
        QCOMPARE(findIn(line, "reelBar")->property("label").toString(), bar);
    }

    void initialStatus_data()
    {
        QTest::addColumn<SampleReel>("reel");
        QTest::addColumn<bool>("unsynced");
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("colour");
        QTest::addColumn<QString>("bar");
        QTest::newRow("corrupted") << reelOf(3 * kMiB, true, true, true) << false << "Corrupted" << "#d5101d"
                                   << "3.00 MB";
        QTest::newRow("verified and acknowledged") << reelOf(3 * kMiB, true, true) << false << "Completed"
                                                   << "#ffffff" << "3.00 MB";
        QTest::newRow("verified, not acknowledged") << reelOf(3 * kMiB, true, true) << true
                                                    << "Notifying, please wait" << "#ffffff" << "3.00 MB";
        QTest::newRow("downloaded") << reelOf(3 * kMiB, true, false) << false << "Validating, please wait"
                                    << "#ffffff" << "3.00 MB";
        QTest::newRow("partly downloaded") << reelOf(3 * kMiB, false, false) << false << "Pending" << "#ffffff"
                                           << "1.50 kB";
    }

    // A reel line starts from the reel's state, and goes back to it when the page is left.
    void initialStatus()
    {
        QFETCH(SampleReel, reel);
        QFETCH(bool, unsynced);
        QFETCH(QString, text);
        QFETCH(QString, colour);
        QFETCH(QString, bar);
        const QString title = QString("Initial %1").arg(QTest::currentDataTag());
        DCP *dcp = make(title, {reel});
        Reel *object = dcp->getReels().first();
        writeFile(object->getAssets().first()->filePath(), 1536);
        if (unsynced)
            addUnsyncedEvent(object, 8);
        Window window;
        QVERIFY(window.load());
        QQuickItem *page = openPage(window, title);
        QVERIFY(page);
        QQuickItem *line = reelLines(page).value(0);
        QVERIFY(line);
        QCOMPARE(findIn(line, "reelStatus")->property("text").toString(), text);
        QCOMPARE(toneOf(line), colour);
        QCOMPARE(findIn(line, "reelBar")->property("label").toString(), bar);
        // The bar is filled as far as its text says, against the reel's whole size.
        QQuickItem *barItem = findIn(line, "reelBar");
        QCOMPARE(barItem->property("max").toDouble(), double(3 * kMiB));
        const double shown = bar == "3.00 MB" ? double(3 * kMiB) : 1536.0;
        QCOMPARE(findIn(barItem, "fill")->width(), barItem->width() * shown / double(3 * kMiB));
        QCOMPARE(findIn(line, "reelSize")->property("text").toString(), QString("3.00"));
        QCOMPARE(findIn(line, "reelUnit")->property("text").toString(), QString("MB"));

        if (text == "Pending")
            emit object->downloadProgress(125000);
        else
            emit object->downloadPaused();
        QVERIFY(findIn(line, "reelStatus")->property("text").toString() != text);

        // Leaving the page lets its content go; shown again, it starts from the reel's state.
        QPointer<QQuickItem> left = line;
        window.click(findIn(page, "closeButton"));
        QCOMPARE(window.item("body")->state(), QString("all"));
        QTRY_VERIFY(!left);
        page = openPage(window, title);
        QVERIFY(page);
        line = reelLines(page).value(0);
        QVERIFY(line);
        QCOMPARE(findIn(line, "reelStatus")->property("text").toString(), text);
        QCOMPARE(toneOf(line), colour);
        QCOMPARE(findIn(line, "reelBar")->property("label").toString(), bar);
    }

    void reelUnit_data()
    {
        QTest::addColumn<quint64>("size");
        QTest::addColumn<QString>("unit");
        QTest::newRow("bytes") << quint64(1000) << "bytes";
        QTest::newRow("kB") << quint64(1000 * 1024) << "kB";
        QTest::newRow("MB") << quint64(3 * kMiB) << "MB";
        QTest::newRow("GB") << quint64(2048 * kMiB) << "GB";
    }

    // The unit after a reel's size fits its column, whatever the unit, and the status
    // starts after it.
    void reelUnit()
    {
        QFETCH(quint64, size);
        QFETCH(QString, unit);
        const QString title = QString("Unit %1").arg(QTest::currentDataTag());
        make(title, {reelOf(size, false, false)});
        Window window;
        QVERIFY(window.load());
        QQuickItem *page = openPage(window, title);
        QVERIFY(page);
        QQuickItem *line = reelLines(page).value(0);
        QVERIFY(line);
        QQuickItem *unitText = findIn(line, "reelUnit");
        QCOMPARE(unitText->property("text").toString(), unit);
        QVERIFY2(unitText->property("contentWidth").toReal() <= unitText->width(),
                 qPrintable(QString("%1 wide in %2").arg(unitText->property("contentWidth").toReal()).arg(unitText->width())));
        QQuickItem *status = findIn(line, "reelStatus");
        QCOMPARE(status->property("text").toString(), QString("Pending"));
        const QRectF unitRect = unitText->mapRectToScene(QRectF(0, 0, unitText->width(), unitText->height()));
        const QRectF removeRect = findIn(line, "reelRemoveButton")->mapRectToScene(QRectF(0, 0, 30, 30));
        const QPointF statusLeft = status->mapToScene(QPointF(0, 0));
        QVERIFY2(removeRect.left() >= unitRect.right(), "the remove button overlaps the unit");
        QVERIFY2(statusLeft.x() >= unitRect.right() + 10, "the status text overlaps the unit");
        // "bytes" is the widest unit: every unit's column is that wide.
        QVERIFY(unitText->width() >= 20);
    }

    // START DOWNLOAD follows the DCP: a change of its state that only a status, reels or
    // current-download signal announces shows or hides it.
    void startDownloadFollowsTheDcp()
    {
        DCP *dcp = make("Start Follows", {reelOf(kMiB, false, false)});
        Window window;
        QVERIFY(window.load());
        QQuickItem *page = openPage(window, "Start Follows");
        QVERIFY(page);
        QQuickItem *start = findIn(page, "startButton");
        QVERIFY(start->isVisible());
        Reel *reel = dcp->getReels().first();

        // Finished: announced by a status change only.
        for (Asset *asset : reel->getAssets())
            asset->setDownloadFinished(true);
        QVERIFY(dcp->isFinished());
        emit dcp->statusChanged();
        QVERIFY(!start->isVisible());
        // Queued again: announced by a reels change only.
        for (Asset *asset : reel->getAssets())
            asset->setDownloadFinished(false);
        emit dcp->reelsChanged();
        QVERIFY(start->isVisible());
        for (Asset *asset : reel->getAssets())
            asset->setDownloadFinished(true);
        emit dcp->finishedChanged();
        QVERIFY(!start->isVisible());
        for (Asset *asset : reel->getAssets())
            asset->setDownloadFinished(false);
        emit dcp->statusChanged();
        QVERIFY(start->isVisible());
    }

    // The card's bar measures against the DCP's whole size as it is now: removing a reel
    // shrinks it at once, without leaving the grid. The DCP lacks a reel it was ordered
    // with, so it is never "Completed".
    void cardBarFollowsTheDcp()
    {
        DCP *dcp = make("Bar Follows", {reelOf(kMiB, true, true), reelOf(3 * kMiB, false, false)});
        Window window;
        QVERIFY(window.load());
        QQuickItem *bar = findIn(cardCell(window, "Bar Follows"), "cardProgress");
        QVERIFY(bar);
        QCOMPARE(bar->property("max").toDouble(), double(4 * kMiB));
        QCOMPARE(findIn(bar, "fill")->width(), bar->width() / 4);
        DownloadManager::instance()->removeDownloadReel(dcp->getReels().at(1));
        QCOMPARE(window.item("body")->state(), QString("all"));
        QCOMPARE(bar->property("max").toDouble(), double(kMiB));
        QCOMPARE(findIn(bar, "fill")->width(), bar->width());
        QCOMPARE(bar->property("label").toString(), QString("Incomplete: 1 reel removed"));
        QCOMPARE(dcp->missingReels(), 1);
    }

    // GO TO FILES hands the DCP's folder to the file browser.
    void goToFiles()
    {
        UrlCatcher urls;
        DCP *dcp = make("Files Of #1", {reelOf(kMiB, true, true)});
        Window window;
        QVERIFY(window.load());
        QQuickItem *page = openPage(window, "Files Of #1");
        QVERIFY(page);
        window.click(findIn(page, "filesButton"));
        QCOMPARE(urls.urls.size(), 1);
        QCOMPARE(urls.urls.first().scheme(), QString("file"));
        QCOMPARE(urls.urls.first().toLocalFile(), dcp->downloadPath() + "/Files Of #1");
        QCOMPARE(urls.urls.first(), QUrl("file://" + dcp->downloadPath() + "/Files Of %231"));
    }

    // DELETE asks first; Cancel keeps the DCP, Yes removes it, returns to the grid and leaves
    // nothing connected to the removed DCP.
    void dcpRemoval()
    {
        DCP *dcp = make("Doomed Feature", {reelOf(kMiB, true, false), reelOf(kMiB, false, false)});
        const QList<int> dcpBefore = dcpReceivers(dcp);
        QList<QList<int>> reelsBefore;
        for (Reel *reel : dcp->getReels())
            reelsBefore.append(reelReceivers(reel));
        Window window;
        QVERIFY(window.load());
        const int cards = window.item("grid")->property("count").toInt();
        QQuickItem *page = openPage(window, "Doomed Feature");
        QVERIFY(page);
        QVERIFY(dcpReceivers(dcp) != dcpBefore);

        for (int answer : {int(QMessageBox::Cancel), int(QMessageBox::Yes)}) {
            window.click(findIn(page, "deleteButton"));
            Box box;
            QVERIFY(visibleBox(window, "dcpRemovalDialog", &box));
            QCOMPARE(box.title, QString("Warning..."));
            QCOMPARE(box.text, "Doomed Feature\r\n\r\n" + kDcpRemovalText);
            QCOMPARE(box.informativeText, kContinue);
            QCOMPARE(box.icon, int(QMessageBox::Warning));
            QCOMPARE(box.buttons, int(QMessageBox::Yes | QMessageBox::Cancel));
            QVERIFY(answerBox(window, "dcpRemovalDialog", answer));
            QCOMPARE(visibleBoxCount(window), 0);
            if (answer == QMessageBox::Cancel) {
                QVERIFY(DCPManager::instance()->getDCP(dcp->uuid()));
                QCOMPARE(window.item("body")->state(), QString("details"));
            }
        }
        QVERIFY(!DCPManager::instance()->getDCP(dcp->uuid()));
        QCOMPARE(window.item("body")->state(), QString("all"));
        QCOMPARE(window.item("grid")->property("count").toInt(), cards - 1);
        QVERIFY(!cardCell(window, "Doomed Feature"));
        QFileInfo folder(dcp->downloadPath() + "/" + dcp->title());
        QVERIFY(folder.isDir()); // the files stay

        // Nothing of the window listens to the removed objects; their signals change nothing.
        window.settle(50);
        QCOMPARE(dcpReceivers(dcp), dcpBefore);
        for (int i = 0; i < dcp->getReels().size(); ++i)
            QCOMPARE(reelReceivers(dcp->getReels().at(i)), reelsBefore.at(i));
        emit dcp->statusChanged();
        emit dcp->downloadProgress();
        for (Reel *reel : dcp->getReels()) {
            emit reel->downloadProgress(125000);
            emit reel->downloadCorrupted();
        }
        window.settle();
    }

    // The minus of a reel asks first; Yes removes the reel and its files, and the page
    // stays while other reels remain.
    void reelRemoval()
    {
        DCP *dcp = make("Two Reels", {reelOf(kMiB, false, false), reelOf(2 * kMiB, false, false)});
        Reel *second = dcp->getReels().at(1);
        const QString secondFile = second->getAssets().first()->filePath();
        writeFile(secondFile, 100);
        const QList<int> before = reelReceivers(second);
        Window window;
        QVERIFY(window.load());
        QQuickItem *page = openPage(window, "Two Reels");
        QVERIFY(page);
        QCOMPARE(reelLines(page).size(), 2);
        QVERIFY(reelReceivers(second) != before);

        for (int answer : {int(QMessageBox::Cancel), int(QMessageBox::Yes)}) {
            window.click(findIn(reelLines(page).at(1), "reelRemoveButton"));
            Box box;
            QVERIFY(visibleBox(window, "reelRemovalDialog", &box));
            QCOMPARE(box.title, QString("Warning..."));
            QCOMPARE(box.text, kReelRemovalText);
            QCOMPARE(box.informativeText, kContinue);
            QCOMPARE(box.icon, int(QMessageBox::Warning));
            QCOMPARE(box.buttons, int(QMessageBox::Yes | QMessageBox::Cancel));
            QVERIFY(answerBox(window, "reelRemovalDialog", answer));
            QCOMPARE(window.item("body")->state(), QString("details"));
            if (answer == QMessageBox::Cancel) {
                QCOMPARE(dcp->getReels().size(), 2);
                QVERIFY(QFileInfo::exists(secondFile));
            }
        }
        QCOMPARE(dcp->getReels().size(), 1);
        QVERIFY(!QFileInfo::exists(secondFile));
        QCOMPARE(reelLines(page).size(), 1);
        QCOMPARE(findIn(reelLines(page).first(), "reelStatus")->property("text").toString(), QString("Pending"));
        window.settle(50);
        QCOMPARE(reelReceivers(second), before);
        emit second->downloadProgress(125000);
        emit second->downloadSynced();
        window.settle();
    }

    // A reel that failed verification three times reads "Corrupted" in full beside "Download
    // again" at the window's smallest size; a click starts its attempts over.
    void failedReelDownloadedAgainByClick()
    {
        DCP *dcp = make("Failed Reel", {reelOf(kMiB, true, true), reelOf(3 * kMiB, true, true, true)});
        Reel *failed = dcp->getReels().at(1);
        Asset *asset = failed->getAssets().first();
        writeFile(asset->filePath(), 1000);
        asset->setDownloadAttempts(3);
        Window window;
        QVERIFY(window.load());
        QCOMPARE(window.window()->size(), QSize(1200, 750));
        QQuickItem *page = openPage(window, "Failed Reel");
        QVERIFY(page);
        QQuickItem *line = reelLines(page).value(1);
        QVERIFY(line);
        QQuickItem *status = findIn(line, "reelStatus");
        QQuickItem *again = findIn(line, "reelAgainButton");
        QCOMPARE(status->property("text").toString(), QString("Corrupted"));
        QVERIFY2(!status->property("truncated").toBool(), "the status is elided");
        QVERIFY(again->isVisible());
        QVERIFY(!findIn(reelLines(page).first(), "reelAgainButton")->isVisible());
        QVERIFY(again->mapRectToScene(again->boundingRect()).right() <= window.window()->width());

        QSignalSpy requeued(failed, &Reel::downloadQueuedForRedownload);
        window.click(again);
        QCOMPARE(requeued.size(), 1);
        QVERIFY(!failed->isCorrupted());
        QCOMPARE(asset->downloadAttempts(), 0u);
        QVERIFY(!asset->isDownloadFinished() && !asset->isDownloadCorrupted());
        QCOMPARE(QFileInfo(asset->filePath()).size(), qint64(0));
        QCOMPARE(status->property("text").toString(), QString("Queued for redownload"));
        QVERIFY(!again->isVisible());
    }

    // Removing the only reel removes the DCP: the grid is shown before the reel goes.
    void onlyReelReturnsToTheGridFirst()
    {
        DCP *dcp = make("Single Reel", {reelOf(kMiB, false, false)});
        Window window;
        QVERIFY(window.load());
        QQuickItem *page = openPage(window, "Single Reel");
        QVERIFY(page);
        QStringList statesAtRemoval;
        QQuickItem *body = window.item("body");
        connect(dcp, &DCP::reelsChanged, this, [&] { statesAtRemoval.append(body->state()); });
        window.click(findIn(reelLines(page).first(), "reelRemoveButton"));
        QVERIFY(answerBox(window, "reelRemovalDialog", QMessageBox::Yes));
        QCOMPARE(statesAtRemoval, QStringList{"all"});
        QVERIFY(!DCPManager::instance()->getDCP(dcp->uuid()));
        QCOMPARE(body->state(), QString("all"));
        QVERIFY(!cardCell(window, "Single Reel"));
        disconnect(dcp, nullptr, this, nullptr);
    }
};

TOLVANE_TEST_MAIN(TestWindowDelegates)
#include "tst_window_delegates.moc"
