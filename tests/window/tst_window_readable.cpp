// The window as an operator reads it: every text stands out from what lies behind it
// (WCAG contrast of 4.5:1 or more, from the colours the items really have), failures
// stand out in red, a bar's text stays inside its bar, and every card of the grid can be
// scrolled into view at the smallest window size, with the wheel or the scroll bar.

#include "WindowFixture.h"

#include "PortalStandin.h"

#include "catalogue/DCP.h"
#include "catalogue/DCPManager.h"
#include "catalogue/Reel.h"
#include "download/Asset.h"
#include "download/DownloadManager.h"
#include "support/ScriptedUserInteraction.h"
#include "support/TestMain.h"

#include <QColor>
#include <QElapsedTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QGuiApplication>
#include <QImage>
#include <QPixmap>
#include <QScreen>
#include <QQuickItem>
#include <QQuickWindow>
#include <QWheelEvent>
#include <QtTest>

#include <algorithm>
#include <cmath>

using namespace WindowFixture;

Q_DECLARE_METATYPE(WindowFixture::SampleReel)

namespace {

const quint64 kMiB = 1024 * 1024;
const QString kRed = "#d5101d";

SampleReel reelOf(quint64 size, bool finished, bool checksummed, bool corrupted = false)
{
    SampleReel reel;
    reel.size = size;
    reel.finished = finished;
    reel.checksummed = checksummed;
    reel.corrupted = corrupted;
    return reel;
}

double channel(double c)
{
    return c <= 0.03928 ? c / 12.92 : std::pow((c + 0.055) / 1.055, 2.4);
}

double luminance(const QColor &colour)
{
    return 0.2126 * channel(colour.redF()) + 0.7152 * channel(colour.greenF()) + 0.0722 * channel(colour.blueF());
}

// WCAG contrast ratio of two opaque colours, from 1 to 21.
double contrast(const QColor &a, const QColor &b)
{
    const double la = luminance(a), lb = luminance(b);
    return (std::max(la, lb) + 0.05) / (std::min(la, lb) + 0.05);
}

QColor colourOf(const QQuickItem *item)
{
    return item->property("color").value<QColor>();
}

bool shown(const QQuickItem *item)
{
    if (!item)
        return false;
    for (const QQuickItem *i = item; i; i = i->parentItem()) {
        if (!i->isVisible() || i->opacity() == 0)
            return false;
    }
    return true;
}

QRectF sceneRect(const QQuickItem *item)
{
    return item->mapRectToScene(QRectF(0, 0, item->width(), item->height()));
}

bool opaqueRectangle(const QQuickItem *item)
{
    return item->inherits("QQuickRectangle") && item->isVisible() && colourOf(item).alpha() == 255;
}

// The colour drawn right behind an item: the nearest opaque rectangle under it, either a
// sibling drawn before it (or before one of its ancestors) that covers it, or an ancestor.
QColor colourBehind(const QQuickItem *item, QString *what = nullptr)
{
    const QRectF rect = sceneRect(item);
    for (const QQuickItem *child = item; child->parentItem(); child = child->parentItem()) {
        const QQuickItem *parent = child->parentItem();
        // Siblings in the order they are drawn: by z, then as declared.
        QList<QQuickItem *> siblings = parent->childItems();
        std::stable_sort(siblings.begin(), siblings.end(),
                         [](const QQuickItem *a, const QQuickItem *b) { return a->z() < b->z(); });
        for (int i = siblings.indexOf(const_cast<QQuickItem *>(child)) - 1; i >= 0; --i) {
            const QQuickItem *sibling = siblings.at(i);
            if (opaqueRectangle(sibling) && sceneRect(sibling).contains(rect)) {
                if (what)
                    *what = sibling->objectName();
                return colourOf(sibling);
            }
        }
        if (opaqueRectangle(parent)) {
            if (what)
                *what = parent->objectName();
            return colourOf(parent);
        }
    }
    if (what)
        *what = "window";
    return item->window()->color();
}

// Every text shown in the window that reads at less than 4.5:1, described.
QStringList unreadableTexts(const Window &window)
{
    QStringList found;
    QList<QQuickItem *> pending{window.window()->contentItem()};
    while (!pending.isEmpty()) {
        QQuickItem *item = pending.takeFirst();
        pending.append(item->childItems());
        if (!item->inherits("QQuickText") || !shown(item) || item->property("text").toString().trimmed().isEmpty())
            continue;
        if (item->width() <= 0 || item->height() <= 0)
            continue;
        QString behindName;
        const QColor behind = colourBehind(item, &behindName);
        const double ratio = contrast(colourOf(item), behind);
        if (ratio < 4.5)
            found.append(QString("\"%1\" (%2) %3 on %4 (%5): %6")
                             .arg(item->property("text").toString().left(40), item->objectName(),
                                  colourOf(item).name(), behind.name(), behindName)
                             .arg(ratio, 0, 'f', 2));
    }
    return found;
}

void writeFile(const QString &path, int bytes)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(QByteArray(bytes, 'x'));
}

