// The grid and the page while the catalogue changes under them: an open page stays on its
// DCP when others come and go and closes when its own DCP leaves; searching filters once
// per change of the text, keeps the cards of the DCPs that stay and the chosen order;
// covers are fetched once.

#include "WindowFixture.h"

#include "PortalStandin.h"

#include "catalogue/DCP.h"
#include "catalogue/DCPManager.h"
#include "download/DownloadManager.h"
#include "support/ScriptedUserInteraction.h"
#include "support/TestMain.h"

#include <QColor>
#include <QDir>
#include <QImage>
#include <QMap>
#include <QMessageBox>
#include <QKeySequence>
#include <QPointer>
#include <QQuickItem>
#include <QQuickWindow>
#include <QSet>
#include <QSignalSpy>
#include <QtTest>

using namespace WindowFixture;

namespace {

const QString kDcpRemovalText = "You are about to delete a DCP.\r\n\r\nThis will NOT DELETE the files on your hard "
                                "drive but simply remove the DCP from the Tolvane Downloader.";

SampleReel complete()
{
    SampleReel reel;
    reel.finished = true;
    reel.checksummed = true;
    return reel;
}

QString cardTitleOf(QQuickItem *cell)
{
    QQuickItem *title = findIn(cell, "cardTitle");
    return title ? title->property("text").toString() : QString("<no title>");
}

QStringList cardTitles(const Window &window)
{
    QStringList titles;
    for (QQuickItem *cell : window.gridCells())
        titles.append(cardTitleOf(cell));
    return titles;
}

// The grid's cards by the title they show.
QMap<QString, QPointer<QQuickItem>> cardsByTitle(const Window &window)
{
    QMap<QString, QPointer<QQuickItem>> cards;
    for (QQuickItem *cell : window.gridCells())
        cards.insert(cardTitleOf(cell), cell);
    return cards;
}

QString buttonState(const Window &window, const QString &name)
{
    QQuickItem *button = window.item(name);
    return button ? button->state() : "<missing>";
}

// The title the open page shows; every visible page title must say the same.
QString pageTitle(const Window &window)
{
    const QList<QQuickItem *> shown = window.visibleItems("pageFriendlyTitle");
    if (shown.size() != 1)
        return QString("<%1 visible pages>").arg(shown.size());
    QQuickItem *current = window.detailsPage(window.item("detailsList")->property("currentIndex").toInt());
    QQuickItem *currentTitle = findIn(current, "pageFriendlyTitle");
    if (currentTitle != shown.first())
        return "<the visible page is not the list's current one>";
    return shown.first()->property("text").toString();
}

}

class TestWindowCatalogueView : public QObject
{
    Q_OBJECT

    ScriptedUserInteraction *ui = nullptr;
    PortalStandin standin;
    QList<DCP *> made;

    DCP *make(const QString &title, const QString &friendlyTitle = QString(), const QString &imageUrl = QString())
    {
        DCP *dcp = SampleCatalogue::addDcp(title, friendlyTitle.isEmpty() ? title : friendlyTitle, {complete()},
                                           imageUrl, TestSupport::dataDir() + "/downloads");
        made.append(dcp);
        return dcp;
    }

    QQuickItem *card(const Window &window, const QString &title)
    {
        for (QQuickItem *cell : window.gridCells()) {
            if (cardTitleOf(cell) == title)
                return findIn(cell, "card");
        }
        return nullptr;
    }

    // A cover served by the stand-in; returns its URL.
    QString cover(const QString &name)
    {
        const QString relative = "covers/" + name + ".png";
        const QString path = TestSupport::dataDir() + "/assets/" + relative;
        QDir().mkpath(QFileInfo(path).absolutePath());
        QImage image(1000, 1480, QImage::Format_RGB32); // a poster's usual size
        image.fill(QColor(qHash(name) & 0xffffff));
        if (!image.save(path))
            return QString();
        return QString::fromStdString(standin.assetUrl(relative.toStdString()));
    }

