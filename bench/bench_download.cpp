// The download engine against curl, both fetching one file from a loopback nginx.
//
// Speed limit: the real DownloadManager (in a child process of its own, with a one-asset
// catalogue) and `curl --limit-rate` at 8, 40 and 200 Mbit/s. Both output files are polled
// every 50 ms; the first second after the first byte is skipped for both, then the next
// 20 one-second windows are measured from the poll timestamps. Prints achieved/limit over
// those 20 s and the lowest and highest window as a fraction of the limit:
//   limit_ratio_N, limit_window_min_N, limit_window_max_N  (and curl_ prefixed)
// CPU: CPU seconds per GB of the 200 Mbit/s runs (wait4 of each child; the engine's
// set-up before its first request is taken out), as cpu_per_gb_vs_curl = ours / curl.
// The engine makes its file durable every 64 MiB; a third 200 Mbit/s run with those points
// past the end of the file (only the durable points at the start and stop remain) gives
// the cost of the syncs: cpu_s_per_gb_200_unsynced and sync_cpu_ratio = ours / that run.
// Where libcurl's headers were there at build time, a prototype of the read path on
// libcurl (CurlReadPathPrototype, not part of the product) runs at 200 Mbit/s too:
//   libcurl_prototype_limit_ratio_200, libcurl_prototype_cpu_per_gb_vs_curl
// While verifying: the 200 Mbit/s run again, while the engine's checksum worker verifies a
// 4 GiB reel (two 2 GiB track files, sparse, so the disk is not what is measured) and
// starts over each time the reel has passed, so that it hashes for the whole run:
//   limit_ratio_200_while_verifying, limit_window_min_200_while_verifying (and _max),
//   verified_reels_200_while_verifying (how often the reel passed meanwhile)
// Memory: the engine downloads a 4 GiB asset without a limit; rss_growth_mib is its peak
// resident size at the end minus its resident size when the download started.
// Window: the engine at 200 Mbit/s with the window shown (qrc:///main.qml over the real
// managers, offscreen, software renderer) against the same engine without a window, twice
// each, alternating, 12 s of transfer a run after the first second; window_cpu_vs_headless
// is their CPU seconds per GB (the set-up before the first request, the window's first
// frame included, taken out). window_frames_per_s: frames the window drew per second of
// download.
//
// Speed schedule: the engine under a schedule of two rows, 40 Mbit/s until a boundary and
// 16 after it, on a clock offset so that the boundary comes 5 s after the engine starts.
// The rate is measured from the first second after the first byte to the boundary, and
// from half a second after it for 6 s, each over the row's limit:
//   schedule_ratio_before, schedule_ratio_after
// schedule_switch_ms: where the two measured rates' lines meet, after the boundary (the
// file is polled every 50 ms, so a few tens of ms either way are noise);
// schedule_limit_written_ms: when the scheduler wrote the new limit, after the boundary.
//
// Usage: bench_download            (runs everything, prints "key: value" lines)
//        BENCH_DOWNLOAD_ONLY=rate|verifying|memory|window|schedule, BENCH_DOWNLOAD_LIMITS=200 (Mbit/s,
//        comma-separated) and BENCH_DOWNLOAD_VERBOSE=1 (the engine's stderr) narrow a run down.
//        bench_download engine ROOT URL BYTES_PER_SECOND SIZE EXIT_WHEN_DONE DATA_DIR
//                              window|headless SYNC_BYTES VERIFY_BYTES_PER_FILE
//                              [SCHEDULE_BEFORE_MBPS SCHEDULE_AFTER_MBPS SCHEDULE_SECONDS]  (internal)
#include "app/WindowContext.h"
#include "BenchReel.h"
#include "BenchSupport.h"

#include "catalogue/DCP.h"
#include "catalogue/DCPManager.h"
#include "catalogue/Reel.h"
#include "download/Asset.h"
#include "catalogue/Setting.h"
#include "download/DownloadManager.h"
#include "download/SpeedScheduler.h"
#include "download/FileManager.h"
#include "download/Platform.h"

#ifdef TOLVANE_BENCH_CURL_PROTOTYPE
#include "CurlReadPathPrototype.h"
#endif

#include <QApplication>
#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QQmlApplicationEngine>
#include <QQmlContext>
#include <QQuickWindow>
#include <QTemporaryDir>
#include <QTimer>
#include <QVector>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <unistd.h>

