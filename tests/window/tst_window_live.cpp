// The window while a package is opened through its file dialog, downloaded from the portal
// stand-in, verified and acknowledged: what the card and the reel lines read on the way.

#include "WindowFixture.h"

#include "DownloadFixture.h"

#include "catalogue/Setting.h"
#include "download/DownloadManager.h"
#include "support/ScriptedUserInteraction.h"
#include "support/TestMain.h"

#include <QFileDialog>
#include <QLineEdit>
#include <QQuickItem>
#include <QQuickWindow>
#include <QTimer>
#include <QtTest>

using namespace DownloadFixture;

namespace {
const QString kDecodingKey = QStringLiteral("tolvane-decoding-key-0123456789abcdef-session");

// The same text the window's getUnit(bytes, 2) joined by a space gives.
QString sizeText(quint64 bytes)
{
    const char *units[] = {"bytes", "kB", "MB", "GB"};
    double value = double(bytes);
    int unit = 0;
    while (unit < 3 && value >= 1024) {
        value /= 1024;
        ++unit;
    }
    return QString::number(value, 'f', 2) + " " + units[unit];
}
}

class TestWindowLive : public QObject
{
    Q_OBJECT

    PortalStandin standin;
    ScriptedUserInteraction *ui = nullptr;

private slots:
    void initTestCase()
    {
        ui = new ScriptedUserInteraction();
        QVERIFY(WindowFixture::startTestCase(standin, sourceRoot()));
        qputenv("TOLVANE_NOTIFICATION_URL", QByteArray::fromStdString(standin.baseUrl()));
        NotificationManager::instance()->setConsumerInterval(50);
        DCPManager::instance()->setDecodingKey(kDecodingKey);
    }

    void cleanup()
    {
        WindowFixture::failOnQmlWarnings();
    }

    void packageDownloadedWhileTheWindowIsUp()
    {
        const GeneratedDcp generated = generate("Live_Feature", 1, 1500000, 41);
        AssetFault slow;
        slow.throttleBytesPerSecond = 1000000; // more than a second: progress is sampled
        setFault(standin, generated, slow);
        const QString packagePath = TestSupport::dataDir() + "/live.orvdcp";
        QString error;
        QVERIFY2(writeOrder(standin, generated, 9101, "Live Feature", packagePath, kDecodingKey, &error),
                 qPrintable(error));

        // A DCP already in the catalogue, whose page is open when the package is chosen.
        WindowFixture::SampleReel done;
        done.finished = done.checksummed = true;
        WindowFixture::addDcp("Earlier Feature", {done});
        WindowFixture::Window window;
        QVERIFY(window.load());
        QTRY_COMPARE(window.gridCells().size(), 1);
        window.click(WindowFixture::findIn(window.gridCells().first(), "card"));
        QCOMPARE(window.item("body")->state(), QString("details"));
        auto liveCard = [&window]() -> QQuickItem * {
            for (QQuickItem *cell : window.gridCells()) {
                if (WindowFixture::findIn(cell, "cardTitle")->property("text").toString() == "Live Feature")
                    return cell;
            }
            return nullptr;
        };

        // What the card and the status bar read, each change once, sampled all along.
        QStringList cardTexts;
        QStringList statusTexts;
        QTimer watch;
        watch.setInterval(5);
        connect(&watch, &QTimer::timeout, this, [&] {
            if (QQuickItem *cell = liveCard()) {
                const QString text = WindowFixture::findIn(cell, "cardProgress")->property("label").toString();
                if (cardTexts.isEmpty() || cardTexts.last() != text)
                    cardTexts.append(text);
            }
            const QString status = window.text("statusLabel");
            if (statusTexts.isEmpty() || statusTexts.last() != status)
                statusTexts.append(status);
        });
        watch.start();

        // The user opens the package through LOAD FILE and its file dialog.
        ui->directoryAnswers = QStringList{downloadRoot()};
        window.click(window.item("loadFileButton"));
        QFileDialog *dialog = nullptr;
        for (QWidget *widget : QApplication::topLevelWidgets()) {
            if (auto *d = qobject_cast<QFileDialog *>(widget); d && d->isVisible())
                dialog = d;
        }
        QVERIFY(dialog);
        auto *name = dialog->findChild<QLineEdit *>("fileNameEdit");
        QVERIFY(name);
        name->setText(packagePath);
        QTest::keyClick(name, Qt::Key_Return);
        QTRY_VERIFY(DCPManager::instance()->getDCP(generated.cplUuid));
        DCP *dcp = DCPManager::instance()->getDCP(generated.cplUuid);
        QCOMPARE(ui->directoryCaptions, QStringList{"Select download location for your DCP"});
        // Choosing a package leaves the open page for the grid.
        QCOMPARE(window.item("body")->state(), QString("all"));
        QTRY_COMPARE(window.gridCells().size(), 2);

        // The page is open while the reel downloads.
        QQuickItem *cell = liveCard();
        QVERIFY(cell);
        window.click(WindowFixture::findIn(cell, "card"));
        QCOMPARE(window.item("body")->state(), QString("details"));
        QQuickItem *page = window.detailsPage(window.item("detailsList")->property("currentIndex").toInt());
        QVERIFY(page);
        QCOMPARE(WindowFixture::findIn(page, "pageFriendlyTitle")->property("text").toString(), QString("Live Feature"));
        QVERIFY(waitVerifiedAndSynced(dcp, 30000));
        QTRY_COMPARE(cardTexts.value(cardTexts.size() - 1), "Completed " + sizeText(dcp->getTotalSize()));
        watch.stop();

        const QList<QQuickItem *> lines = WindowFixture::viewItems(WindowFixture::findIn(page, "reelList"));
        QCOMPARE(lines.size(), 1);
        QCOMPARE(WindowFixture::findIn(lines.first(), "reelStatus")->property("text").toString(), QString("Completed"));
        QCOMPARE(WindowFixture::findIn(lines.first(), "reelBar")->property("label").toString(),
                 sizeText(dcp->getTotalSize()));

        // In this order: downloading, then validating or notifying, then completed.
        const int downloading = cardTexts.indexOf("Downloading reel 1");
        int checking = cardTexts.indexOf("Validating reel 1");
        if (checking < 0)
            checking = cardTexts.indexOf("Notifying reel 1");
        QVERIFY2(downloading >= 0 && checking > downloading && cardTexts.size() - 1 > checking,
                 qPrintable(cardTexts.join(" | ")));
        for (const QString &text : cardTexts)
            QVERIFY2(!text.contains("NaN") && !text.contains("Infinity"), qPrintable(text));

        // The status bar told the time left while downloading, and stands by at the end.
        bool remaining = false;
        for (const QString &text : statusTexts) {
            remaining = remaining || text.startsWith("Remaining time: ");
            QVERIFY2(!text.contains("NaN") && !text.contains("Infinity") && !text.contains(QRegularExpression("-\\d")), qPrintable(text));
        }
        QVERIFY2(remaining, qPrintable(statusTexts.join(" | ")));
        // Once Tarn has confirmed every event, it stands by.
        QTRY_COMPARE_WITH_TIMEOUT(window.text("statusLabel"), QString("Ready."), 15000);

        window.click(WindowFixture::findIn(page, "closeButton"));
        QCOMPARE(window.item("body")->state(), QString("all"));
        QQuickItem *card = liveCard();
        QVERIFY(card);
        QCOMPARE(WindowFixture::findIn(card, "cardProgress")->property("label").toString(),
                 "Completed " + sizeText(dcp->getTotalSize()));
        // The cover, or while it cannot be shown, the placeholder with the title.
        QQuickItem *cover = WindowFixture::findIn(card, "coverImage");
        QTRY_VERIFY(cover->property("status").toInt() != 2); // not loading any more
        const bool coverShown = cover->property("status").toInt() == 1;
        QCOMPARE(WindowFixture::findIn(card, "coverPlaceholder")->isVisible(), !coverShown);
    }