    int coverRequests(const QString &name)
    {
        int count = 0;
        for (const AssetRequest &request : standin.assetRequests())
            count += request.path == ("covers/" + name + ".png").toStdString() ? 1 : 0;
        return count;
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
        DCPManager::instance()->setSearchFilter(QString());
        failOnQmlWarnings();
    }

    // The page of "Third Feature" stays on it while other DCPs leave and join, and closes
    // when its own DCP leaves from outside the page.
    void pageKeepsItsDcp_data()
    {
        QTest::addColumn<bool>("byName");
        QTest::newRow("by date: the page is the first row") << false;
        QTest::newRow("by name: the page is the last row") << true;
    }

    void pageKeepsItsDcp()
    {
        QFETCH(bool, byName);
        DCP *first = make("First Feature");
        DCP *second = make("Second Feature");
        DCP *third = make("Third Feature");
        Window window;
        QVERIFY(window.load());
        if (byName)
            window.click(window.item("sortNameButton"));
        QCOMPARE(cardTitles(window), byName ? QStringList({"First Feature", "Second Feature", "Third Feature"})
                                            : QStringList({"Third Feature", "Second Feature", "First Feature"}));

        window.click(card(window, "Third Feature"));
        QCOMPARE(window.item("body")->state(), QString("details"));
        QCOMPARE(pageTitle(window), QString("Third Feature"));

        // Another DCP leaves, as when the user drops it after its links expired.
        QVERIFY(DownloadManager::instance()->removeDownload(first));
        window.settle();
        QCOMPARE(window.item("body")->state(), QString("details"));
        QCOMPARE(pageTitle(window), QString("Third Feature"));

        // A DCP joins.
        make("Fourth Feature");
        window.settle();
        QCOMPARE(window.item("body")->state(), QString("details"));
        QCOMPARE(pageTitle(window), QString("Third Feature"));

        // DELETE names the DCP it would remove.
        window.click(window.visibleItems("deleteButton").value(0));
        Box box;
        QVERIFY(visibleBox(window, "dcpRemovalDialog", &box));
        QCOMPARE(box.text, "Third Feature\r\n\r\n" + kDcpRemovalText);
        QCOMPARE(box.informativeText, QString("Would you like to continue ?"));
        QVERIFY(answerBox(window, "dcpRemovalDialog", QMessageBox::Cancel));
        QCOMPARE(pageTitle(window), QString("Third Feature"));

        // The page's own DCP leaves from outside: back to the grid, without it.
        QVERIFY(DownloadManager::instance()->removeDownload(third));
        window.settle();
        QCOMPARE(window.item("body")->state(), QString("all"));
        QVERIFY(window.visibleItems("pageFriendlyTitle").isEmpty());
        QCOMPARE(cardTitles(window), QStringList({"Fourth Feature", "Second Feature"}));
        QVERIFY(DCPManager::instance()->getDCP(second->uuid()));
    }

    // A removal question left open while its DCP leaves from outside goes away, and the
    // remaining DCPs stay.
    void removalQuestionForADcpThatLeft()
    {
        make("Kept Feature");
        DCP *gone = make("Gone Feature");
        Window window;
        QVERIFY(window.load());
        window.click(card(window, "Gone Feature"));
        window.click(window.visibleItems("deleteButton").value(0));
        Box box;
        QVERIFY(visibleBox(window, "dcpRemovalDialog", &box));
        QCOMPARE(box.text, "Gone Feature\r\n\r\n" + kDcpRemovalText);
        QVERIFY(DownloadManager::instance()->removeDownload(gone));
        window.settle();
        QCOMPARE(visibleBoxCount(window), 0);
        QCOMPARE(window.item("body")->state(), QString("all"));
        QCOMPARE(cardTitles(window), QStringList({"Kept Feature"}));
    }

