// The start-up load reads the DCP query straight from SQLite. Whatever a row holds (the
// integers the program writes, and what an older or hand-edited database may hold: numbers
// and flags as text, floats, empty and non-ASCII text, the NULLs of a dangling link row),
// every column must read exactly as QSqlQuery reads it from the same statement.
#include "catalogue/DatabaseManager.h"
#include "catalogue/DcpQueryRows.h"
#include "support/TestMain.h"

#include <QSqlDriver>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QtTest>

class TestDcpQueryRows : public QObject
{
    Q_OBJECT

    DatabaseManager *db = nullptr;

    void exec(const QString &statement)
    {
        QSqlQuery query(db->database());
        QVERIFY2(query.exec(statement), qPrintable(query.lastError().text() + ": " + statement));
    }

    void asset(const QString &uuid, const QString &size, const QString &flag, const QString &attempts,
               const QString &type)
    {
        exec(QString("INSERT INTO asset (uuid,dcp_uuid,hash,size,type,original_filename,directory_path,download_url,"
                     "download_started,download_finished,download_checksummed,download_corrupted,download_attempts) "
                     "VALUES ('%1','d1','h',%2,%5,'f.mxf','','http://x/f',%3,%3,0,%3,%4)")
                 .arg(uuid, size, flag, attempts, type));
        exec(QString("INSERT INTO dcp_reel_asset (dcp_uuid,reel_uuid,asset_uuid) VALUES ('d1','r1','%1')").arg(uuid));
    }

private slots:
    void initTestCase()
    {
        TestSupport::captureLog();
        db = DatabaseManager::instance();
        exec("INSERT INTO dcp (uuid,title,friendly_title,image_url,download_path,user_uuid,campaign_dcp_id) VALUES "
             "('d1','Fïlm 映画','','http://x/p.jpg','/srv/dcp','u1','4294967301')");
        exec("INSERT INTO reel (uuid,dcp_uuid,reel_number) VALUES ('r1','d1','2')");
        // size, the three flags, attempts, type: as the program stores them, then as text,
        // floats, empty text and NULL-free oddities.
        asset("a-int", "5000000000", "1", "2", "'application/mxf'");
        asset("a-zero", "0", "0", "0", "''");
        asset("a-text-true", "'123'", "'true'", "'3'", "'Ünïcødé'");
        asset("a-text-false", "' 42'", "'false'", "'x'", "'t'");
        asset("a-text-zero", "'abc'", "'0'", "'-1'", "'t'");
        asset("a-empty", "''", "''", "''", "''");
        asset("a-float", "1.5", "0.5", "2.9", "3.25");
        asset("a-negative", "-7", "-1", "-3", "'t'");
        // A link row whose asset is gone: the asset columns join to NULL.
        exec("INSERT INTO dcp_reel_asset (dcp_uuid,reel_uuid,asset_uuid) VALUES ('d1','r1','gone')");
    }

    void everyColumnReadsAsQSqlQueryReadsIt()
    {
        QSqlQuery reference = db->getDCPsQuery();
        const std::unique_ptr<DcpQueryRows> rows = db->getDCPRows();
        const QSqlRecord record = reference.record();
        QCOMPARE(record.count(), 24);
        for (int i = 0; i < record.count(); ++i)
            QCOMPARE(rows->column(record.fieldName(i).toUtf8().constData()), i);
        QCOMPARE(rows->column("no_such_column"), -1);

        int count = 0;
        while (reference.next()) {
            QVERIFY(rows->next());
            ++count;
            for (int i = 0; i < record.count(); ++i) {
                const QVariant value = reference.value(i);
                const QString where = QString("row %1, %2 (%3)").arg(count).arg(record.fieldName(i), value.toString());
                QVERIFY2(rows->isNull(i) == reference.isNull(i), qPrintable(where));
                QVERIFY2(rows->text(i) == value.toString(), qPrintable(where + ": " + rows->text(i)));
                QVERIFY2(rows->text(i).isNull() == value.toString().isNull(), qPrintable(where));
                QVERIFY2(rows->toULongLong(i) == value.toULongLong(), qPrintable(where));
                QVERIFY2(rows->toUInt(i) == value.toUInt(), qPrintable(where));
                QVERIFY2(rows->toBool(i) == value.toBool(), qPrintable(where));
            }
        }
        QCOMPARE(count, 9);
        QVERIFY(!rows->next());
        QVERIFY(rows->errorText().isEmpty());
    }

    void aStatementThatCannotBePreparedSaysWhy()
    {
        QSqlDatabase database = db->database();
        sqlite3 *connection = *static_cast<sqlite3 *const *>(database.driver()->handle().constData());
        DcpQueryRows rows(connection, "SELECT uuid FROM no_such_table");
        QVERIFY(!rows.isValid());
        QVERIFY2(rows.errorText().contains("no_such_table"), qPrintable(rows.errorText()));
        QVERIFY(!rows.next());
        DcpQueryRows without(nullptr, "SELECT 1");
        QVERIFY(!without.isValid());
        QVERIFY(!without.next());
    }
};

TOLVANE_TEST_MAIN(TestDcpQueryRows)
#include "test_dcp_query_rows.moc"
