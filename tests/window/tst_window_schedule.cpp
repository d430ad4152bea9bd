// The speed schedule dialog in the real window: opened from the File menu, rows added and
// set with the mouse and the keyboard, saved into the settings, overlaps refused with the
// message shown, and the status bar's limit and mark following the row in force.

#include "WindowFixture.h"

#include "PortalStandin.h"

#include "catalogue/DatabaseManager.h"
#include "catalogue/Setting.h"
#include "download/DownloadManager.h"
#include "download/SpeedScheduler.h"
#include "support/TestMain.h"

#include <QJsonDocument>
#include <QQuickItem>
#include <QQuickWindow>
#include <QSqlQuery>
#include <QtTest>

using namespace WindowFixture;

namespace {

QString storedSetting(const QString &key)
{
    QSqlQuery query(DatabaseManager::instance()->database());
    query.prepare("SELECT value FROM setting WHERE key = ?");
    query.addBindValue(key);
    if (!query.exec() || !query.next())
        return "<absent>";
    return query.value(0).toString();
}

// The stored schedule with its keys in a fixed order.
QByteArray storedSchedule()
{
    return QJsonDocument::fromJson(storedSetting("speed_schedule").toUtf8()).toJson(QJsonDocument::Compact);
}

// Wednesday 7 January 2026 at this local time.
SpeedScheduler::Clock wednesdayAt(int hour, int minute)
{
    const QDateTime moment(QDate(2026, 1, 7), QTime(hour, minute), Qt::LocalTime);
    return [moment] { return moment; };
}

bool shown(const Window &window, const QString &name)
{
    return !window.visibleItems(name).isEmpty();
}

}

class TestWindowSchedule : public QObject
{
    Q_OBJECT

    PortalStandin standin;

    void openFromMenu(const Window &window)
    {
        QVERIFY(!shown(window, "speedScheduleDialog"));
        QVERIFY(QMetaObject::invokeMethod(window.object("menuSpeedSchedule"), "trigger"));
        window.settle();
        QVERIFY(shown(window, "speedScheduleDialog"));
    }

    QList<QQuickItem *> rows(const Window &window) { return window.visibleItems("scheduleRow"); }

    // Replaces a field's text as the user does: click into it, select all, type.
    void typeInto(const Window &window, QQuickItem *field, const QString &text)
    {
        QVERIFY(field);
        window.click(field);
        QVERIFY(field->hasActiveFocus());
        QTest::keyClick(window.window(), Qt::Key_A, Qt::ControlModifier);
        for (const QChar c : text)
            QTest::keyClick(window.window(), c.toLatin1());
        window.settle();
        QCOMPARE(field->property("text").toString(), text);
    }

    void setRow(const Window &window, QQuickItem *row, const QList<int> &days, const QString &from, const QString &to,
                const QString &mbps)
    {
        for (int day : days)
            window.click(findIn(row, QString("dayToggle%1").arg(day)));
        typeInto(window, findIn(row, "fromField"), from);
        typeInto(window, findIn(row, "toField"), to);
        if (mbps == "unlimited")
            window.click(findIn(row, "unlimitedToggle"));
        else
            typeInto(window, findIn(row, "limitField"), mbps);
    }

private slots:
    void initTestCase()
    {
        QVERIFY(startTestCase(standin, TestSupport::dataDir() + "/assets"));
        // What an older or damaged file left: read once at the first start of the schedule.
        Setting::instance()->set("speed_schedule", "{\"version\":1,\"rows\":[{\"days\":[9]}]}");
        Setting::instance()->set("download_limit", "50");
        Setting::instance()->save();
    }

    void cleanup() { failOnQmlWarnings(); }

    // The unreadable stored schedule is ignored: the slider rules, and the dialog says so
    // the first time it opens, empty, with its example.
    void unreadableStoredScheduleIsReset()
    {
        SpeedScheduler::instance()->setClock(wednesdayAt(15, 0));
        Window window;
        QVERIFY(window.load());
        QCOMPARE(window.text("speedLabel"), QString(" 50.00 Mbps"));
        QVERIFY(!shown(window, "scheduleMark"));

        openFromMenu(window);
        QVERIFY(shown(window, "scheduleResetNotice"));
        QCOMPARE(window.text("scheduleResetNotice"), QString("The stored schedule could not be read and was reset."));
        QVERIFY(window.text("scheduleHint")
                    .startsWith(QString("e.g. Mon\u2013Fri 10:00\u201323:00 at 20 Mbit/s; outside the rows the "
                                        "slider's limit applies")));
        QVERIFY(rows(window).isEmpty());
        window.click(window.item("cancelSchedule"));
        QVERIFY(!shown(window, "speedScheduleDialog"));

        openFromMenu(window);
        QVERIFY(!shown(window, "scheduleResetNotice"));
        QTest::keyClick(window.window(), Qt::Key_Escape);
        window.settle();
        QVERIFY(!shown(window, "speedScheduleDialog"));
    }