    // Each key: the field's text, how many times the window has filtered so far, the cards
    // shown. Keys that leave the text as it is filter nothing; a card whose DCP stays shown
    // is the same object throughout.
    void searchFiltersOncePerChange()
    {
        make("Alpha Feature");
        make("Beta Trailer");
        make("alphabet Short");
        Window window;
        QVERIFY(window.load());
        QVERIFY(window.item("searchField")->hasActiveFocus());
        QSignalSpy filtered(DCPManager::instance(), &DCPManager::filterChanged);
        const QMap<QString, QPointer<QQuickItem>> cards = cardsByTitle(window);
        QCOMPARE(cards.size(), 3);

        struct Step { Qt::Key key; Qt::KeyboardModifiers modifiers; QString text; int filterings; QStringList shown; };
        const QStringList all = {"alphabet Short", "Beta Trailer", "Alpha Feature"};
        const QList<Step> steps = {
            {Qt::Key_Shift, Qt::NoModifier, "", 0, all},
            {Qt::Key_Left, Qt::NoModifier, "", 0, all},
            {Qt::Key_A, Qt::NoModifier, "a", 1, all},
            {Qt::Key_L, Qt::NoModifier, "al", 2, {"alphabet Short", "Alpha Feature"}},
            {Qt::Key_Shift, Qt::NoModifier, "al", 2, {"alphabet Short", "Alpha Feature"}},
            {Qt::Key_Left, Qt::NoModifier, "al", 2, {"alphabet Short", "Alpha Feature"}},
            {Qt::Key_Right, Qt::NoModifier, "al", 2, {"alphabet Short", "Alpha Feature"}},
            {Qt::Key_End, Qt::NoModifier, "al", 2, {"alphabet Short", "Alpha Feature"}},
            {Qt::Key_Space, Qt::NoModifier, "al ", 3, {"alphabet Short", "Alpha Feature"}},
            {Qt::Key_Backspace, Qt::NoModifier, "al", 4, {"alphabet Short", "Alpha Feature"}},
            {Qt::Key_P, Qt::NoModifier, "alp", 5, {"alphabet Short", "Alpha Feature"}},
            {Qt::Key_Z, Qt::NoModifier, "alpz", 6, {}},
            {Qt::Key_Backspace, Qt::NoModifier, "alp", 7, {"alphabet Short", "Alpha Feature"}},
            {Qt::Key_Backspace, Qt::NoModifier, "al", 8, {"alphabet Short", "Alpha Feature"}},
            {Qt::Key_Backspace, Qt::NoModifier, "a", 9, all},
            {Qt::Key_Backspace, Qt::NoModifier, "", 10, all},
            {Qt::Key_Backspace, Qt::NoModifier, "", 10, all},
        };
        QSet<QString> hiddenOnce;
        for (const Step &step : steps) {
            QTest::keyClick(window.window(), step.key, step.modifiers);
            window.settle();
            const QString at = QString("after %1 with text \"%2\"").arg(QKeySequence(step.key).toString(), step.text);
            QVERIFY2(window.text("searchField") == step.text, qPrintable(at));
            QVERIFY2(filtered.count() == step.filterings, qPrintable(at + ": " + QString::number(filtered.count())));
            QVERIFY2(cardTitles(window) == step.shown, qPrintable(at + ": " + cardTitles(window).join(", ")));
            for (const QString &title : cards.keys()) {
                if (!step.shown.contains(title))
                    hiddenOnce.insert(title);
                // A card is only made again after its DCP was hidden.
                if (step.shown.contains(title) && !hiddenOnce.contains(title))
                    QVERIFY2(cards.value(title) && cardsByTitle(window).value(title) == cards.value(title),
                             qPrintable(at + ": the card of " + title + " was made again"));
            }
        }
        QVERIFY(!DCPManager::instance()->haveSearchFilter());
    }