// One turn of a mouse wheel by this many notches (negative: towards the user), stamped
// with the time like the system's events.
void wheel(QQuickWindow *window, const QPointF &at, int notches)
{
    static QElapsedTimer clock;
    if (!clock.isValid())
        clock.start();
    QWheelEvent event(at, window->mapToGlobal(at.toPoint()), QPoint(), QPoint(0, 120 * notches), Qt::NoButton,
                      Qt::NoModifier, Qt::NoScrollPhase, false);
    event.setTimestamp(ulong(1000 + clock.elapsed()));
    QGuiApplication::sendEvent(window, &event);
}

}

class TestWindowReadable : public QObject
{
    Q_OBJECT

    ScriptedUserInteraction *ui = nullptr;
    PortalStandin standin;
    QList<DCP *> made;

    DCP *make(const QString &title, const QList<SampleReel> &reels)
    {
        DCP *dcp = addDcp(title, reels);
        made.append(dcp);
        return dcp;
    }

    QQuickItem *openPage(const Window &window, const QString &title)
    {
        QQuickItem *cell = cardCell(window, title);
        if (!cell)
            return nullptr;
        window.click(findIn(cell, "card"));
        const int current = window.item("detailsList")->property("currentIndex").toInt();
        QQuickItem *page = window.detailsPage(current);
        return page && page->isVisible() ? page : nullptr;
    }

    // Twelve DCPs, sorted by name: the last card is a failed one.
    void makeTwelve()
    {
        for (int i = 1; i <= 11; ++i)
            make(QString("Feature %1").arg(i, 2, 10, QChar('0')), {reelOf(kMiB, false, false)});
        make("Zeta Failed", {reelOf(kMiB, true, true, true)});
    }

    // The grid's last card (sorted by name: the failed one) lies wholly inside the grid's
    // visible area, and its status reads.
    void checkLastCardInView(const Window &window)
    {
        QQuickItem *grid = window.item("grid");
        const int count = grid->property("count").toInt();
        QCOMPARE(count, 12);
        QQuickItem *cell = nullptr;
        QMetaObject::invokeMethod(grid, "itemAtIndex", Q_RETURN_ARG(QQuickItem *, cell), Q_ARG(int, count - 1));
        QVERIFY(cell);
        QQuickItem *card = findIn(cell, "card");
        QCOMPARE(findIn(card, "cardTitle")->property("text").toString(), QString("Zeta Failed"));
        const QRectF visible = sceneRect(grid);
        const QRectF shownCard = sceneRect(card);
        QVERIFY2(visible.contains(shownCard),
                 qPrintable(QString("card at %1,%2 %3x%4 outside the grid's %5,%6 %7x%8")
                                .arg(shownCard.x()).arg(shownCard.y()).arg(shownCard.width()).arg(shownCard.height())
                                .arg(visible.x()).arg(visible.y()).arg(visible.width()).arg(visible.height())));
        QVERIFY(shown(card));
        // Its status reads, and stands out in red.
        QQuickItem *bar = findIn(card, "cardProgress");
        QCOMPARE(findIn(bar, "barText")->property("text").toString(), QString("Failed"));
        QVERIFY(shown(findIn(bar, "barMark")));
        QCOMPARE(colourOf(findIn(bar, "barMark")).name(), kRed);
        QVERIFY(shown(findIn(card, "cardAlert")));
    }