namespace {

const qint64 servedSize = qint64(4) << 30; // one sparse file serves every run
const double skipSeconds = 1.0;
const int windowCount = 20;
const int windowBenchSeconds = 12;
const int windowBenchRounds = 2;
const double pollSeconds = 0.05;
const qint64 verifiedFileSize = qint64(2) << 30; // two of them make the 4 GiB reel
const int scheduleBeforeMbps = 40;
const int scheduleAfterMbps = 16;
const double scheduleSeconds = 5.0;      // from the engine's start to the boundary
const double scheduleAfterSeconds = 6.0; // measured after the boundary
const double scheduleSettle = 0.5;       // left out just after the boundary

// Two rows meeting at Wednesday 10:00, local time, and a clock on which that moment comes
// `seconds` from now. The scheduler writes the engine's limit from here on.
void scheduleAround(DownloadManager *manager, int beforeMbps, int afterMbps, double seconds)
{
    Setting::instance()->set("speed_schedule",
                             QString(R"({"version":1,"rows":[{"days":[3],"from":"09:00","to":"10:00","mbps":%1},)"
                                     R"({"days":[3],"from":"10:00","to":"11:00","mbps":%2}]})")
                                 .arg(beforeMbps)
                                 .arg(afterMbps));
    Setting::instance()->save();
    const QDateTime boundary(QDate(2026, 1, 7), QTime(10, 0), Qt::LocalTime);
    const qint64 offset = QDateTime::currentDateTime().msecsTo(boundary) - qint64(seconds * 1000);
    const double boundaryAt = bench::now() + seconds;
    auto *scheduler = new SpeedScheduler(manager, [offset] { return QDateTime::currentDateTime().addMSecs(offset); });
    std::printf("schedule_boundary_at: %.6f\n", boundaryAt);
    QObject::connect(manager, &DownloadManager::readChunkSizeChanged, scheduler, [manager] {
        std::printf("schedule_limit_at: %.6f %u\n", bench::now(), manager->readChunkSizeValue());
        std::fflush(stdout);
    });
    std::fflush(stdout);
}

// A finished, not yet verified reel of two sparse track files in a DCP of its own. Each
// time it passes, it is marked unverified and handed to the worker again.
void addReelUnderVerification(const QString &root, qint64 bytesPerFile)
{
    const QString title = "verifying";
    QDir().mkpath(root + "/" + title);
    const QStringList names {"picture.mxf", "sound.mxf"};
    for (const QString &name : names) {
        QFile file(root + "/" + title + "/" + name);
        if (!file.open(QIODevice::WriteOnly) || !file.resize(bytesPerFile))
            qFatal("cannot create %s", qPrintable(file.fileName()));
    }
    // Both files hold only zeros: one digest serves both.
    const QString hash = QString::fromLatin1(FileManager::getFileSHA1(root + "/" + title + "/" + names[0]).toBase64());

    const QList<Asset *> assets = bench::addDownloadedReel("d0000000-0000-0000-0000-0000000000", root, title, names,
                                                          {hash, hash}, quint64(bytesPerFile))
                                      .assets;
    Reel *reel = assets.first()->reels().first();

    // Queued: the worker lists the reel until its outcome has been reported.
    auto *passes = new int(0);
    QObject::connect(reel, &Reel::downloadChecksummed, reel, [assets, passes] {
        std::printf("verified_reels: %d\n", ++*passes);
        std::fflush(stdout);
        for (Asset *asset : assets)
            asset->setDownloadChecksummed(false);
        DownloadManager::instance()->rebuildQueue();
    }, Qt::QueuedConnection);
}

// ---------------------------------------------------------------------------------------
// The engine side, in its own process.

int runEngine(int argc, char **argv)
{
    // As the application does first thing.
    Platform::keepTransferBuffersMapped();
    if (argc < 8)
        return 2;
    const QString root = QString::fromLocal8Bit(argv[2]);
    const QString url = QString::fromLocal8Bit(argv[3]);
    const uint bytesPerSecond = uint(QByteArray(argv[4]).toULongLong());
    const quint64 size = QByteArray(argv[5]).toULongLong();
    const bool exitWhenDone = QByteArray(argv[6]) == "1";
    const QString dataDir = QString::fromLocal8Bit(argv[7]);
    const bool withWindow = argc > 8 && QByteArray(argv[8]) == "window";
    const quint64 syncBytes = argc > 9 ? QByteArray(argv[9]).toULongLong() : 0;
    const qint64 verifyBytesPerFile = argc > 10 ? QByteArray(argv[10]).toLongLong() : 0;
    const int scheduleBefore = argc > 13 ? QByteArray(argv[11]).toInt() : 0;
    const int scheduleAfter = argc > 13 ? QByteArray(argv[12]).toInt() : 0;
    const double scheduleIn = argc > 13 ? QByteArray(argv[13]).toDouble() : 0;
    qputenv("TOLVANE_DATA_DIR", dataDir.toUtf8());

    std::unique_ptr<QCoreApplication> application;
    if (withWindow)
        application = std::make_unique<QApplication>(argc, argv);
    else
        application = std::make_unique<QCoreApplication>(argc, argv);
    QCoreApplication &app = *application;
    qInstallMessageHandler([](QtMsgType, const QMessageLogContext &, const QString &) {});

    DCPManager *catalogue = DCPManager::instance();
    auto *dcp = new DCP("b0000000-0000-0000-0000-000000000001", "bench", QString(), root);
    dcp->setFriendlyTitle("Bench");
    auto *reel = new Reel("b0000000-0000-0000-0000-000000000002", 1);
    reel->setDCP(dcp);
    // The hash does not matter here: the process ends before verification would judge it.
    auto *asset = new Asset("b0000000-0000-0000-0000-000000000003", "2jmj7l5rSw0yVb/vlWAYkK/YBwk=", size,
                            "application/mxf", "asset.mxf", url);
    asset->setDcp(dcp);
    asset->addReel(reel);
    reel->addAsset(asset);
    dcp->addAsset(asset);
    dcp->addReel(reel);
    dcp->sync();
    catalogue->addDCP(dcp);
    if (verifyBytesPerFile > 0)
        addReelUnderVerification(root, verifyBytesPerFile);

    DownloadManager *manager = DownloadManager::instance();
    std::unique_ptr<QQmlApplicationEngine> engine;
    QQuickWindow *shownWindow = nullptr;
    if (withWindow) {
        // The window as the application shows it, up to its first frame, before anything
        // is downloaded.
        engine = std::make_unique<QQmlApplicationEngine>();
        WindowContext::expose(*engine);
        // The wait runs in a loop of its own: the application's exec() announces the end of
        // the program when it returns, and the download manager shuts down on that.
        bool shown = false;
        QEventLoop waitForFrame;
        QMetaObject::Connection firstFrame;
        QObject::connect(engine.get(), &QQmlApplicationEngine::objectCreated, &app, [&](QObject *object, const QUrl &) {
            if (auto *window = qobject_cast<QQuickWindow *>(object)) {
                shownWindow = window;
                // Only the first frame ends the wait; the connection goes with it, so that no
                // later frame reaches this block's variables once they are gone.
                firstFrame = QObject::connect(window, &QQuickWindow::frameSwapped, &app, [&] {
                    QObject::disconnect(firstFrame);
                    if (!shown)
                        waitForFrame.exit(0);
                    shown = true;
                });
            }
        });
        QTimer giveUp;
        giveUp.setSingleShot(true);
        QObject::connect(&giveUp, &QTimer::timeout, &waitForFrame, [&] { waitForFrame.exit(1); });
        giveUp.start(30000);
        engine->load(QUrl("qrc:///main.qml"));
        waitForFrame.exec();
        giveUp.stop();
        if (!shown) {
            std::fprintf(stderr, "the window did not show\n");
            return 1;
        }
    }
    // After the window: its speed slider sets the limit from the settings when it is made.
    if (bytesPerSecond > 0)
        manager->setReadChunkSize(bytesPerSecond);
    if (syncBytes > 0)
        manager->syncInterval = syncBytes;
    if (scheduleBefore > 0)
        scheduleAround(manager, scheduleBefore, scheduleAfter, scheduleIn);
    if (exitWhenDone) {
        QObject::connect(manager, &DownloadManager::downloadStandBy, &app, [&] {
            std::printf("hwm_end_kib: %lld\n", bench::selfStatusKib("VmHWM"));
            std::fflush(stdout);
            app.exit(0);
        });
    }
    std::printf("setup_cpu_s: %.6f\n", bench::selfCpuSeconds());
    std::printf("setup_minor_faults: %ld\n", bench::selfMinorFaults());
    std::printf("rss_start_kib: %lld\n", bench::selfStatusKib("VmRSS"));
    std::fflush(stdout);
    // Frames the window drew since the download started, once a second: a window that only
    // follows the progress signals draws a few a second, not continuously.
    int frames = 0;
    QTimer frameReport;
    if (shownWindow) {
        QObject::connect(shownWindow, &QQuickWindow::frameSwapped, &app, [&] { ++frames; });
        const double started = bench::now();
        QObject::connect(&frameReport, &QTimer::timeout, &app, [&] {
            std::printf("frames_at: %.3f %d\n", bench::now() - started, frames);
            std::fflush(stdout);
        });
        frameReport.start(1000);
    }
    manager->rebuildQueue();
    return app.exec();
}

#ifdef TOLVANE_BENCH_CURL_PROTOTYPE
int runCurlPrototype(int argc, char **argv)
{
    if (argc < 5)
        return 2;
    QCoreApplication app(argc, argv);
    curl_global_init(CURL_GLOBAL_DEFAULT);
    CurlReadPathPrototype prototype(QString::fromLocal8Bit(argv[2]), QString::fromLocal8Bit(argv[4]),
                                    QByteArray(argv[3]).toLongLong());
    if (!prototype.start())
        return 1;
    const int result = app.exec();
    curl_global_cleanup();
    return result;
}
#endif

// ---------------------------------------------------------------------------------------
// The driver.

struct Sample
{
    double time;
    qint64 size;
};

// How an engine run differs from a plain transfer.
struct EngineOptions {
    bool withWindow = false;
    quint64 syncBytes = 0;          // 0: the engine's own durable points
    qint64 verifyBytesPerFile = 0;  // > 0: a reel of two such files is verified meanwhile
    int windows = windowCount;
    // > 0: the speed schedule's two rows, these limits before and after its boundary
    int scheduleBeforeMbps = 0;
    int scheduleAfterMbps = 0;
    double scheduleSeconds = 0;
};

struct RateResult
{
    double framesPerSecond = -1; // the window's, when it was shown
    bool ok = false;
    double ratio = 0;
    double windowMin = 0;
    double windowMax = 0;
    int windows = 0;
    qint64 bytes = 0;
    double cpuSeconds = 0;
    long minorFaults = 0;
};

// The last line "key: value" of the text, 0 when there is none.
double lastValueOf(const QByteArray &text, const QByteArray &key)
{
    double value = 0;
    for (const QByteArray &line : text.split('\n')) {
        if (line.startsWith(key + ":"))
            value = line.mid(key.size() + 1).trimmed().toDouble();
    }
    return value;
}

// Polls `output` while the child runs; stops the child once 1 + 20 s have passed after the
// first byte. Windows are computed from the poll timestamps.
RateResult measureRate(bench::Child &child, const QString &output, double bytesPerSecond, int windows = windowCount)
{
    RateResult result;
    QVector<Sample> samples;
    const double started = bench::now();
    double firstByte = -1;
    const double wanted = skipSeconds + windows + 2 * pollSeconds;
    double next = started;
    while (child.running()) {
        const double time = bench::now();
        const qint64 size = bench::fileSize(output);
        samples.append({time, size});
        if (firstByte < 0 && size > 0)
            firstByte = time;
        if (firstByte >= 0 && time - firstByte >= wanted)
            break;
        if (time - started > wanted + 20) // nothing arrived in time: give up
            break;
        next += pollSeconds;
        const double wait = next - bench::now();
        if (wait > 0)
            usleep(useconds_t(wait * 1e6));
    }
    child.stop();
    result.cpuSeconds = child.cpuSeconds();
    result.minorFaults = child.minorFaults();
    result.bytes = bench::fileSize(output);
    if (firstByte < 0)
        return result;

    // Window k runs from the first poll at or after start + k seconds to the first poll at
    // or after start + k + 1 seconds; its rate uses those polls' own timestamps.
    const double origin = firstByte + skipSeconds;
    auto pollAtOrAfter = [&](double time) {
        int index = 0;
        while (index < samples.size() && samples[index].time < time)
            ++index;
        return index;
    };
    const int start = pollAtOrAfter(origin);
    int current = start;
    double low = 1e9;
    double high = 0;
    while (result.windows < windows) {
        const int end = pollAtOrAfter(origin + result.windows + 1);
        if (end >= samples.size() || end <= current)
            break;
        const double rate = (samples[end].size - samples[current].size) / (samples[end].time - samples[current].time);
        low = std::min(low, rate / bytesPerSecond);
        high = std::max(high, rate / bytesPerSecond);
        ++result.windows;
        current = end;
    }
    if (result.windows == 0)
        return result;
    result.ratio = (samples[current].size - samples[start].size) / (samples[current].time - samples[start].time)
        / bytesPerSecond;
    result.windowMin = low;
    result.windowMax = high;
    result.ok = result.windows == windows;
    return result;
}

class Driver
{
public:
    Driver(const QString &self, const QString &dir, const bench::Nginx &nginx)
        : m_self(self)
        , m_dir(dir)
        , m_nginx(nginx)
    {
    }

