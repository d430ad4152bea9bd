// The window's start with a large catalogue against an empty one: from loading
// qrc:///main.qml (the real resources, the real DCPManager, DownloadManager and Setting as
// dcp_mgr, download_mgr and settings_mgr; offscreen, software renderer) to the first frame
// swapped. The catalogue holds 500 DCPs of 8 reels with 3 assets each, all downloaded and
// verified (nothing to download, so no network), each with a cover image file of its own.
// Every start runs in a fresh process, the two kinds alternating; the medians are compared.
// Prints window_start_500_ms, window_start_empty_ms and window_start_500_vs_empty.
//
// Usage: bench_window                 (prints "key: value" lines)
//        BENCH_WINDOW_RUNS=N          starts per kind (default 7)
//        bench_window start DATA_DIR  (internal: one timed start, prints start_ms)
#include "app/WindowContext.h"
#include "BenchCatalogue.h"
#include "BenchSupport.h"

#include "catalogue/DCPManager.h"
#include "catalogue/DatabaseManager.h"
#include "catalogue/Setting.h"
#include "download/DownloadManager.h"
#include "download/SpeedScheduler.h"

#include <QApplication>
#include <QColor>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QGuiApplication>
#include <QImage>
#include <QQmlApplicationEngine>
#include <QQmlContext>
#include <QQuickWindow>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <vector>

namespace {

const int dcpCount = 500;

// One start in this process: the catalogue loads first (as at start-up), then the clock
// runs from loading main.qml to the first swapped frame.
int runStart(int argc, char **argv)
{
    qputenv("TOLVANE_DATA_DIR", argv[2]);
    QApplication app(argc, argv);
    qInstallMessageHandler([](QtMsgType, const QMessageLogContext &, const QString &) {});

    Setting::instance();
    DCPManager *catalogue = DCPManager::instance();
    DownloadManager::instance();

    QQmlApplicationEngine engine;
    WindowContext::expose(engine);

    double startMs = -1;
    QElapsedTimer clock;
    QObject::connect(&engine, &QQmlApplicationEngine::objectCreated, &app, [&](QObject *object, const QUrl &) {
        auto *window = qobject_cast<QQuickWindow *>(object);
        if (!window) {
            std::fprintf(stderr, "main.qml did not create a window\n");
            app.exit(1);
            return;
        }
        QObject::connect(window, &QQuickWindow::frameSwapped, &app, [&] {
            if (startMs < 0) {
                startMs = clock.nsecsElapsed() / 1e6;
                app.exit(0);
            }
        });
    });
    QTimer::singleShot(60000, &app, [&] { app.exit(2); });
    clock.start();
    engine.load(QUrl("qrc:///main.qml"));
    const int result = app.exec();
    if (result != 0 || startMs < 0)
        return result != 0 ? result : 1;
    std::printf("dcps: %d\nstart_ms: %.3f\n", int(catalogue->allDCPs().size()), startMs);
    return 0;
}

// A catalogue folder: the database, the DCP directories and a cover per DCP.
bool makeCatalogue(const QString &dir, int dcps)
{
    QDir().mkpath(dir + "/covers");
    if (dcps > 0) {
        QImage cover(400, 606, QImage::Format_RGB32);
        for (int d = 0; d < dcps; ++d) {
            cover.fill(QColor::fromHsv(d % 360, 120, 70));
            if (!cover.save(QString("%1/covers/%2.jpg").arg(dir).arg(d), "JPG"))
                return false;
        }
    }
    bench::CatalogueShape shape;
    shape.dcps = dcps;
    shape.assetsPerReel = 3;
    shape.verified = true;
    shape.imageUrl = [&](int d) { return QUrl::fromLocalFile(QString("%1/covers/%2.jpg").arg(dir).arg(d)).toString(); };
    bench::fillCatalogue(dir + "/" + DatabaseManager::fileName, dir + "/downloads", shape);
    return true;
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    const size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

}

int main(int argc, char **argv)
{
    if (argc > 2 && QByteArray(argv[1]) == "start")
        return runStart(argc, argv);

    qputenv("QT_QPA_PLATFORM", "offscreen");
    qputenv("QT_QUICK_BACKEND", "software");
    QGuiApplication app(argc, argv);
    qInstallMessageHandler([](QtMsgType, const QMessageLogContext &, const QString &) {});
    QTemporaryDir temp(QDir::tempPath() + "/bench_window-XXXXXX");
    if (!temp.isValid())
        return 1;
    const QString full = temp.path() + "/full";
    const QString empty = temp.path() + "/empty";
    if (!makeCatalogue(full, dcpCount) || !makeCatalogue(empty, 0))
        return 1;

    const int runs = std::max(1, qEnvironmentVariableIntValue("BENCH_WINDOW_RUNS") > 0
                                     ? qEnvironmentVariableIntValue("BENCH_WINDOW_RUNS")
                                     : 7);
    std::vector<double> fullMs;
    std::vector<double> emptyMs;
    for (int run = 0; run < 2 * runs; ++run) {
        const bool isFull = run % 2 == 0;
        const QString dir = isFull ? full : empty;
        bench::Child child;
        const QString out = temp.path() + "/start.out";
        if (!child.start({QCoreApplication::applicationFilePath(), "start", dir}, {}, out, temp.path() + "/start.err")
            || !child.waitFor(120)) {
            child.stop();
            std::fprintf(stderr, "a window start did not finish\n");
            return 1;
        }
        const QByteArray text = bench::readFile(out);
        const double ms = bench::valueOf(text, "start_ms");
        if (child.exitStatus() != 0 || ms < 0 || int(bench::valueOf(text, "dcps")) != (isFull ? dcpCount : 0)) {
            std::fprintf(stderr, "a window start failed: %s%s\n", text.constData(),
                         bench::readFile(temp.path() + "/start.err").constData());
            return 1;
        }
        (isFull ? fullMs : emptyMs).push_back(ms);
    }
    const double fullMedian = median(fullMs);
    const double emptyMedian = median(emptyMs);
    bench::print("window_start_500_ms", fullMedian, 1);
    bench::print("window_start_empty_ms", emptyMedian, 1);
    bench::print("window_start_500_vs_empty", fullMedian / emptyMedian, 2);
    return 0;
}