    // A row added, set and saved is stored, and on a Wednesday afternoon it is in force:
    // the slider, its label and the mark say so, and the engine runs at its limit.
    void addSetAndSave()
    {
        SpeedScheduler::instance()->setClock(wednesdayAt(15, 0));
        Window window;
        QVERIFY(window.load());
        openFromMenu(window);
        QVERIFY(rows(window).isEmpty());
        window.click(window.item("addScheduleRow"));
        QCOMPARE(rows(window).size(), 1);
        setRow(window, rows(window).first(), {1, 2, 3, 4, 5}, "10:00", "23:00", "20");
        QVERIFY(!shown(window, "scheduleMark"));
        window.click(window.item("saveSchedule"));
        QVERIFY(!shown(window, "speedScheduleDialog"));
        QCOMPARE(storedSchedule(),
                 QByteArray(R"({"rows":[{"days":[1,2,3,4,5],"from":"10:00","mbps":20,"to":"23:00"}],"version":1})"));

        QVERIFY(shown(window, "scheduleMark"));
        QCOMPARE(window.text("speedLabel"), QString(" 20.00 Mbps"));
        QCOMPARE(window.object("speedSlider")->property("value").toInt(), 20);
        QCOMPARE(DownloadManager::instance()->readChunkSizeValue(), 20u * 125000 / 50);
        // The operator's own limit is kept for the hours outside the rows.
        QCOMPARE(storedSetting("download_limit"), QString("50"));

        // Before opening hours the slider's limit rules, without the mark.
        SpeedScheduler::instance()->setClock(wednesdayAt(8, 0));
        window.settle();
        QVERIFY(!shown(window, "scheduleMark"));
        QCOMPARE(window.text("speedLabel"), QString(" 50.00 Mbps"));
        QCOMPARE(DownloadManager::instance()->readChunkSizeValue(), 50u * 125000 / 50);
    }

    // A second row overlapping the first is refused with the message; nothing is stored
    // and the dialog stays open until cancelled.
    void overlapIsRefused()
    {
        SpeedScheduler::instance()->setClock(wednesdayAt(15, 0));
        const QByteArray before = storedSchedule();
        QVERIFY(before.contains("\"from\":\"10:00\""));
        Window window;
        QVERIFY(window.load());
        openFromMenu(window);
        QCOMPARE(rows(window).size(), 1);
        QCOMPARE(findIn(rows(window).first(), "fromField")->property("text").toString(), QString("10:00"));
        window.click(window.item("addScheduleRow"));
        QCOMPARE(rows(window).size(), 2);
        setRow(window, rows(window).at(1), {1}, "22:00", "23:30", "unlimited");
        QVERIFY(!shown(window, "scheduleError"));
        window.click(window.item("saveSchedule"));
        QVERIFY(shown(window, "speedScheduleDialog"));
        QVERIFY(shown(window, "scheduleError"));
        QCOMPARE(window.text("scheduleError"), QString("Rows 1 and 2 overlap on Monday 22:00\u201323:00"));
        QCOMPARE(storedSchedule(), before);

        window.click(window.item("cancelSchedule"));
        QVERIFY(!shown(window, "speedScheduleDialog"));
        QCOMPARE(storedSchedule(), before);
    }

    // An unlimited row in force: the slider at its maximum, the label "Unlimited", the
    // engine without a limit. Removing every row gives the slider back its limit.
    void unlimitedRowAndRemoval()
    {
        SpeedScheduler::instance()->setClock(wednesdayAt(15, 0));
        Window window;
        QVERIFY(window.load());
        openFromMenu(window);
        QCOMPARE(rows(window).size(), 1);
        window.click(findIn(rows(window).first(), "unlimitedToggle"));
        window.click(window.item("saveSchedule"));
        QVERIFY(!shown(window, "speedScheduleDialog"));
        QCOMPARE(storedSchedule(),
                 QByteArray(R"({"rows":[{"days":[1,2,3,4,5],"from":"10:00","mbps":null,"to":"23:00"}],"version":1})"));
        QCOMPARE(window.text("speedLabel"), QString("Unlimited"));
        QCOMPARE(window.object("speedSlider")->property("value").toInt(), 200);
        QVERIFY(shown(window, "scheduleMark"));
        QCOMPARE(DownloadManager::instance()->readChunkSizeValue(), DownloadManager::unlimitedReadChunkSize);

        openFromMenu(window);
        window.click(findIn(rows(window).first(), "removeScheduleRow"));
        QVERIFY(rows(window).isEmpty());
        window.click(window.item("saveSchedule"));
        QCOMPARE(storedSchedule(), QByteArray(R"({"rows":[],"version":1})"));
        QVERIFY(!shown(window, "scheduleMark"));
        QCOMPARE(window.text("speedLabel"), QString(" 50.00 Mbps"));
        QCOMPARE(DownloadManager::instance()->readChunkSizeValue(), 50u * 125000 / 50);
    }
};

TOLVANE_TEST_MAIN(TestWindowSchedule)

#include "tst_window_schedule.moc"