    // A-Z orders by the title the cards show, ignoring case; searching keeps it and the
    // cards; a DCP joining the catalogue goes back to DATE.
    void nameOrderSurvivesSearching()
    {
        // Stored titles in another order than the shown ones.
        make("B-Roll", "zebra Story");
        make("Z-Final", "alpine Run");
        make("a-side", "Mango Tale");
        Window window;
        QVERIFY(window.load());
        QCOMPARE(buttonState(window, "sortDateButton"), QString("active"));
        QCOMPARE(cardTitles(window), QStringList({"Mango Tale", "alpine Run", "zebra Story"}));
        const QMap<QString, QPointer<QQuickItem>> cards = cardsByTitle(window);

        window.click(window.item("sortNameButton"));
        QCOMPARE(buttonState(window, "sortNameButton"), QString("active"));
        const QStringList byName = {"alpine Run", "Mango Tale", "zebra Story"};
        QCOMPARE(cardTitles(window), byName);
        QCOMPARE(cardsByTitle(window), cards); // sorting moved the cards, it made none

        window.typeInto("searchField", "n");
        QCOMPARE(cardTitles(window), QStringList({"alpine Run", "Mango Tale"}));
        QCOMPARE(buttonState(window, "sortNameButton"), QString("active"));
        QCOMPARE(buttonState(window, "sortDateButton"), QString("default"));
        QTest::keyClick(window.window(), Qt::Key_Backspace);
        window.settle();
        QCOMPARE(cardTitles(window), byName);
        QCOMPARE(buttonState(window, "sortNameButton"), QString("active"));
        QVERIFY(cardsByTitle(window).value("alpine Run") == cards.value("alpine Run"));
        QVERIFY(cardsByTitle(window).value("Mango Tale") == cards.value("Mango Tale"));

        make("c-new", "Kilo Night");
        window.settle();
        QCOMPARE(buttonState(window, "sortDateButton"), QString("active"));
        QCOMPARE(buttonState(window, "sortNameButton"), QString("default"));
        QCOMPARE(cardTitles(window), QStringList({"Kilo Night", "Mango Tale", "alpine Run", "zebra Story"}));
    }

    // Typing and clearing, sorting, and opening and closing every page fetch each cover once.
    void coversAreFetchedOnce()
    {
        const QStringList names = {"north", "south", "west", "east", "inland", "coast"};
        QStringList titles;
        for (const QString &name : names) {
            const QString url = cover(name);
            QVERIFY(!url.isEmpty());
            make(name + " Feature", QString(), url);
            titles.append(name + " Feature");
        }
        standin.clearAssetRequests();
        Window window;
        QVERIFY(window.load());
        for (QQuickItem *cell : window.gridCells())
            QTRY_COMPARE(findIn(cell, "coverImage")->property("status").toInt(), 1); // Image.Ready

        // A search that keeps every card, and clearing it.
        window.typeInto("searchField", "feat");
        QCOMPARE(cardTitles(window).size(), names.size());
        for (int i = 0; i < 4; ++i)
            QTest::keyClick(window.window(), Qt::Key_Backspace);
        window.settle();
        QCOMPARE(window.text("searchField"), QString());
        window.click(window.item("sortNameButton"));
        window.click(window.item("sortDateButton"));
        // The pages of the first row's cards (the others are below the fold).
        for (const QString &title : cardTitles(window).mid(0, 3)) {
            window.click(card(window, title));
            QCOMPARE(pageTitle(window), title);
            QQuickItem *page = window.detailsPage(window.item("detailsList")->property("currentIndex").toInt());
            QTRY_COMPARE(findIn(page, "coverImage")->property("status").toInt(), 1);
            window.click(findIn(page, "closeButton"));
            QCOMPARE(window.item("body")->state(), QString("all"));
        }
        for (QQuickItem *cell : window.gridCells())
            QTRY_COMPARE(findIn(cell, "coverImage")->property("status").toInt(), 1);
        for (const QString &name : names)
            QCOMPARE(coverRequests(name), 1);

        // A search that hides the others keeps this card and its cover; the cards it hid
        // come back with their covers without a second download.
        window.typeInto("searchField", "north");
        QCOMPARE(cardTitles(window), QStringList({"north Feature"}));
        for (int i = 0; i < 5; ++i)
            QTest::keyClick(window.window(), Qt::Key_Backspace);
        window.settle();
        QCOMPARE(cardTitles(window).size(), names.size());
        for (QQuickItem *cell : window.gridCells())
            QTRY_COMPARE(findIn(cell, "coverImage")->property("status").toInt(), 1);
        for (const QString &name : names)
            QCOMPARE(coverRequests(name), 1);
    }
};

TOLVANE_TEST_MAIN(TestWindowCatalogueView)
#include "tst_window_catalogue_view.moc"
