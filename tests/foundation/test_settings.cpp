#include "catalogue/DatabaseManager.h"
#include "catalogue/Setting.h"
#include "support/TestMain.h"

#include <QSignalSpy>
#include <QSqlQuery>
#include <QtTest>

// A start whose setting table already holds rows: only what is stored is loaded.
class TestSettings : public QObject
{
    Q_OBJECT

    QMap<QString, QString> tableContents()
    {
        QMap<QString, QString> rows;
        QSqlQuery query = DatabaseManager::instance()->getSettingsQuery();
        while (query.next())
            rows.insert(query.value(0).toString(), query.value(1).toString());
        return rows;
    }

private slots:
    void initTestCase()
    {
        TestSupport::captureLog();
        // Written before the store exists, as an earlier run would have left it.
        DatabaseManager::instance()->insertSetting("username", "projection@cinema");
    }

    void loadsOnlyStoredKeysWithoutDefaults()
    {
        Setting *settings = Setting::instance();
        QCOMPARE(settings->get("username"), QString("projection@cinema"));
        QCOMPARE(settings->get("download_paused"), QString());
        QCOMPARE(settings->get("download_speed"), QString());
        QCOMPARE(tableContents().size(), 1);
    }

    void unknownKeyIsEmpty()
    {
        QVERIFY(Setting::instance()->get("no_such_key").isEmpty());
    }

    void setWithoutSaveLeavesTable()
    {
        Setting *settings = Setting::instance();
        QSignalSpy changed(settings, &Setting::changed);
        settings->set("download_limit", "40");
        QCOMPARE(settings->get("download_limit"), QString("40"));
        QVERIFY(!tableContents().contains("download_limit"));
        QCOMPARE(changed.count(), 0);
    }

    void saveRewritesWholeMapAndSignals()
    {
        Setting *settings = Setting::instance();
        QSignalSpy changed(settings, &Setting::changed);
        settings->set("download_paused", "1");
        settings->set("download_paused", "0");
        settings->save();
        QCOMPARE(changed.count(), 1);
        const QMap<QString, QString> rows = tableContents();
        QCOMPARE(rows.value("download_limit"), QString("40"));
        QCOMPARE(rows.value("download_paused"), QString("0"));
        QCOMPARE(rows.value("username"), QString("projection@cinema"));
        QCOMPARE(rows.size(), 3);
    }

    void failedSaveKeepsTableAndRaisesNothing()
    {
        Setting *settings = Setting::instance();
        QSignalSpy changed(settings, &Setting::changed);
        // A row the table refuses makes the rewrite fail half way.
        settings->set("broken", QString());
        QSqlQuery trigger(DatabaseManager::instance()->database());
        QVERIFY(trigger.exec("CREATE TRIGGER refuse_broken BEFORE INSERT ON setting WHEN NEW.key = 'broken' "
                             "BEGIN SELECT RAISE(ABORT, 'refused'); END"));
        QVERIFY_EXCEPTION_THROWN(settings->write(), std::runtime_error);
        QVERIFY(trigger.exec("DROP TRIGGER refuse_broken"));
        QCOMPARE(changed.count(), 0);
        // The truncation was rolled back with the failed insert: every row is still there.
        QCOMPARE(tableContents().size(), 3);
        QVERIFY(TestSupport::readLog().contains("[DatabaseManager] Unable to run insertSetting query:  \"refused"));
        QCOMPARE(settings->get("broken"), QString(""));
    }
};

TOLVANE_TEST_MAIN(TestSettings)
#include "test_settings.moc"