    void sortByName(const Window &window)
    {
        window.click(window.item("sortNameButton"));
        QCOMPARE(window.item("sortNameButton")->state(), QString("active"));
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
        failOnQmlWarnings();
    }

    // The card's bar: light text over the grey, dark text over the fill, each drawn only
    // over its part; the whole grid page reads.
    void cardBarReads()
    {
        make("Partly There", {reelOf(kMiB, true, true), reelOf(kMiB, false, false), reelOf(kMiB, false, false)});
        make("Broken One", {reelOf(kMiB, true, true, true)});
        Window window;
        QVERIFY(window.load());
        QQuickItem *bar = findIn(cardCell(window, "Partly There"), "cardProgress");
        QVERIFY(bar);
        QCOMPARE(bar->property("label").toString(), QString("Pending 2 reels"));
        QQuickItem *fill = findIn(bar, "fill");
        QQuickItem *light = findIn(bar, "barText");
        QQuickItem *dark = findIn(bar, "barTextOnFill");
        QVERIFY(fill && light && dark);
        QCOMPARE(fill->width(), bar->width() / 3);
        QCOMPARE(dark->property("text").toString(), light->property("text").toString());
        QCOMPARE(sceneRect(dark), sceneRect(light));

        // Unfilled part: the light copy on the bar's grey; filled part: the dark copy on the
        // fill, which clips it.
        QCOMPARE(colourBehind(light), colourOf(bar));
        QVERIFY2(contrast(colourOf(light), colourOf(bar)) >= 4.5,
                 qPrintable(QString::number(contrast(colourOf(light), colourOf(bar)))));
        QCOMPARE(dark->parentItem(), fill);
        QVERIFY(fill->clip());
        QCOMPARE(colourBehind(dark), colourOf(fill));
        QVERIFY2(contrast(colourOf(dark), colourOf(fill)) >= 4.5,
                 qPrintable(QString::number(contrast(colourOf(dark), colourOf(fill)))));

        // As drawn: over the fill only dark strokes on white, over the rest only light
        // strokes on grey, and the text on both sides of the fill's edge.
        const QImage image = window.window()->screen()->grabWindow(window.window()->winId()).toImage();
        QVERIFY(!image.isNull());
        const qreal ratio = image.width() / window.window()->width();
        const QRectF text = sceneRect(light);
        const QRectF fillRect = sceneRect(fill);
        const double grey = luminance(colourOf(bar));
        double darkestOnGrey = 1, lightestOnGrey = 0, darkestOnFill = 1;
        for (int y = int(text.top()) + 1; y < int(text.bottom()) - 1; ++y) {
            for (int x = int(text.left()); x < int(text.left() + light->property("contentWidth").toReal()); ++x) {
                if (std::abs(x - fillRect.right()) < 2)
                    continue;
                const double l = luminance(image.pixelColor(int(x * ratio), int(y * ratio)));
                if (x < fillRect.right()) {
                    darkestOnFill = std::min(darkestOnFill, l);
                } else {
                    darkestOnGrey = std::min(darkestOnGrey, l);
                    lightestOnGrey = std::max(lightestOnGrey, l);
                }
            }
        }
        QVERIFY2(darkestOnFill < 0.2, qPrintable(QString::number(darkestOnFill)));
        QVERIFY2(lightestOnGrey > 0.5, qPrintable(QString::number(lightestOnGrey)));
        QVERIFY2(darkestOnGrey >= grey - 0.005, "dark text drawn over the grey");

        // A failed DCP is marked in red beside its readable text.
        QQuickItem *broken = findIn(cardCell(window, "Broken One"), "cardProgress");
        QCOMPARE(broken->property("label").toString(), QString("Failed"));
        QVERIFY(shown(findIn(broken, "barMark")));
        QCOMPARE(colourOf(findIn(broken, "barMark")).name(), kRed);
        QVERIFY(!shown(findIn(bar, "barMark")));
        QVERIFY(shown(findIn(cardCell(window, "Broken One"), "cardAlert")));
        QVERIFY(!shown(findIn(cardCell(window, "Partly There"), "cardAlert")));

        const QStringList unreadable = unreadableTexts(window);
        QVERIFY2(unreadable.isEmpty(), qPrintable(unreadable.join('\n')));
    }

