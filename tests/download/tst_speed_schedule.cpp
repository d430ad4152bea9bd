#include "catalogue/Setting.h"
#include "download/DownloadManager.h"
#include "download/SpeedSchedule.h"
#include "download/SpeedScheduler.h"
#include "support/TestMain.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QtTest>

#include <ctime>

namespace {

void setZone(const QByteArray &zone)
{
    qputenv("TZ", zone);
    tzset();
}

QDateTime at(const QString &iso)
{
    const QDateTime moment = QDateTime::fromString(iso, Qt::ISODate);
    if (!moment.isValid())
        qFatal("not a time: %s", qPrintable(iso));
    return moment;
}

SpeedSchedule scheduleOf(const QByteArray &json)
{
    SpeedSchedule schedule;
    QString error;
    if (!SpeedSchedule::fromJson(json, &schedule, &error))
        qFatal("unreadable schedule %s: %s", json.constData(), qPrintable(error));
    return schedule;
}

int logCount(const QByteArray &line)
{
    return TestSupport::readLog().count(line);
}

void storeSchedule(const QString &value)
{
    Setting::instance()->set("speed_schedule", value);
    Setting::instance()->save();
}

const QByteArray ignoredLine = "[SpeedScheduler] Ignoring an unreadable speed schedule:";

}