    QString engineOutput(int run) const { return QString("%1/run%2/downloads/bench/asset.mxf").arg(m_dir).arg(run); }

    bool startEngine(bench::Child &child, int run, qint64 bytesPerSecond, bool exitWhenDone,
                     const EngineOptions &options = {})
    {
        const QString runDir = QString("%1/run%2").arg(m_dir).arg(run);
        QDir().mkpath(runDir + "/data");
        QDir().mkpath(runDir + "/downloads");
        // Nothing leaves the machine: the notification service is the loopback nginx too.
        return child.start({m_self, "engine", runDir + "/downloads", m_nginx.url("asset.bin"),
                            QString::number(bytesPerSecond), QString::number(servedSize), exitWhenDone ? "1" : "0",
                            runDir + "/data", options.withWindow ? "window" : "headless",
                            QString::number(options.syncBytes), QString::number(options.verifyBytesPerFile),
                            QString::number(options.scheduleBeforeMbps), QString::number(options.scheduleAfterMbps),
                            QString::number(options.scheduleSeconds)},
                           {"TOLVANE_NOTIFICATION_URL=" + m_nginx.url(""), "TOLVANE_PORTAL_URL=" + m_nginx.url(""),
                            "QT_QPA_PLATFORM=offscreen", "QT_QUICK_BACKEND=software"},
                           runDir + "/stdout.txt", runDir + "/stderr.txt");
    }