    // A text longer than the bar is elided inside it.
    void longBarTextIsElided()
    {
        make("Long Status", {reelOf(kMiB, false, false)});
        Window window;
        QVERIFY(window.load());
        QQuickItem *card = findIn(cardCell(window, "Long Status"), "card");
        QQuickItem *bar = findIn(card, "cardProgress");
        const QString longText = "Queued for redownload, then validating, please wait a long while";
        QVERIFY(QMetaObject::invokeMethod(bar, "content", Q_ARG(QVariant, QVariant(double(kMiB / 2))),
                                          Q_ARG(QVariant, QVariant(longText))));
        window.settle();
        QCOMPARE(bar->property("label").toString(), longText);
        for (const char *name : {"barText", "barTextOnFill"}) {
            QQuickItem *text = findIn(bar, name);
            QCOMPARE(text->property("text").toString(), longText);
            QVERIFY2(text->property("truncated").toBool(), name);
            QVERIFY2(text->property("contentWidth").toReal() <= text->width(), name);
            // Across: inside the bar (the line's box may be a pixel taller than the bar).
            const QRectF inBar = sceneRect(text);
            QVERIFY2(inBar.left() >= sceneRect(bar).left() && inBar.right() <= sceneRect(bar).right(), name);
            QVERIFY2(inBar.left() >= sceneRect(card).left() && inBar.right() <= sceneRect(card).right(), name);
            QVERIFY2(std::abs(inBar.center().y() - sceneRect(bar).center().y()) < 1, name);
        }
        // The screen reader still gets the whole text.
        QCOMPARE(findIn(bar, "barText")->property("text").toString(), longText);
    }

    // Navigation labels, at rest and under the pointer; the search placeholder, dimmer than
    // typed text.
    void navigationAndSearchRead()
    {
        Window window;
        QVERIFY(window.load());
        for (const char *name : {"loadFileButton", "pauseButton", "tarnButton"}) {
            QQuickItem *button = window.item(name);
            QVERIFY(button);
            QCOMPARE(button->state(), QString("default"));
            QQuickItem *label = findIn(button, "navLabel");
            QVERIFY(!label->property("text").toString().isEmpty());
            QCOMPARE(colourBehind(label), colourOf(window.item("navBar")));
            const double rest = contrast(colourOf(label), colourBehind(label));
            QVERIFY2(rest >= 4.5, qPrintable(QString("%1: %2").arg(name).arg(rest)));
            QVERIFY(!shown(findIn(button, "navMark")));

            const QPoint centre = button->mapToScene(QPointF(button->width() / 2, button->height() / 2)).toPoint();
            QTest::mouseMove(window.window(), centre);
            QTRY_VERIFY(shown(findIn(button, "navMark")));
            QCOMPARE(colourOf(findIn(button, "navMark")).name(), kRed);
            const double hovered = contrast(colourOf(label), colourBehind(label));
            QVERIFY2(hovered >= 4.5, qPrintable(QString("%1 hovered: %2").arg(name).arg(hovered)));
            QTest::mouseMove(window.window(), QPoint(600, 400));
            QTRY_VERIFY(!shown(findIn(button, "navMark")));
        }

        QQuickItem *field = window.item("searchField");
        QQuickItem *placeholder = nullptr;
        QList<QQuickItem *> pending{field};
        while (!pending.isEmpty() && !placeholder) {
            QQuickItem *item = pending.takeFirst();
            pending.append(item->childItems());
            if (item->inherits("QQuickText") && item->property("text").toString() == "Search DCPs...")
                placeholder = item;
        }
        QVERIFY(placeholder);
        QVERIFY(shown(placeholder));
        const QColor behind = colourBehind(placeholder);
        QCOMPARE(behind.name(), QString("#333333"));
        const double ratio = contrast(colourOf(placeholder), behind);
        QVERIFY2(ratio >= 4.5, qPrintable(QString::number(ratio)));
        const QColor typed = field->property("textColor").value<QColor>();
        QVERIFY(contrast(typed, behind) > ratio);
        QVERIFY(luminance(colourOf(placeholder)) < luminance(typed));

        window.typeInto("searchField", "x");
        QVERIFY(!shown(placeholder));
        window.typeInto("searchField", "\b");
        QVERIFY(shown(placeholder));

        const QStringList unreadable = unreadableTexts(window);
        QVERIFY2(unreadable.isEmpty(), qPrintable(unreadable.join('\n')));
    }

