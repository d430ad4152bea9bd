// The window's formatting library, called from JavaScript exactly as the window calls it.

#include "WindowFixture.h"

#include "support/TestMain.h"

#include <QQmlComponent>
#include <QQmlContext>
#include <QQmlEngine>
#include <QQmlExpression>
#include <QtTest>

#include <memory>

class TestWindowGlobals : public QObject
{
    Q_OBJECT

    std::unique_ptr<QQmlEngine> engine;
    std::unique_ptr<QObject> scope;

    // The JSON text of what the expression gives, or the error.
    QString evaluate(const QString &expression)
    {
        QQmlExpression e(qmlContext(scope.get()), scope.get(), "JSON.stringify(" + expression + ")");
        const QVariant value = e.evaluate();
        if (e.hasError())
            return "error: " + e.error().toString();
        return value.toString();
    }

private slots:
    void initTestCase()
    {
        TestSupport::captureLog();
        WindowFixture::QmlWarnings::install();
        engine.reset(new QQmlEngine);
        QQmlComponent component(engine.get());
        component.setData("import QtQuick 2.3\nimport \"qrc:///globals.js\" as Global\nQtObject {}\n",
                          QUrl("qrc:///globals_test.qml"));
        scope.reset(component.create());
        QVERIFY2(scope, qPrintable(component.errorString()));
    }

    void cleanup()
    {
        WindowFixture::failOnQmlWarnings();
    }

    void functions_data()
    {
        QTest::addColumn<QString>("expression");
        QTest::addColumn<QString>("json");

        // pad: width offset - 1, default offset 2, default side left.
        QTest::newRow("pad 5 to 4") << "Global.pad(5, 4)" << "\"  5\"";
        QTest::newRow("pad wider text unchanged") << "Global.pad(12345, 4)" << "\"12345\"";
        QTest::newRow("pad exact width unchanged") << "Global.pad(123, 4)" << "\"123\"";
        QTest::newRow("pad default width 1") << "Global.pad(7)" << "\"7\"";
        QTest::newRow("pad empty to default width") << "Global.pad('')" << "\" \"";
        QTest::newRow("pad right") << "Global.pad('1.00', 8, 'right')" << "\"1.00   \"";
        QTest::newRow("pad left explicit") << "Global.pad('ab', 5, 'left')" << "\"  ab\"";
        QTest::newRow("pad bad side") << "Global.pad(5, 4, 'middle')"
                                      << "\"Invalid padding side (left, right only available)\"";
        QTest::newRow("pad missing value") << "Global.pad(undefined, 3)" << "\"  \"";
        QTest::newRow("pad NaN width") << "Global.pad('x', NaN)" << "\"x\"";

        // getUnit: unit boundaries, decimals, and input that is no byte count.
        QTest::newRow("unit 0 bytes") << "Global.getUnit(0, 2)" << "[\"0.00\",\"bytes\"]";
        QTest::newRow("unit 0 bytes no decimals") << "Global.getUnit(0)" << "[0,\"bytes\"]";
        QTest::newRow("unit 1023") << "Global.getUnit(1023, 2)" << "[\"1023.00\",\"bytes\"]";
        QTest::newRow("unit 1024") << "Global.getUnit(1024, 2)" << "[\"1.00\",\"kB\"]";
        QTest::newRow("unit below 1 MB") << "Global.getUnit(1048575, 2)" << "[\"1024.00\",\"kB\"]";
        QTest::newRow("unit 1 MB") << "Global.getUnit(1048576, 2)" << "[\"1.00\",\"MB\"]";
        QTest::newRow("unit below 1 GB") << "Global.getUnit(1073741823, 3)" << "[\"1024.000\",\"MB\"]";
        QTest::newRow("unit 1 GB") << "Global.getUnit(1073741824, 2)" << "[\"1.00\",\"GB\"]";
        QTest::newRow("unit 1.5 GB") << "Global.getUnit(1.5 * 1073741824, 2).join(' ')" << "\"1.50 GB\"";
        QTest::newRow("unit 1 TB stays GB") << "Global.getUnit(1099511627776, 2)" << "[\"1024.00\",\"GB\"]";
        QTest::newRow("unit missing to_fixed") << "Global.getUnit(1536)" << "[1.5,\"kB\"]";
        QTest::newRow("unit to_fixed 0") << "Global.getUnit(1536, 0)" << "[1.5,\"kB\"]";
        QTest::newRow("unit rounds") << "Global.getUnit(1535, 1)" << "[\"1.5\",\"kB\"]";
        QTest::newRow("unit missing bytes") << "Global.getUnit(undefined, 2)" << "[\"0.00\",\"bytes\"]";
        QTest::newRow("unit NaN") << "Global.getUnit(NaN, 2)" << "[\"0.00\",\"bytes\"]";
        QTest::newRow("unit Infinity") << "Global.getUnit(Infinity, 2)" << "[\"0.00\",\"bytes\"]";
        QTest::newRow("unit negative") << "Global.getUnit(-5, 2)" << "[\"0.00\",\"bytes\"]";
        QTest::newRow("unit text number") << "Global.getUnit('2048', 2)" << "[\"2.00\",\"kB\"]";

        // getSpeedAsMbps: bytes per second.
        QTest::newRow("speed 1 Mbps") << "Global.getSpeedAsMbps(125000, 2)" << "[\"1.00\",\"Mbps\"]";
        QTest::newRow("speed 0") << "Global.getSpeedAsMbps(0, 2)" << "[\"0.00\",\"Mbps\"]";
        QTest::newRow("speed just below 1 Gbps") << "Global.getSpeedAsMbps(124999999, 2)"
                                                 << "[\"1000.00\",\"Mbps\"]";
        QTest::newRow("speed 1 Gbps") << "Global.getSpeedAsMbps(125000000, 2)" << "[\"1.00\",\"Gbps\"]";
        QTest::newRow("speed 200 Mbps") << "Global.getSpeedAsMbps(25000000, 2)" << "[\"200.00\",\"Mbps\"]";
        QTest::newRow("speed missing to_fixed") << "Global.getSpeedAsMbps(62500)" << "[0.5,\"Mbps\"]";
        QTest::newRow("speed missing") << "Global.getSpeedAsMbps()" << "[0,\"Mbps\"]";
        QTest::newRow("speed NaN") << "Global.getSpeedAsMbps(NaN, 2)" << "[\"0.00\",\"Mbps\"]";
        QTest::newRow("speed Infinity") << "Global.getSpeedAsMbps(Infinity, 2)" << "[\"0.00\",\"Mbps\"]";

        // The status bar's remaining time.
        QTest::newRow("remaining 1h 1m 1s at 1 Mbps")
            << "Global.remainingTimeText(3661 * 125000, 125000)"
            << "\"Remaining time:   1h  1m  1s (1.00   Mbps)\"";
        QTest::newRow("remaining at speed 0") << "Global.remainingTimeText(1000, 0)"
                                              << "\"Remaining time:  --h --m --s (0.00   Mbps)\"";
        QTest::newRow("remaining negative") << "Global.remainingTimeText(-10, 125000)"
                                            << "\"Remaining time:   0h  0m  0s (1.00   Mbps)\"";
        QTest::newRow("remaining 100 h") << "Global.remainingTimeText(360000 * 250000, 250000)"
                                         << "\"Remaining time: 100h  0m  0s (2.00   Mbps)\"";

        // Folder URLs for the file browser.
        QTest::newRow("folder elsewhere") << "Global.folderUrl('/mnt/usb/My DCP', false)" << "\"file:///mnt/usb/My DCP\"";
        QTest::newRow("folder windows") << "Global.folderUrl('E:/DCP/Film', true)" << "\"file:///E:/DCP/Film\"";
        QTest::newRow("folder with #") << "Global.folderUrl('/d/A#1?%', false)" << "\"file:///d/A%231%3F%25\"";
    }