    RateResult engineRate(int run, qint64 bytesPerSecond, const EngineOptions &options = {},
                          int *verifiedReels = nullptr)
    {
        bench::Child child;
        if (!startEngine(child, run, bytesPerSecond, false, options))
            return {};
        RateResult result = measureRate(child, engineOutput(run), double(bytesPerSecond), options.windows);
        const QByteArray out = bench::readFile(QString("%1/run%2/stdout.txt").arg(m_dir).arg(run));
        const double setup = bench::valueOf(out, "setup_cpu_s");
        if (setup < 0)
            result.ok = false;
        if (verifiedReels)
            *verifiedReels = int(lastValueOf(out, "verified_reels"));
        result.cpuSeconds -= std::max(0.0, setup);
        result.minorFaults -= std::max(0L, long(bench::valueOf(out, "setup_minor_faults")));
        const int last = out.lastIndexOf("frames_at: ");
        if (last >= 0) {
            const QList<QByteArray> fields = out.mid(last + 11).split('\n').first().split(' ');
            if (fields.size() == 2 && fields[0].toDouble() > 0)
                result.framesPerSecond = fields[1].toDouble() / fields[0].toDouble();
        }
        if (qEnvironmentVariableIsSet("BENCH_DOWNLOAD_VERBOSE"))
            std::fputs(bench::readFile(QString("%1/run%2/stderr.txt").arg(m_dir).arg(run)).constData(), stderr);
        QDir(QString("%1/run%2").arg(m_dir).arg(run)).removeRecursively();
        return result;
    }

