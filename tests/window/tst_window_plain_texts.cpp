// Texts that come from a package or the portal (a DCP's friendly title and title, the
// reason it is set aside, the engine's status naming it) are shown as written: markup in
// them is neither rendered nor followed. The real window offscreen; the markup names an
// image on the portal stand-in, which records every request.

#include "WindowFixture.h"

#include "PortalStandin.h"
#include "catalogue/DCP.h"
#include "catalogue/DCPManager.h"
#include "download/DownloadManager.h"
#include "support/ScriptedUserInteraction.h"
#include "support/TestMain.h"

#include <QApplication>
#include <QLabel>
#include <QMessageBox>
#include <QQuickItem>
#include <QtTest>

using namespace WindowFixture;

class TestWindowPlainTexts : public QObject
{
    Q_OBJECT

    ScriptedUserInteraction *ui = nullptr;
    PortalStandin standin;
    QList<DCP *> made;

    QString markup() const
    {
        return QString("<img src=\"%1/assets/seen.png?who=cinema-42\"><font color=\"lime\">Completed</font>")
            .arg(QString::fromStdString(standin.baseUrl()));
    }

    bool imageRequested() const
    {
        for (const AssetRequest &request : standin.assetRequests())
            if (request.urlPath.find("seen.png") != std::string::npos)
                return true;
        return false;
    }

    static bool plain(QQuickItem *text)
    {
        if (!text) {
            qWarning() << "a text item is missing";
            return false;
        }
        // Text.PlainText
        const bool isPlain = text->property("textFormat").toInt() == 0;
        if (!isPlain)
            qWarning() << text->objectName() << "is not plain text:" << text->property("text").toString();
        return isPlain;
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

    void markupInAPackagesTextIsShownAsWritten()
    {
        SampleReel reel;
        reel.size = 1024 * 1024;
        DCP *dcp = addDcp("Markup Feature", {reel});
        made.append(dcp);
        dcp->setFriendlyTitle(markup());
        dcp->setSetAside(markup());
        standin.clearAssetRequests();

        Window window;
        QVERIFY(window.load());
        QQuickItem *cell = cardCell(window, markup());
        QVERIFY(cell);
        QVERIFY(plain(findIn(cell, "cardTitle")));
        QVERIFY(plain(findIn(cell, "coverTitle")));
        QVERIFY(plain(findIn(cell, "barText")));
        QVERIFY(plain(findIn(cell, "barTextOnFill")));
        QVERIFY(plain(window.item("statusLabel")));
        // The whole markup is the text: nothing of it was taken as a tag.
        QCOMPARE(findIn(cell, "cardTitle")->property("text").toString(), markup());

        window.click(findIn(cell, "card"));
        QCOMPARE(window.item("body")->state(), QString("details"));
        QQuickItem *page = window.detailsPage(window.item("detailsList")->property("currentIndex").toInt());
        QVERIFY(page);
        for (const char *name : {"pageFriendlyTitle", "pageTitle", "pageSetAside", "pageCardTitle", "coverTitle"})
            QVERIFY2(plain(findIn(page, name)), name);
        QCOMPARE(findIn(page, "pageSetAside")->property("text").toString(), markup());
        for (QQuickItem *status : window.items("reelStatus"))
            QVERIFY(plain(status));

        // The box that names the DCP shows its title as written too.
        window.click(findIn(page, "deleteButton"));
        Box box;
        QVERIFY(visibleBox(window, "dcpRemovalDialog", &box));
        QMessageBox *shown = nullptr;
        for (QWidget *widget : QApplication::topLevelWidgets())
            if (auto *candidate = qobject_cast<QMessageBox *>(widget); candidate && candidate->isVisible())
                shown = candidate;
        QVERIFY(shown);
        QVERIFY(shown->text().startsWith(markup()));
        QCOMPARE(shown->textFormat(), Qt::PlainText);
        QLabel *informative = shown->findChild<QLabel *>("qt_msgbox_informativelabel");
        QVERIFY(informative);
        QCOMPARE(informative->textFormat(), Qt::PlainText);
        QVERIFY(answerBox(window, "dcpRemovalDialog", QMessageBox::Cancel));

        // Shown, laid out and painted: the image was never asked for.
        window.settle(300);
        QVERIFY(!imageRequested());
    }
};

TOLVANE_TEST_MAIN(TestWindowPlainTexts)
#include "tst_window_plain_texts.moc"