    void functions()
    {
        QFETCH(QString, expression);
        QFETCH(QString, json);
        QCOMPARE(evaluate(expression), json);
    }

    void constants_data()
    {
        QTest::addColumn<QString>("expression");
        QTest::addColumn<QString>("json");
        QTest::newRow("statuses") << "Global.DCP_STATUSES"
                                  << "[\"Completed\",\"Notifying, please wait\",\"Downloading\",\"Pending\","
                                     "\"Validating, please wait\",\"Corrupted\",\"Queued for redownload\"]";
        QTest::newRow("short statuses")
            << "Global.DCP_SHORT_STATUSES"
            << "[\"Completed\",\"Notifying\",\"Downloading\",\"Pending\",\"Validating\",\"Failed\",\"Queued\"]";
        QTest::newRow("status numbers")
            << "[Global.STATUS_COMPLETE, Global.STATUS_SYNCING, Global.STATUS_DOWNLOADING, Global.STATUS_PENDING, "
               "Global.STATUS_VALIDATING, Global.STATUS_CORRUPTED, Global.STATUS_QUEUED_FOR_REDOWNLOAD]"
            << "[0,1,2,3,4,5,6]";
        QTest::newRow("units") << "[Global.KILO_BYTE, Global.MEGA_BYTE, Global.GIGA_BYTE, Global.MEGA_BIT, Global.GIGA_BIT]"
                               << "[1024,1048576,1073741824,125000,125000000]";
        QTest::newRow("colours")
            << "[Global.MAIN_BG_COLOR, Global.NAV_BAR_BG_COLOR, Global.NAV_BAR_BTN_COLOR, Global.NAV_TOP_BG_COLOR, "
               "Global.SPACER_COLOR, Global.SEARCH_SPACER_COLOR, Global.SEARCH_INPUT_BG_COLOR, "
               "Global.BTN_ACTIVE_BG_COLOR, Global.DCP_BG_COLOR, Global.DCP_TITLE_COLOR, Global.DCP_DETAILS_BG_COLOR, "
               "Global.DCP_DETAILS_BODY_COLOR, Global.DCP_DETAILS_MAIN_TITLE_COLOR, "
               "Global.DCP_DETAILS_BTN_CLOSE_BG_COLOR, Global.DCP_DETAILS_BORDER_COLOR, "
               "Global.DCP_DETAILS_REEL_NUMBER_COLOR, Global.DCP_DETAILS_REEL_SIZE_COLOR, "
               "Global.DCP_DETAILS_REEL_STATUS_COLOR, Global.RED, Global.ORANGE]"
            << "[\"#0c0c0d\",\"#1c1c1f\",\"#555555\",\"#0e1011\",\"#232324\",\"#484848\",\"#333333\",\"#545454\","
               "\"#1f1f1f\",\"#cbcbcb\",\"#040404\",\"#101011\",\"#f20014\",\"#101011\",\"#17181a\",\"#858585\","
               "\"#ffffff\",\"#ffffff\",\"#d5101d\",\"orange\"]";
        QTest::newRow("button states") << "[Global.BTN_ACTIVE_STATE, Global.BTN_DEFAULT_STATE]"
                                       << "[\"active\",\"default\"]";
    }

    void constants()
    {
        QFETCH(QString, expression);
        QFETCH(QString, json);
        QCOMPARE(evaluate(expression), json);
    }

    void cleanupTestCase()
    {
        scope.reset();
        engine.reset();
    }
};

TOLVANE_TEST_MAIN(TestWindowGlobals)
#include "tst_window_globals.moc"