    RateResult curlRate(int run, qint64 bytesPerSecond)
    {
        const QString runDir = QString("%1/run%2").arg(m_dir).arg(run);
        QDir().mkpath(runDir);
        const QString output = runDir + "/curl.bin";
        bench::Child child;
        if (!child.start({"curl", "-s", "--limit-rate", QString::number(bytesPerSecond), "-o", output,
                          m_nginx.url("asset.bin")},
                         {}, runDir + "/stdout.txt", runDir + "/stderr.txt"))
            return {};
        RateResult result = measureRate(child, output, double(bytesPerSecond));
        QDir(runDir).removeRecursively();
        return result;
    }

    RateResult prototypeRate(int run, qint64 bytesPerSecond)
    {
        const QString runDir = QString("%1/run%2").arg(m_dir).arg(run);
        QDir().mkpath(runDir);
        const QString output = runDir + "/prototype.bin";
        bench::Child child;
        if (!child.start({m_self, "curlprototype", m_nginx.url("asset.bin"), QString::number(bytesPerSecond), output},
                         {}, runDir + "/stdout.txt", runDir + "/stderr.txt"))
            return {};
        RateResult result = measureRate(child, output, double(bytesPerSecond));
        QDir(runDir).removeRecursively();
        return result;
    }

    // The engine's rate on each side of the speed schedule's boundary over the row in
    // force's limit, and where the two rates' lines meet, in ms after the boundary.
    bool scheduleRates(int run, double *before, double *after, double *switchMs, double *writtenMs)
    {
        EngineOptions options;
        options.scheduleBeforeMbps = scheduleBeforeMbps;
        options.scheduleAfterMbps = scheduleAfterMbps;
        options.scheduleSeconds = scheduleSeconds;
        bench::Child child;
        if (!startEngine(child, run, 0, false, options))
            return false;
        const QString output = engineOutput(run);
        const QString stdoutPath = QString("%1/run%2/stdout.txt").arg(m_dir).arg(run);
        QVector<Sample> samples;
        const double started = bench::now();
        double boundary = -1;
        double next = started;
        while (child.running()) {
            const double time = bench::now();
            samples.append({time, bench::fileSize(output)});
            if (boundary < 0) {
                const double at = bench::valueOf(bench::readFile(stdoutPath), "schedule_boundary_at");
                if (at > 0)
                    boundary = at;
            }
            if (boundary > 0 && time >= boundary + scheduleSettle + scheduleAfterSeconds + pollSeconds)
                break;
            if (time - started > scheduleSeconds + scheduleAfterSeconds + 20)
                break;
            next += pollSeconds;
            const double wait = next - bench::now();
            if (wait > 0)
                usleep(useconds_t(wait * 1e6));
        }
        child.stop();
        // When the scheduler wrote the new limit into the engine.
        const QByteArray engineOut = bench::readFile(stdoutPath);
        for (const QByteArray &line : engineOut.split('\n')) {
            const QList<QByteArray> fields = line.split(' ');
            if (boundary > 0 && fields.size() == 3 && fields[0] == "schedule_limit_at:"
                && fields[2].toUInt() == uint(scheduleAfterMbps) * 125000u * 20u / 1000u) {
                *writtenMs = (fields[1].toDouble() - boundary) * 1000.0;
                break;
            }
        }
        if (qEnvironmentVariableIsSet("BENCH_DOWNLOAD_VERBOSE")) {
            std::fputs(engineOut.constData(), stderr);
            std::fputs(bench::readFile(QString("%1/run%2/stderr.txt").arg(m_dir).arg(run)).constData(), stderr);
        }
        QDir(QString("%1/run%2").arg(m_dir).arg(run)).removeRecursively();
        double firstByte = -1;
        for (const Sample &sample : samples) {
            if (sample.size > 0) {
                firstByte = sample.time;
                break;
            }
        }
        if (boundary < 0 || firstByte < 0 || firstByte + skipSeconds >= boundary) {
            std::fprintf(stderr, "schedule run incomplete (boundary %g, first byte %g)\n", boundary, firstByte);
            return false;
        }
        auto atOrAfter = [&](double time) {
            int index = 0;
            while (index < samples.size() && samples[index].time < time)
                ++index;
            return index;
        };
        auto lastBefore = [&](double time) { return std::max(0, atOrAfter(time) - 1); };
        const int b0 = atOrAfter(firstByte + skipSeconds);
        const int b1 = lastBefore(boundary);
        const int a0 = atOrAfter(boundary + scheduleSettle);
        const int a1 = samples.size() - 1;
        if (b1 <= b0 || a1 <= a0)
            return false;
        const double rateBefore = (samples[b1].size - samples[b0].size) / (samples[b1].time - samples[b0].time);
        const double rateAfter = (samples[a1].size - samples[a0].size) / (samples[a1].time - samples[a0].time);
        *before = rateBefore / (scheduleBeforeMbps * 125000.0);
        *after = rateAfter / (scheduleAfterMbps * 125000.0);
        // size = s_b0 + rateBefore (t - t_b0) meets size = s_a1 + rateAfter (t - t_a1).
        const double meet = (samples[a1].size - samples[b0].size + rateBefore * samples[b0].time
                             - rateAfter * samples[a1].time)
            / (rateBefore - rateAfter);
        *switchMs = (meet - boundary) * 1000.0;
        return samples[a1].time >= boundary + scheduleSettle + scheduleAfterSeconds;
    }