    // Tarn does not confirm: the reel line, the card and the status bar say so, with the
    // portal's answer, and that it keeps trying; once it confirms, the DCP is completed.
    void tarnNotConfirmingIsShown()
    {
        NotificationBehaviour refusing;
        refusing.status = 500;
        refusing.body = "Internal Server Error.";
        standin.setNotificationBehaviour(refusing);
        WindowFixture::SampleReel verified;
        verified.finished = verified.checksummed = true;
        DCP *dcp = WindowFixture::addDcp("Unconfirmed Feature", {verified});
        Reel *reel = dcp->getReels().first();
        NotificationManager::instance()->notify(reel, 8);
        WindowFixture::Window window;
        QVERIFY(window.load());
        QQuickItem *cell = nullptr;
        for (QQuickItem *candidate : window.gridCells())
            if (WindowFixture::findIn(candidate, "cardTitle")->property("text").toString() == "Unconfirmed Feature")
                cell = candidate;
        QVERIFY(cell);
        QQuickItem *bar = WindowFixture::findIn(cell, "cardProgress");
        QTRY_COMPARE_WITH_TIMEOUT(bar->property("label").toString(), QString("Tarn has not confirmed reel 1"), 10000);
        QTRY_COMPARE(window.text("statusLabel"),
                     QString("Waiting for Tarn to confirm; trying again (the portal answered 500)."));
        window.click(WindowFixture::findIn(cell, "card"));
        QQuickItem *page = window.detailsPage(window.item("detailsList")->property("currentIndex").toInt());
        QVERIFY(page);
        const QList<QQuickItem *> lines = WindowFixture::viewItems(WindowFixture::findIn(page, "reelList"));
        QCOMPARE(lines.size(), 1);
        QTRY_COMPARE(WindowFixture::findIn(lines.first(), "reelStatus")->property("text").toString(),
                     QString("Waiting for Tarn to confirm; trying again (the portal answered 500)"));

        standin.setNotificationBehaviour(NotificationBehaviour());
        QTRY_COMPARE_WITH_TIMEOUT(WindowFixture::findIn(lines.first(), "reelStatus")->property("text").toString(),
                                  QString("Completed"), 10000);
        QTRY_COMPARE_WITH_TIMEOUT(window.text("statusLabel"), QString("Ready."), 10000);
        window.click(WindowFixture::findIn(page, "closeButton"));
        QTRY_VERIFY(bar->property("label").toString().startsWith("Completed "));
        QVERIFY(DownloadManager::instance()->removeDownload(dcp));
    }
};

TOLVANE_TEST_MAIN(TestWindowLive)
#include "tst_window_live.moc"
