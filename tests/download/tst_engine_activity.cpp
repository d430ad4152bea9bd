// The status bar's words for the engine's state: which state wins when several hold, the
// words of each, and a retry that ends when data flows again.

#include "download/EngineActivity.h"

#include "support/TestMain.h"

#include <QDateTime>
#include <QtTest>

using Facts = EngineActivity::Facts;

Q_DECLARE_METATYPE(EngineActivity::Facts)

namespace {

Facts downloading(const QString &title)
{
    Facts facts;
    facts.hasCurrentAsset = true;
    facts.currentHasDcp = true;
    facts.currentTitle = title;
    return facts;
}

}

class TestEngineActivity : public QObject
{
    Q_OBJECT

private slots:
    void stateAndWords_data()
    {
        QTest::addColumn<Facts>("facts");
        QTest::addColumn<QString>("retryReason");
        QTest::addColumn<QString>("state");
        QTest::addColumn<QString>("text");
        const QString at = QDateTime::fromMSecsSinceEpoch(retryAt).toString("HH:mm:ss");

        QTest::newRow("nothing to do") << Facts() << QString() << "ready" << "Ready.";
        QTest::newRow("downloading") << downloading("Feature") << QString() << "downloading" << "Downloading Feature...";
        Facts paused = downloading("Feature");
        paused.paused = true;
        paused.verifying = 2;
        QTest::newRow("paused beats everything") << paused << "the server answered 503" << "paused" << "Paused.";
        QTest::newRow("waiting to retry")
            << downloading("Feature") << "the server answered 503" << "retrying"
            << QString("Waiting to retry: the server answered 503. Next try at %1.").arg(at);
        Facts running = downloading("Feature");
        running.transferRunning = true;
        QTest::newRow("a retry already on its way is a download")
            << running << "the server answered 503" << "downloading" << "Downloading Feature...";
        QTest::newRow("a reason without a current asset is not a retry")
            << Facts() << "the server answered 503" << "ready" << "Ready.";
        Facts verifying;
        verifying.verifying = 1;
        verifying.eventsWaiting = 3;
        verifying.setAside = 1;
        QTest::newRow("verifying beats waiting for Tarn") << verifying << QString() << "verifying"
                                                         << "Verifying the downloaded files...";
        Facts confirming;
        confirming.eventsWaiting = 2;
        confirming.setAside = 1;
        QTest::newRow("waiting for Tarn") << confirming << QString() << "confirming"
                                         << "Waiting for Tarn to confirm the downloaded reels...";
        confirming.portalError = "Connection refused";
        QTest::newRow("Tarn refuses") << confirming << QString() << "confirming"
                                     << "Waiting for Tarn to confirm; trying again (Connection refused).";
        Facts aside;
        aside.setAside = 1;
        QTest::newRow("one DCP aside") << aside << QString() << "set_aside" << "1 DCP needs you.";
        aside.setAside = 3;
        QTest::newRow("three DCPs aside") << aside << QString() << "set_aside" << "3 DCPs need you.";
        Facts noDcp;
        noDcp.hasCurrentAsset = true;
        QTest::newRow("an asset without its DCP") << noDcp << QString() << "ready" << "Ready.";
    }

    void stateAndWords()
    {
        QFETCH(Facts, facts);
        QFETCH(QString, retryReason);
        QFETCH(QString, state);
        QFETCH(QString, text);
        EngineActivity activity;
        if (!retryReason.isEmpty())
            activity.setRetry(retryReason, retryAt);
        const bool changed = activity.update(facts);
        QCOMPARE(activity.state(), state);
        QCOMPARE(activity.text(), text);
        QCOMPARE(changed, state != "ready");
        QVERIFY(!activity.update(facts));
    }

    // Data flows again: the retry is over and the bar says what is downloaded.
    void retryEndsWhenDataFlows()
    {
        EngineActivity activity;
        activity.setRetry("the server ended the transfer early", retryAt);
        QVERIFY(activity.update(downloading("Short")));
        QCOMPARE(activity.state(), QString("retrying"));
        QVERIFY(activity.waitsToRetry());
        activity.clearRetry();
        QVERIFY(!activity.waitsToRetry());
        QVERIFY(activity.update(downloading("Short")));
        QCOMPARE(activity.state(), QString("downloading"));
        QCOMPARE(activity.text(), QString("Downloading Short..."));
    }

private:
    static constexpr qint64 retryAt = 1765456200000; // a fixed moment; its clock time is read back
};

TOLVANE_TEST_MAIN(TestEngineActivity)
#include "tst_engine_activity.moc"