    // Peak resident growth of the engine over a 4 GiB download without a limit.
    bool memory(int run, double *growthMib, double *mbPerSecond)
    {
        bench::Child child;
        if (!startEngine(child, run, 0, true))
            return false;
        const double started = bench::now();
        double firstByte = -1;
        const QString output = engineOutput(run);
        while (child.running() && bench::now() - started < 240) {
            if (firstByte < 0 && bench::fileSize(output) > 0)
                firstByte = bench::now();
            usleep(50000);
        }
        const double finished = bench::now();
        child.stop();
        const qint64 downloaded = bench::fileSize(output);
        const QByteArray text = bench::readFile(QString("%1/run%2/stdout.txt").arg(m_dir).arg(run));
        const double start = bench::valueOf(text, "rss_start_kib");
        const double end = bench::valueOf(text, "hwm_end_kib");
        QDir(QString("%1/run%2").arg(m_dir).arg(run)).removeRecursively();
        if (downloaded != servedSize || start < 0 || end < 0 || firstByte < 0) {
            std::fprintf(stderr, "memory run incomplete: %lld bytes, rss %g -> %g KiB\n", downloaded, start, end);
            return false;
        }
        *growthMib = (end - start) / 1024.0;
        *mbPerSecond = downloaded / (finished - firstByte) / 1e6;
        return true;
    }

private:
    QString m_self;
    QString m_dir;
    const bench::Nginx &m_nginx;
};

std::string key(const char *prefix, const char *name, int mbps)
{
    return std::string(prefix) + name + "_" + std::to_string(mbps);
}

}