    void reelStatusReads_data()
    {
        QTest::addColumn<QString>("signal");
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("red");
        QTest::newRow("pending") << "" << "Pending" << false;
        QTest::newRow("progress") << "progress" << "Downloading  20.00 Mbps" << false;
        QTest::newRow("synced") << "synced" << "Completed" << false;
        QTest::newRow("checksummed") << "checksummed" << "Notifying, please wait" << false;
        QTest::newRow("checking") << "checking" << "Validating, please wait" << false;
        QTest::newRow("corrupted") << "corrupted" << "Corrupted" << true;
        QTest::newRow("queued") << "queued" << "Queued for redownload" << false;
    }

    // Every reel status reads on the page; Corrupted is light text on a red mark. The page
    // as a whole reads too.
    void reelStatusReads()
    {
        QFETCH(QString, signal);
        QFETCH(QString, text);
        QFETCH(bool, red);
        const QString title = QString("Reads %1").arg(QTest::currentDataTag());
        DCP *dcp = make(title, {reelOf(3 * kMiB, false, false)});
        Reel *reel = dcp->getReels().first();
        writeFile(reel->getAssets().first()->filePath(), 1536);
        Window window;
        QVERIFY(window.load());
        QQuickItem *page = openPage(window, title);
        QVERIFY(page);
        QQuickItem *line = viewItems(findIn(page, "reelList")).value(0);
        QVERIFY(line);
        if (signal == "progress") emit reel->downloadProgress(2500000);
        else if (signal == "synced") emit reel->downloadSynced();
        else if (signal == "checksummed") emit reel->downloadChecksummed();
        else if (signal == "checking") emit reel->downloadCheckingChecksum();
        else if (signal == "corrupted") emit reel->downloadCorrupted();
        else if (signal == "queued") emit reel->downloadQueuedForRedownload();
        window.settle();
        QQuickItem *status = findIn(line, "reelStatus");
        QCOMPARE(status->property("text").toString(), text);
        QString behindName;
        const QColor behind = colourBehind(status, &behindName);
        const double ratio = contrast(colourOf(status), behind);
        QVERIFY2(ratio >= 4.5, qPrintable(QString("%1 on %2 (%3): %4")
                                              .arg(colourOf(status).name(), behind.name(), behindName).arg(ratio)));
        QQuickItem *alert = findIn(line, "reelStatusAlert");
        QCOMPARE(shown(alert), red);
        if (red) {
            QCOMPARE(behind.name(), kRed);
            QVERIFY(sceneRect(alert).contains(sceneRect(status)));
        }
        // The reel's bar reads on both its parts.
        QQuickItem *bar = findIn(line, "reelBar");
        QVERIFY(contrast(colourOf(findIn(bar, "barText")), colourBehind(findIn(bar, "barText"))) >= 4.5);
        QVERIFY(contrast(colourOf(findIn(bar, "barTextOnFill")), colourBehind(findIn(bar, "barTextOnFill"))) >= 4.5);

        const QStringList unreadable = unreadableTexts(window);
        QVERIFY2(unreadable.isEmpty(), qPrintable(unreadable.join('\n')));
    }

