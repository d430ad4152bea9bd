#include "catalogue/DatabaseManager.h"
#include "catalogue/Setting.h"
#include "support/TestMain.h"

#include <QSqlQuery>
#include <QtTest>

// The very first start: an empty setting table gets the two defaults.
class TestSettingsFirstStart : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        TestSupport::captureLog();
    }

    void writesDefaults()
    {
        Setting *settings = Setting::instance();
        QCOMPARE(settings->get("download_paused"), QString("0"));
        QCOMPARE(settings->get("download_speed"), QString("0"));
        QSqlQuery query = DatabaseManager::instance()->getSettingsQuery();
        QMap<QString, QString> rows;
        while (query.next())
            rows.insert(query.value(0).toString(), query.value(1).toString());
        QCOMPARE(rows, (QMap<QString, QString>{{"download_paused", "0"}, {"download_speed", "0"}}));
        QVERIFY(QFile::exists(TestSupport::dataDir() + "/orvdownloader.4.sqlite"));
    }
};

TOLVANE_TEST_MAIN(TestSettingsFirstStart)
#include "test_settings_first_start.moc"