int main(int argc, char **argv)
{
    if (argc > 1 && QByteArray(argv[1]) == "engine")
        return runEngine(argc, argv);
#ifdef TOLVANE_BENCH_CURL_PROTOTYPE
    if (argc > 1 && QByteArray(argv[1]) == "curlprototype")
        return runCurlPrototype(argc, argv);
#endif

    QCoreApplication app(argc, argv);
    QTemporaryDir temp(QDir::tempPath() + "/bench_download-XXXXXX");
    if (!temp.isValid())
        return 1;
    // nginx's worker may run as another user: the served folder must be readable.
    QFile::setPermissions(temp.path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ReadGroup
                                           | QFile::ExeGroup | QFile::ReadOther | QFile::ExeOther);
    const QString root = temp.path() + "/www";
    QDir().mkpath(root);
    {
        QFile served(root + "/asset.bin");
        if (!served.open(QIODevice::WriteOnly) || !served.resize(servedSize))
            return 1;
    }
    bench::Nginx nginx(temp.path() + "/nginx", root);
    if (!nginx.start()) {
        std::fprintf(stderr, "nginx did not start\n");
        return 1;
    }

    Driver driver(QCoreApplication::applicationFilePath(), temp.path(), nginx);
    const QStringList only
        = qEnvironmentVariable("BENCH_DOWNLOAD_ONLY", "rate,verifying,memory,window,schedule").split(',');
    bool ok = true;
    int run = 0;
    if (only.contains("rate")) {
        double oursCpuPerGb = -1;
        double curlCpuPerGb = -1;
        double oursFaultsPerGb = -1;
        double curlFaultsPerGb = -1;
        double unsyncedCpuPerGb = -1;
        QList<int> limits {8, 40, 200};
        if (qEnvironmentVariableIsSet("BENCH_DOWNLOAD_LIMITS")) {
            limits.clear();
            for (const QString &limit : qEnvironmentVariable("BENCH_DOWNLOAD_LIMITS").split(','))
                limits << limit.toInt();
        }
        for (int mbps : limits) {
            const qint64 bytesPerSecond = qint64(mbps) * 125000;
            const RateResult ours = driver.engineRate(++run, bytesPerSecond);
            const RateResult curl = driver.curlRate(++run, bytesPerSecond);
            if (!ours.ok || !curl.ok) {
                std::fprintf(stderr, "rate run at %d Mbit/s incomplete (ours %d windows, curl %d)\n", mbps,
                             ours.windows, curl.windows);
                ok = false;
            }
            bench::print(key("", "limit_ratio", mbps).c_str(), ours.ratio);
            bench::print(key("", "limit_window_min", mbps).c_str(), ours.windowMin);
            bench::print(key("", "limit_window_max", mbps).c_str(), ours.windowMax);
            bench::print(key("curl_", "limit_ratio", mbps).c_str(), curl.ratio);
            bench::print(key("curl_", "limit_window_min", mbps).c_str(), curl.windowMin);
            bench::print(key("curl_", "limit_window_max", mbps).c_str(), curl.windowMax);
            if (mbps == 200 && ours.bytes > 0 && curl.bytes > 0) {
                oursCpuPerGb = ours.cpuSeconds / (ours.bytes / 1e9);
                curlCpuPerGb = curl.cpuSeconds / (curl.bytes / 1e9);
                oursFaultsPerGb = double(ours.minorFaults) / (ours.bytes / 1e9);
                curlFaultsPerGb = double(curl.minorFaults) / (curl.bytes / 1e9);
                EngineOptions unsyncedRun;
                unsyncedRun.syncBytes = quint64(servedSize) * 2;
                const RateResult unsynced = driver.engineRate(++run, bytesPerSecond, unsyncedRun);
                if (!unsynced.ok) {
                    std::fprintf(stderr, "unsynced rate run incomplete (%d windows)\n", unsynced.windows);
                    ok = false;
                }
                if (unsynced.bytes > 0)
                    unsyncedCpuPerGb = unsynced.cpuSeconds / (unsynced.bytes / 1e9);
            }
#ifdef TOLVANE_BENCH_CURL_PROTOTYPE
            if (mbps == 200) {
                const RateResult prototype = driver.prototypeRate(++run, bytesPerSecond);
                bench::print("libcurl_prototype_limit_ratio_200", prototype.ratio);
                bench::print("libcurl_prototype_limit_window_min_200", prototype.windowMin);
                bench::print("libcurl_prototype_cpu_s_per_gb_200",
                             prototype.bytes > 0 ? prototype.cpuSeconds / (prototype.bytes / 1e9) : -1);
                bench::print("libcurl_prototype_cpu_per_gb_vs_curl",
                             prototype.bytes > 0 && curl.bytes > 0
                                 ? (prototype.cpuSeconds / (prototype.bytes / 1e9)) / (curl.cpuSeconds / (curl.bytes / 1e9))
                                 : -1,
                             2);
            }
#endif
        }
        bench::print("cpu_s_per_gb_200", oursCpuPerGb);
        bench::print("curl_cpu_s_per_gb_200", curlCpuPerGb);
        bench::print("cpu_per_gb_vs_curl", curlCpuPerGb > 0 ? oursCpuPerGb / curlCpuPerGb : -1, 2);
        bench::print("minor_faults_per_gb_200", oursFaultsPerGb, 0);
        bench::print("curl_minor_faults_per_gb_200", curlFaultsPerGb, 0);
        bench::print("faults_per_gb_vs_curl", curlFaultsPerGb > 0 ? oursFaultsPerGb / curlFaultsPerGb : -1, 2);
        bench::print("cpu_s_per_gb_200_unsynced", unsyncedCpuPerGb);
        bench::print("sync_cpu_ratio", unsyncedCpuPerGb > 0 ? oursCpuPerGb / unsyncedCpuPerGb : -1, 2);
    }
    if (only.contains("verifying")) {
        const int mbps = 200;
        int verifiedReels = 0;
        EngineOptions verifyingRun;
        verifyingRun.verifyBytesPerFile = verifiedFileSize;
        const RateResult ours = driver.engineRate(++run, qint64(mbps) * 125000, verifyingRun, &verifiedReels);
        if (!ours.ok) {
            std::fprintf(stderr, "run while verifying incomplete (%d windows, %d reels verified)\n", ours.windows,
                         verifiedReels);
            ok = false;
        }
        bench::print("limit_ratio_200_while_verifying", ours.ratio);
        bench::print("limit_window_min_200_while_verifying", ours.windowMin);
        bench::print("limit_window_max_200_while_verifying", ours.windowMax);
        bench::print("verified_reels_200_while_verifying", verifiedReels, 0);
    }
    if (only.contains("memory")) {
        double growth = -1;
        double speed = -1;
        ok = driver.memory(++run, &growth, &speed) && ok;
        bench::print("rss_growth_mib", growth, 1);
        bench::print("unlimited_mb_per_s", speed, 0);
    }
    if (only.contains("window")) {
        // Two runs of each, alternating, so a busy moment of the machine weighs on both.
        const qint64 bytesPerSecond = 200 * 125000;
        double cpu[2] = {0, 0};
        double bytes[2] = {0, 0};
        double frameRate = 0;
        for (int round = 0; round < 2 * windowBenchRounds; ++round) {
            const bool withWindow = round % 2 == 1;
            EngineOptions windowRun;
            windowRun.withWindow = withWindow;
            windowRun.windows = windowBenchSeconds;
            const RateResult result = driver.engineRate(++run, bytesPerSecond, windowRun);
            if (!result.ok) {
                std::fprintf(stderr, "%s run incomplete (%d windows)\n", withWindow ? "window" : "headless",
                             result.windows);
                ok = false;
            }
            cpu[withWindow] += result.cpuSeconds;
            if (withWindow)
                frameRate += result.framesPerSecond / windowBenchRounds;
            bytes[withWindow] += double(result.bytes);
        }
        const double headlessCpuPerGb = bytes[0] > 0 ? cpu[0] / (bytes[0] / 1e9) : -1;
        const double shownCpuPerGb = bytes[1] > 0 ? cpu[1] / (bytes[1] / 1e9) : -1;
        bench::print("headless_cpu_s_per_gb_200", headlessCpuPerGb);
        bench::print("window_cpu_s_per_gb_200", shownCpuPerGb);
        bench::print("window_cpu_vs_headless", headlessCpuPerGb > 0 ? shownCpuPerGb / headlessCpuPerGb : -1, 2);
        bench::print("window_frames_per_s", frameRate, 1);
    }
    if (only.contains("schedule")) {
        double before = -1;
        double after = -1;
        double switchMs = -1;
        double writtenMs = -1;
        if (!driver.scheduleRates(++run, &before, &after, &switchMs, &writtenMs)) {
            std::fprintf(stderr, "schedule run incomplete\n");
            ok = false;
        }
        bench::print("schedule_ratio_before", before);
        bench::print("schedule_ratio_after", after);
        bench::print("schedule_switch_ms", switchMs, 0);
        bench::print("schedule_limit_written_ms", writtenMs, 1);
    }
    nginx.stop();
    return ok ? 0 : 1;
}