    // Few cards: nothing to scroll, no scroll bar.
    void noScrollBarWhenAllFit()
    {
        make("Only One", {reelOf(kMiB, false, false)});
        make("Only Two", {reelOf(kMiB, false, false)});
        Window window;
        QVERIFY(window.load());
        QCOMPARE(window.window()->size(), QSize(1200, 750));
        QQuickItem *grid = window.item("grid");
        QCOMPARE(grid->property("count").toInt(), 2);
        QVERIFY(grid->property("contentHeight").toReal() <= grid->height());
        QVERIFY(window.item("gridScrollBar"));
        QVERIFY(!shown(window.item("gridScrollBar")));
    }

    // At the smallest size the wheel brings the last of twelve cards fully into view.
    void wheelReachesTheLastCard()
    {
        makeTwelve();
        Window window;
        QVERIFY(window.load());
        QCOMPARE(window.window()->size(), QSize(1200, 750));
        QCOMPARE(window.window()->minimumSize(), QSize(1200, 750));
        sortByName(window);
        QQuickItem *grid = window.item("grid");
        QVERIFY(grid->property("contentHeight").toReal() > grid->height());
        QVERIFY(shown(window.item("gridScrollBar")));
        QCOMPARE(grid->property("atYBeginning").toBool(), true);

        const QPointF over = sceneRect(grid).center();
        for (int i = 0; i < 40 && !grid->property("atYEnd").toBool(); ++i) {
            wheel(window.window(), over, -1);
            QTRY_VERIFY(!grid->property("moving").toBool());
        }
        QVERIFY(grid->property("atYEnd").toBool());
        checkLastCardInView(window);
        // The scroll bar's handle went down with the grid.
        QQuickItem *bar = window.item("gridScrollBar");
        QQuickItem *handle = window.item("gridScrollHandle");
        QVERIFY(bar && handle);
        QCOMPARE(handle->y() + handle->height(), bar->height());
    }

    // Dragging the scroll bar's handle to the bottom brings the last card fully into view;
    // dragging it back up shows the first row again.
    void scrollBarReachesTheLastCard()
    {
        makeTwelve();
        Window window;
        QVERIFY(window.load());
        sortByName(window);
        QQuickItem *grid = window.item("grid");
        QQuickItem *bar = window.item("gridScrollBar");
        QQuickItem *handle = window.item("gridScrollHandle");
        QVERIFY(bar && handle);
        QVERIFY(shown(bar));
        QCOMPARE(handle->y(), 0.0);
        QVERIFY(handle->height() < bar->height());
        // The bar sits beside the grid, over no card.
        QVERIFY(sceneRect(bar).left() >= sceneRect(grid).right());

        QPoint at = handle->mapToScene(QPointF(handle->width() / 2, handle->height() / 2)).toPoint();
        QTest::mousePress(window.window(), Qt::LeftButton, Qt::NoModifier, at);
        const int bottom = int(sceneRect(bar).bottom()) + 20;
        while (at.y() < bottom) {
            at.ry() += 15;
            QTest::mouseMove(window.window(), at);
        }
        QTest::mouseRelease(window.window(), Qt::LeftButton, Qt::NoModifier, at);
        window.settle();
        QVERIFY(grid->property("atYEnd").toBool());
        QCOMPARE(handle->y() + handle->height(), bar->height());
        checkLastCardInView(window);

        at = handle->mapToScene(QPointF(handle->width() / 2, handle->height() / 2)).toPoint();
        QTest::mousePress(window.window(), Qt::LeftButton, Qt::NoModifier, at);
        const int top = int(sceneRect(bar).top()) - 20;
        while (at.y() > top) {
            at.ry() -= 15;
            QTest::mouseMove(window.window(), at);
        }
        QTest::mouseRelease(window.window(), Qt::LeftButton, Qt::NoModifier, at);
        window.settle();
        QVERIFY(grid->property("atYBeginning").toBool());
        QCOMPARE(handle->y(), 0.0);
    }
};

TOLVANE_TEST_MAIN(TestWindowReadable)
#include "tst_window_readable.moc"