// The operator's schedule of speed limits by local wall-clock time: which row is in force,
// when it may change next (rows crossing midnight and the week's end, DST days, another
// time zone), refused overlaps, stored values that cannot be read, and the scheduler
// writing the engine's limit at a boundary.
class TestSpeedSchedule : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        TestSupport::captureLog();
        Setting::instance()->set("download_limit", "50");
        Setting::instance()->save();
    }

    void init() { setZone("Europe/Paris"); }

    void cleanup()
    {
        storeSchedule(QString());
        setZone("Europe/Paris");
    }

    void boundaries_data()
    {
        QTest::addColumn<QByteArray>("zone");
        QTest::addColumn<QByteArray>("rows");
        QTest::addColumn<QString>("now");
        QTest::addColumn<int>("row");
        QTest::addColumn<QString>("next");

        // 2026-01-05 is a Monday, 2026-01-09 a Friday, 2026-01-11 a Sunday.
        const QByteArray lateFriday = R"({"version":1,"rows":[{"days":[5],"from":"22:00","to":"02:00","mbps":10}]})";
        QTest::newRow("crossing midnight, before midnight")
            << QByteArray("Europe/Paris") << lateFriday << "2026-01-09T23:00:00+01:00" << 0
            << "2026-01-10T02:00:00+01:00";
        QTest::newRow("crossing midnight, on the next day")
            << QByteArray("Europe/Paris") << lateFriday << "2026-01-10T01:30:00+01:00" << 0
            << "2026-01-10T02:00:00+01:00";
        QTest::newRow("crossing midnight, the next day's own evening is not in it")
            << QByteArray("Europe/Paris") << lateFriday << "2026-01-10T22:30:00+01:00" << -1
            << "2026-01-16T22:00:00+01:00";

        const QByteArray sundayNight = R"({"version":1,"rows":[{"days":[7],"from":"20:00","to":"06:00","mbps":null}]})";
        QTest::newRow("Sunday to Monday, before it starts")
            << QByteArray("Europe/Paris") << sundayNight << "2026-01-11T19:59:00+01:00" << -1
            << "2026-01-11T20:00:00+01:00";
        QTest::newRow("Sunday to Monday, on Monday morning")
            << QByteArray("Europe/Paris") << sundayNight << "2026-01-12T05:59:30+01:00" << 0
            << "2026-01-12T06:00:00+01:00";
        QTest::newRow("Sunday to Monday, Monday morning ended")
            << QByteArray("Europe/Paris") << sundayNight << "2026-01-12T06:00:00+01:00" << -1
            << "2026-01-18T20:00:00+01:00";

        const QByteArray openingHours
            = R"({"version":1,"rows":[{"days":[1,2,3,4,5],"from":"10:00","to":"23:00","mbps":20}]})";
        QTest::newRow("started inside a row")
            << QByteArray("Europe/Paris") << openingHours << "2026-01-07T15:00:00+01:00" << 0
            << "2026-01-07T23:00:00+01:00";
        QTest::newRow("Friday night waits for Monday")
            << QByteArray("Europe/Paris") << openingHours << "2026-01-09T23:00:00+01:00" << -1
            << "2026-01-12T10:00:00+01:00";

        const QByteArray adjacent = R"({"version":1,"rows":[{"days":[3],"from":"09:00","to":"10:00","mbps":40},)"
                                    R"({"days":[3],"from":"10:00","to":"11:00","mbps":16}]})";
        QTest::newRow("adjacent rows, the first's last moment")
            << QByteArray("Europe/Paris") << adjacent << "2026-01-07T09:59:59.999+01:00" << 0
            << "2026-01-07T10:00:00+01:00";
        QTest::newRow("adjacent rows, the second starts where the first ends")
            << QByteArray("Europe/Paris") << adjacent << "2026-01-07T10:00:00+01:00" << 1
            << "2026-01-07T11:00:00+01:00";

        const QByteArray wholeMonday = R"({"version":1,"rows":[{"days":[1],"from":"00:00","to":"00:00","mbps":5}]})";
        QTest::newRow("00:00 to 00:00 is the whole day")
            << QByteArray("Europe/Paris") << wholeMonday << "2026-01-05T12:00:00+01:00" << 0
            << "2026-01-06T00:00:00+01:00";

        // Paris: 2026-03-29 02:00 CET becomes 03:00 CEST; 2026-10-25 03:00 CEST becomes 02:00 CET.
        const QByteArray sundayDay = R"({"version":1,"rows":[{"days":[7],"from":"10:00","to":"23:00","mbps":20}]})";
        QTest::newRow("spring forward: the change of offset is looked at first")
            << QByteArray("Europe/Paris") << sundayDay << "2026-03-29T01:30:00+01:00" << -1
            << "2026-03-29T03:00:00+02:00";
        QTest::newRow("spring forward: the row starts at 10:00 summer time, seven hours after 03:00")
            << QByteArray("Europe/Paris") << sundayDay << "2026-03-29T03:00:00+02:00" << -1
            << "2026-03-29T10:00:00+02:00";
        const QByteArray inTheGap = R"({"version":1,"rows":[{"days":[7],"from":"02:30","to":"05:00","mbps":5}]})";
        QTest::newRow("spring forward: a row starting in the skipped hour begins at the change")
            << QByteArray("Europe/Paris") << inTheGap << "2026-03-29T01:59:00+01:00" << -1
            << "2026-03-29T03:00:00+02:00";
        QTest::newRow("spring forward: inside that row just after the change")
            << QByteArray("Europe/Paris") << inTheGap << "2026-03-29T03:00:00+02:00" << 0
            << "2026-03-29T05:00:00+02:00";
        const QByteArray repeated = R"({"version":1,"rows":[{"days":[7],"from":"01:00","to":"02:30","mbps":5}]})";
        QTest::newRow("fall back: the first 02:30 ends the row")
            << QByteArray("Europe/Paris") << repeated << "2026-10-25T02:15:00+02:00" << 0
            << "2026-10-25T02:30:00+02:00";
        QTest::newRow("fall back: after it, the change of offset is looked at")
            << QByteArray("Europe/Paris") << repeated << "2026-10-25T02:45:00+02:00" << -1
            << "2026-10-25T02:00:00+01:00";
        QTest::newRow("fall back: the repeated hour is wall-clock time inside the row again")
            << QByteArray("Europe/Paris") << repeated << "2026-10-25T02:10:00+01:00" << 0
            << "2026-10-25T02:30:00+01:00";
        QTest::newRow("the same schedule in another zone follows that zone's clock")
            << QByteArray("America/New_York") << openingHours << "2026-01-07T17:00:00+01:00" << 0
            << "2026-01-07T23:00:00-05:00";
    }

    void boundaries()
    {
        QFETCH(QByteArray, zone);
        QFETCH(QByteArray, rows);
        QFETCH(QString, now);
        QFETCH(int, row);
        QFETCH(QString, next);
        setZone(zone);
        const SpeedSchedule schedule = scheduleOf(rows);
        QCOMPARE(schedule.rowAt(at(now)), row);
        const QDateTime boundary = schedule.nextBoundary(at(now));
        QVERIFY(boundary.isValid());
        QCOMPARE(boundary.toUTC().toString(Qt::ISODateWithMs), at(next).toUTC().toString(Qt::ISODateWithMs));
    }

    void emptyScheduleHasNoBoundary()
    {
        QCOMPARE(SpeedSchedule().rowAt(QDateTime::currentDateTime()), -1);
        QVERIFY(!SpeedSchedule().nextBoundary(QDateTime::currentDateTime()).isValid());
    }

    void refusals_data()
    {
        QTest::addColumn<QVariantList>("rows");
        QTest::addColumn<QString>("error");
        auto row = [](QVariantList days, const QString &from, const QString &to, int mbps) {
            QVariantMap map;
            map["days"] = days;
            map["from"] = from;
            map["to"] = to;
            map["mbps"] = mbps;
            return QVariant(map);
        };
        QTest::newRow("the same evening twice")
            << QVariantList{row({1}, "18:00", "23:00", 10), row({2}, "08:00", "09:00", 10), row({1}, "22:00", "23:30", 5)}
            << QString("Rows 1 and 3 overlap on Monday 22:00\u201323:00");
        QTest::newRow("one crossing midnight into the next day's row")
            << QVariantList{row({1}, "22:00", "02:00", 10), row({2}, "01:00", "05:00", 5)}
            << QString("Rows 1 and 2 overlap on Tuesday 01:00\u201302:00");
        QTest::newRow("Sunday night into Monday morning")
            << QVariantList{row({7}, "23:00", "03:00", 10), row({1}, "00:00", "08:00", 5)}
            << QString("Rows 1 and 2 overlap on Monday 00:00\u201303:00");
        QTest::newRow("a whole day over another row")
            << QVariantList{row({1, 2, 3}, "10:00", "11:00", 10), row({3}, "00:00", "00:00", 0)}
            << QString("Rows 1 and 2 overlap on Wednesday 10:00\u201311:00");
        QTest::newRow("no day") << QVariantList{row({}, "10:00", "11:00", 10)} << QString("Row 1 has no day of the week");
        QTest::newRow("not a time") << QVariantList{row({1}, "10:00", "24:00", 10)}
                                    << QString("Row 1: \"24:00\" is not a time of day (HH:MM)");
        QTest::newRow("limit out of range")
            << QVariantList{row({1}, "10:00", "11:00", 201)} << QString("Row 1 has a limit outside 1 to 200 Mbit/s");
    }

    void refusals()
    {
        QFETCH(QVariantList, rows);
        QFETCH(QString, error);
        storeSchedule(QString());
        SpeedScheduler scheduler(DownloadManager::instance(), [] { return at("2026-01-05T12:00:00+01:00"); });
        QCOMPARE(scheduler.setRows(rows), error);
        // Nothing stored.
        QCOMPARE(Setting::instance()->get("speed_schedule"), QString());
        QVERIFY(scheduler.rows().isEmpty());
    }

    void storedAndReadBack()
    {
        storeSchedule(QString());
        QVariantMap row;
        row["days"] = QVariantList{1, 2, 3, 4, 5};
        row["from"] = "10:00";
        row["to"] = "23:00";
        row["mbps"] = 20;
        QVariantMap night;
        night["days"] = QVariantList{6};
        night["from"] = "23:00";
        night["to"] = "09:00";
        night["mbps"] = 0;
        {
            SpeedScheduler scheduler(DownloadManager::instance(), [] { return at("2026-01-07T15:00:00+01:00"); });
            QCOMPARE(scheduler.setRows({row, night}), QString());
        }
        const QJsonObject stored = QJsonDocument::fromJson(Setting::instance()->get("speed_schedule").toUtf8()).object();
        QCOMPARE(QJsonDocument(stored).toJson(QJsonDocument::Compact),
                 QByteArray(R"({"rows":[{"days":[1,2,3,4,5],"from":"10:00","mbps":20,"to":"23:00"},)"
                            R"({"days":[6],"from":"23:00","mbps":null,"to":"09:00"}],"version":1})"));
        // A new start reads it.
        SpeedScheduler again(DownloadManager::instance(), [] { return at("2026-01-10T23:30:00+01:00"); });
        QCOMPARE(again.rows(), (QVariantList{row, night}));
        QCOMPARE(again.limitMbps(), 0);
        QVERIFY(again.isScheduled());
        QCOMPARE(DownloadManager::instance()->readChunkSizeValue(), DownloadManager::unlimitedReadChunkSize);
    }

    void unreadable_data()
    {
        QTest::addColumn<QString>("stored");
        QTest::newRow("not JSON") << QString("{\"version\":1,\"rows\":[");
        QTest::newRow("not an object") << QString("[1,2,3]");
        QTest::newRow("a day 8") << QString(R"({"version":1,"rows":[{"days":[8],"from":"10:00","to":"11:00","mbps":5}]})");
        QTest::newRow("a time 25:00")
            << QString(R"({"version":1,"rows":[{"days":[1],"from":"25:00","to":"11:00","mbps":5}]})");
        QTest::newRow("a limit of 500")
            << QString(R"({"version":1,"rows":[{"days":[1],"from":"10:00","to":"11:00","mbps":500}]})");
        QTest::newRow("overlapping rows")
            << QString(R"({"version":1,"rows":[{"days":[1],"from":"10:00","to":"12:00","mbps":5},)"
                       R"({"days":[1],"from":"11:00","to":"13:00","mbps":6}]})");
    }

    void unreadable()
    {
        QFETCH(QString, stored);
        storeSchedule(stored);
        DownloadManager *engine = DownloadManager::instance();
        engine->setReadChunkSize(50 * 125000);
        const int before = logCount(ignoredLine);
        // Monday 10:30, inside every row above.
        SpeedScheduler scheduler(engine, [] { return at("2026-01-05T10:30:00+01:00"); });
        QCOMPARE(logCount(ignoredLine), before + 1);
        // The slider's limit rules.
        QCOMPARE(scheduler.limitMbps(), 50);
        QVERIFY(!scheduler.isScheduled());
        QVERIFY(scheduler.rows().isEmpty());
        QCOMPARE(engine->readChunkSizeValue(), 50u * 125000 * 20 / 1000);
        QCOMPARE(scheduler.takeResetNotice(), QString("The stored schedule could not be read and was reset."));
        QCOMPARE(scheduler.takeResetNotice(), QString());
    }

    // With no schedule nothing is written: the window's slider alone sets the limit.
    void emptyScheduleLeavesTheEngineAlone()
    {
        storeSchedule(QString());
        DownloadManager *engine = DownloadManager::instance();
        engine->setReadChunkSize(8 * 125000);
        SpeedScheduler scheduler(engine);
        QCOMPARE(engine->readChunkSizeValue(), 8u * 125000 * 20 / 1000);
        QCOMPARE(scheduler.msecsToNextCheck(), -1);
        scheduler.setOperatorLimit(40);
        QCOMPARE(engine->readChunkSizeValue(), 40u * 125000 * 20 / 1000);
        QVERIFY(!scheduler.isScheduled());
    }

    // The boundary two seconds ahead on an offset clock: the running timer switches the
    // engine from the row's 40 Mbit/s to the next row's 16.
    void switchesTheEngineAtABoundary()
    {
        storeSchedule(QString());
        const QDateTime start = QDateTime::currentDateTime();
        const QDateTime virtualStart(QDate(2026, 1, 7), QTime(9, 59, 58), Qt::LocalTime);
        const qint64 offset = start.msecsTo(virtualStart);
        DownloadManager *engine = DownloadManager::instance();
        SpeedScheduler scheduler(engine, [offset] { return QDateTime::currentDateTime().addMSecs(offset); });
        QVariantMap before;
        before["days"] = QVariantList{3};
        before["from"] = "09:00";
        before["to"] = "10:00";
        before["mbps"] = 40;
        QVariantMap after = before;
        after["from"] = "10:00";
        after["to"] = "11:00";
        after["mbps"] = 16;
        QSignalSpy changes(&scheduler, &SpeedScheduler::limitChanged);
        QCOMPARE(scheduler.setRows({before, after}), QString());
        QCOMPARE(engine->readChunkSizeValue(), 40u * 125000 * 20 / 1000);
        QCOMPARE(scheduler.limitMbps(), 40);
        QVERIFY(scheduler.isScheduled());
        QVERIFY(scheduler.msecsToNextCheck() >= 0);
        QTRY_COMPARE_WITH_TIMEOUT(engine->readChunkSizeValue(), 16u * 125000 * 20 / 1000, 15000);
        QCOMPARE(scheduler.limitMbps(), 16);
        QVERIFY(scheduler.isScheduled());
        QCOMPARE(changes.count(), 2);
    }

    // The slider moved inside a row rules until the next boundary, then the schedule again.
    void sliderOverridesUntilTheNextBoundary()
    {
        storeSchedule(QString());
        QDateTime now(QDate(2026, 1, 7), QTime(9, 30), Qt::LocalTime);
        DownloadManager *engine = DownloadManager::instance();
        SpeedScheduler scheduler(engine, [&now] { return now; });
        QVariantMap first;
        first["days"] = QVariantList{3};
        first["from"] = "09:00";
        first["to"] = "10:00";
        first["mbps"] = 40;
        QVariantMap second = first;
        second["from"] = "12:00";
        second["to"] = "13:00";
        second["mbps"] = 0;
        QCOMPARE(scheduler.setRows({first, second}), QString());
        QCOMPARE(scheduler.limitMbps(), 40);
        scheduler.setManualLimit(100);
        QCOMPARE(scheduler.limitMbps(), 100);
        QVERIFY(!scheduler.isScheduled());
        QCOMPARE(engine->readChunkSizeValue(), 100u * 125000 * 20 / 1000);
        // Past 10:00 the slider's own limit rules outside the rows anyway; at 12:00 the
        // unlimited row takes over.
        now = QDateTime(QDate(2026, 1, 7), QTime(10, 0, 1), Qt::LocalTime);
        scheduler.setClock([&now] { return now; });
        QCOMPARE(scheduler.limitMbps(), 100);
        now = QDateTime(QDate(2026, 1, 7), QTime(12, 0), Qt::LocalTime);
        scheduler.setClock([&now] { return now; });
        QCOMPARE(scheduler.limitMbps(), 0);
        QVERIFY(scheduler.isScheduled());
        QCOMPARE(engine->readChunkSizeValue(), DownloadManager::unlimitedReadChunkSize);
        // After the row, the slider's last limit.
        now = QDateTime(QDate(2026, 1, 7), QTime(13, 0), Qt::LocalTime);
        scheduler.setClock([&now] { return now; });
        QCOMPARE(scheduler.limitMbps(), 100);
        QVERIFY(!scheduler.isScheduled());
        QCOMPARE(engine->readChunkSizeValue(), 100u * 125000 * 20 / 1000);
    }

    // A change of the time zone while running is followed at the next look at the clock.
    void followsAChangeOfTimeZone()
    {
        storeSchedule(QString());
        const QDateTime fixed = at("2026-01-07T09:30:00Z"); // 10:30 in Paris, 09:30 in London
        SpeedScheduler scheduler(DownloadManager::instance(), [fixed] { return fixed; });
        scheduler.maxWaitMs = 100;
        QVariantMap row;
        row["days"] = QVariantList{3};
        row["from"] = "10:00";
        row["to"] = "11:00";
        row["mbps"] = 12;
        QCOMPARE(scheduler.setRows({row}), QString());
        QCOMPARE(scheduler.limitMbps(), 12);
        QVERIFY(scheduler.isScheduled());
        QVERIFY(scheduler.msecsToNextCheck() <= scheduler.maxWaitMs);
        setZone("Europe/London");
        QTRY_VERIFY_WITH_TIMEOUT(!scheduler.isScheduled(), 10000);
        QCOMPARE(scheduler.limitMbps(), 50);
    }
};

TOLVANE_TEST_MAIN(TestSpeedSchedule)

#include "tst_speed_schedule.moc"
