#include "catalogue/DCPManager.h"
#include "catalogue/DatabaseManager.h"
#include "support/TestMain.h"

#include <QtTest>

class TestCatalogueEmpty : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        TestSupport::captureLog();
    }

    void emptyDatabaseGivesEmptyList()
    {
        DCPManager *manager = DCPManager::instance();
        QVERIFY(manager->allDCPs().isEmpty());
        QVERIFY(manager->shownDCPs().isEmpty());
        QVERIFY(!manager->haveSearchFilter());
        QVERIFY(!manager->loadDCPs());
    }
};

TOLVANE_TEST_MAIN(TestCatalogueEmpty)
#include "test_catalogue_empty.moc"
