// soak --minutes N --seed S: the download engine under random faults for N minutes.
//
// The portal stand-in serves a growing catalogue of small DCPs whose reels share assets.
// A schedule drawn from the seed injects, while the engine (soak_probe, a real process on
// a real database) downloads: dropped connections, stalls, flipped bytes, ignored ranges,
// redirect chains, 400/403/404 answers, slow links, notification errors, refusals and
// hangs, and a destination that fills up and is freed again (a small tmpfs, when run as
// root). It removes reels and adds DCPs as a user would, and kills the engine with SIGKILL
// at random moments, then starts it again. After every kill and at the end it checks the
// files against the database and the portal's records; at the end, after one last run
// without faults, everything left must be verified (or corrupted by three faulty
// downloads), acknowledged once per event and revealed.
//
// Prints "key: value" figures (soak_faults, soak_kills, soak_lost_bytes,
// soak_refetched_bytes and a few more) and one "FAIL ..." line per broken rule; exits 1
// when any rule broke.

#include "SoakCatalogue.h"
#include "SoakDatabase.h"

#include "PortalStandin.h"
#include "download/FileManager.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QJsonDocument>
#include <QProcess>
#include <QSet>
#include <QStorageInfo>
#include <QTemporaryDir>
#include <QThread>

#include <cstdio>
#include <map>
#include <random>
#include <set>

#include <unistd.h>

namespace {

const QString kUserUuid = "7f3e2a10-5b4c-4d8e-9a61-0c2d3e4f5a6b";

struct Options {
    double minutes = 2;
    quint64 seed = 1;
    QString probe;
    QString workDir;      // kept when given; a temporary folder otherwise
    uint rate = 200000;   // the asset server's pace while faults run: slow enough that a file
                          // takes about a second, so faults and kills land mid-file (the
                          // engine's own limit cannot hold back a file smaller than its
                          // read buffer)
    int initialDcps = 20;
    bool mount = true;
};

struct Figures {
    int faults = 0;
    int kills = 0;
    int cycles = 0;
    quint64 lostBytes = 0;
    quint64 refetchedBytes = 0;
    int removedReels = 0;
    int droppedDcps = 0;
    int verifiedAssets = 0;
    int corruptedAssets = 0;
    int skippedFaults = 0;
};

// An asset fault and when it is lifted. A fault that acts when a request starts (a status,
// a redirect, an ignored range, a flipped byte) waits for a request of its file, which
// comes after a drop, a stall or a restart of the engine.
struct ActiveFault {
    AssetFault fault;
    int untilTick = 0;
    bool needsRequest = false;
    size_t setAtRequest = 0;   // index in the stand-in's asset request log
    int hitTick = -1;          // when a request of the file met it
    int lastsAfterHit = 0;
};

class Soak
{
public:
    explicit Soak(const Options &options)
        : o(options)
        , random(options.seed)
    {
    }

    int run();

private:
    // ---- set-up ----
    bool prepare();
    void mountDestination(quint64 bytes);
    void unmountDestination();

    // ---- the engine ----
    bool startEngine(bool final);
    void readEngine(int waitMs);
    void handleLine(const QString &line);
    void send(const QString &line);
    void killEngine();
    void engineEnded();

    // ---- the schedule ----
    void cycle();
    void tick(int tickNumber);
    void assetFault(double kind, double a, double b, int tickNumber);
    void notificationFault(double kind, double a, int tickNumber);
    void diskFault(double a, int tickNumber);
    void removeReel(double a, double b);
    void offerDcps(int count);
    void expireFaults(int tickNumber, bool all);
    SoakAsset *targetAsset(double a, bool *current);
    void retireFault(const std::string &path);
    AssetFault baseline() const;

    // ---- checks ----
    void inspect(bool final);
    void checkNotifications();
    void checkRefetches();
    void checkSanitizers();
    void fail(const QString &what);
    // One line of the schedule's record (faults.log in the work folder).
    void note(const QString &what);
    const SoakAsset *known(const QString &assetUuid, const QString &dcpUuid) const;
    SoakAsset *knownByPath(const std::string &path);
    const QByteArray &source(const SoakAsset &asset);

    double uniform() { return std::uniform_real_distribution<double>(0.0, 1.0)(random); }
    int between(int low, int high) { return low + int(random() % quint64(high - low + 1)); }

    Options o;
    std::mt19937_64 random;
    Figures figures;
    QTemporaryDir temporary;
    QString work, sources, destination, dataDir;
    bool mounted = false;
    PortalStandin standin;
    QVector<SoakDcp> catalogue;
    int offered = 0;

    QProcess *engine = nullptr;
    int incarnation = 0;
    QByteArray engineOutput;
    QStringList engineLog; // last lines, for messages
    bool enginePaused = false;
    bool engineIdle = false;
    int lastResumeTick = -100;
    int ticksGone = 0; // schedule ticks (100 ms of engine life) since the start
    int holdUntilTick = 0; // the engine lives at least until then
    QString stderrPath;
    QStringList stderrPaths;

    std::map<std::string, ActiveFault> assetFaults;
    int notificationFaultUntil = -1;
    int diskFullUntil = -1;
    QString fillerPath;

    QSet<QString> removalRequested; // reel uuids
    QSet<QString> removedReels;
    QSet<QString> droppedTitles;
    QSet<QString> everStoredDcps;
    QSet<QString> everStoredReels;
    // Notification request sequence numbers at which each killed engine ended.
    QList<quint64> killBoundaries;
    // Asset request index from which a file counted as verified-good on disk.
    std::map<std::string, size_t> verifiedSince;
    QSet<QString> lostReported;
    QHash<QString, QByteArray> sources_;
    QStringList failures;
    QSet<QString> reported;
    QString phase = "set-up";
    QElapsedTimer clock;
};

// ---------------------------------------------------------------------------------------

bool Soak::prepare()
{
    if (o.workDir.isEmpty()) {
        if (!temporary.isValid()) {
            fail("cannot create a temporary folder");
            return false;
        }
        work = temporary.path();
    } else {
        work = QDir(o.workDir).absolutePath();
        QDir(work).removeRecursively();
        QDir().mkpath(work);
    }
    sources = work + "/sources";
    destination = work + "/destination";
    dataDir = work + "/engine";
    QDir().mkpath(sources);
    QDir().mkpath(destination);
    QDir().mkpath(dataDir + "/tmp");
    fillerPath = destination + "/filler.bin";

    if (!standin.start()) {
        fail("the portal stand-in cannot listen on 127.0.0.1");
        return false;
    }
    standin.setAssetRoot(sources.toStdString());

    // About as many bytes as the engine moves in the time at its limit, so it rarely idles.
    const int total = o.initialDcps + int(o.minutes * 25);
    try {
        catalogue = generateSoakCatalogue(standin, total, sources, destination, work, kUserUuid, random);
    } catch (const std::exception &error) {
        fail(QString("generating the catalogue: ") + error.what());
        return false;
    }
    quint64 bytes = 0;
    int shared = 0;
    for (const SoakDcp &dcp : catalogue) {
        for (const SoakAsset &asset : dcp.assets) {
            bytes += asset.size;
            shared += asset.reelNumbers.size() > 1;
        }
    }
    std::printf("soak: seed %llu, %d DCPs (%llu bytes, %d assets shared between reels), work folder %s\n",
                static_cast<unsigned long long>(o.seed), total, static_cast<unsigned long long>(bytes), shared,
                qPrintable(work));
    for (const SoakDcp &dcp : catalogue) {
        for (const SoakAsset &asset : dcp.assets)
            standin.setAssetFault(asset.standinPath, baseline());
    }
    if (o.mount)
        mountDestination(bytes + bytes / 4 + 2 * 1024 * 1024);

    // The first DCPs are in the catalogue before the engine first starts.
    QVector<const SoakDcp *> first;
    for (int i = 0; i < o.initialDcps && i < catalogue.size(); ++i) {
        first.append(&catalogue[i]);
        catalogue[i].offered = true;
    }
    offered = first.size();
    const QString description = writeDescription(first, work + "/initial.json", standin, destination, kUserUuid);
    QProcess add;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("TOLVANE_DATA_DIR", dataDir);
    env.insert("TMPDIR", dataDir + "/tmp");
    env.insert("QT_QPA_PLATFORM", "offscreen");
    add.setProcessEnvironment(env);
    add.start(o.probe, {"add", description});
    if (!add.waitForFinished(60000) || add.exitStatus() != QProcess::NormalExit || add.exitCode() != 0) {
        fail(QString("storing the first %1 DCPs with %2 add failed: %3 %4")
                 .arg(first.size())
                 .arg(o.probe, add.errorString(), QString::fromLocal8Bit(add.readAllStandardError().right(2000))));
        return false;
    }
    return true;
}

void Soak::mountDestination(quint64 bytes)
{
    if (geteuid() != 0) {
        std::printf("soak: not root, so the destination is not a small tmpfs: the full-destination fault is skipped\n");
        return;
    }
    QProcess mount;
    mount.start("mount", {"-t", "tmpfs", "-o", QString("size=%1").arg(bytes), "soak-destination", destination});
    if (!mount.waitForFinished(20000) || mount.exitCode() != 0) {
        std::printf("soak: mounting a tmpfs on %s failed (%s): the full-destination fault is skipped\n",
                    qPrintable(destination), qPrintable(QString::fromLocal8Bit(mount.readAllStandardError()).trimmed()));
        return;
    }
    mounted = true;
    std::printf("soak: destination is a tmpfs of %llu bytes\n", static_cast<unsigned long long>(bytes));
}

void Soak::unmountDestination()
{
    if (!mounted)
        return;
    QProcess::execute("umount", {destination});
    mounted = false;
}

// ---- the engine -----------------------------------------------------------------------

bool Soak::startEngine(bool final)
{
    ++incarnation;
    engine = new QProcess();
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("TOLVANE_DATA_DIR", dataDir);
    env.insert("TMPDIR", dataDir + "/tmp");
    env.insert("TOLVANE_NOTIFICATION_URL", QString::fromStdString(standin.baseUrl()));
    env.insert("QT_QPA_PLATFORM", "offscreen");
    engine->setProcessEnvironment(env);
    stderrPath = QString("%1/engine-%2.stderr").arg(work).arg(incarnation);
    stderrPaths.append(stderrPath);
    engine->setStandardErrorFile(stderrPath);
    engineOutput.clear();
    enginePaused = false;
    engineIdle = false;
    if (final)
        engine->start(o.probe, {"final", QString::number(20000000)});
    else
        engine->start(o.probe, {"run", QString::number(o.rate), "25", QString::number(random())});
    if (!engine->waitForStarted(20000)) {
        fail(QString("the engine %1 does not start: %2").arg(o.probe, engine->errorString()));
        delete engine;
        engine = nullptr;
        return false;
    }
    return true;
}

void Soak::readEngine(int waitMs)
{
    if (!engine)
        return;
    if (engine->state() == QProcess::Running)
        engine->waitForReadyRead(waitMs);
    engineOutput += engine->readAllStandardOutput();
    int end = 0;
    while ((end = engineOutput.indexOf('\n')) >= 0) {
        const QString line = QString::fromUtf8(engineOutput.left(end));
        engineOutput.remove(0, end + 1);
        handleLine(line);
    }
}

void Soak::handleLine(const QString &line)
{
    engineLog.append(line);
    QFile record(QString("%1/engine-%2.stdout").arg(work).arg(incarnation));
    if (record.open(QIODevice::Append))
        record.write((line + "\n").toUtf8());
    while (engineLog.size() > 12)
        engineLog.removeFirst();
    if (line == "PAUSED") {
        enginePaused = true;
    } else if (line == "RUNNING") {
        enginePaused = false;
    } else if (line == "IDLE") {
        engineIdle = true;
    } else if (line.startsWith("REMOVED ")) {
        removedReels.insert(line.mid(8));
        ++figures.removedReels;
    } else if (line.startsWith("BOX yes ") && line.contains("Download links expired")) {
        // "... files for DCP <title> is missing ..." or "... links for DCP <title> expired ..."
        const int at = line.indexOf("for DCP ");
        if (at >= 0) {
            droppedTitles.insert(line.mid(at + 8).section(' ', 0, 0));
            ++figures.droppedDcps;
        }
    } else if (line.startsWith("ADDFAILED")) {
        fail("the engine could not add a DCP: " + line);
    }
}

void Soak::send(const QString &line)
{
    if (engine && engine->state() == QProcess::Running)
        engine->write((line + "\n").toUtf8());
}

void Soak::killEngine()
{
    if (!engine)
        return;
    readEngine(0);
    if (engine->state() == QProcess::Running) {
        note("kill -9");
        engine->kill(); // SIGKILL
        engine->waitForFinished(20000);
        ++figures.kills;
    } else {
        fail(QString("the engine ended on its own (exit code %1, %2); last output: %3; see %4")
                 .arg(engine->exitCode())
                 .arg(engine->exitStatus() == QProcess::CrashExit ? "crashed" : "normal exit")
                 .arg(engineLog.join(" / "), stderrPath));
    }
    engineEnded();
}

void Soak::engineEnded()
{
    readEngine(0);
    const auto requests = standin.notificationRequests();
    killBoundaries.append(requests.empty() ? 0 : requests.back().sequence);
    delete engine;
    engine = nullptr;
}

// ---- the schedule ---------------------------------------------------------------------

int Soak::run()
{
    clock.start();
    if (!prepare()) {
        unmountDestination();
        for (const QString &f : failures)
            std::printf("FAIL %s\n", qPrintable(f));
        return 1;
    }
    const qint64 deadline = qint64(o.minutes * 60000);
    while (clock.elapsed() < deadline) {
        ++figures.cycles;
        phase = QString("cycle %1").arg(figures.cycles);
        if (!startEngine(false))
            break;
        cycle();
        killEngine();
        inspect(false);
    }

    // The last run: every fault lifted, the destination freed, nothing killed.
    phase = "final run";
    // Flipped bytes still to be sent stay: they end by themselves, with the asset verified
    // or corrupted after its third download.
    std::map<std::string, AssetFault> flips;
    for (const auto &f : assetFaults) {
        const AssetFault left = standin.assetFault(f.first);
        if (left.flipRequests > 0 && left.flipOffset >= 0) {
            AssetFault flip;
            flip.flipOffset = left.flipOffset;
            flip.flipRequests = left.flipRequests;
            flips[f.first] = flip;
        }
    }
    for (auto it = assetFaults.begin(); it != assetFaults.end();) {
        if (flips.count(it->first)) {
            ++it;
        } else {
            retireFault((it++)->first);
        }
    }
    standin.clearAssetFaults();
    for (const auto &flip : flips)
        standin.setAssetFault(flip.first, flip.second);
    standin.setNotificationBehaviour(NotificationBehaviour());
    QFile::remove(fillerPath);
    if (startEngine(true)) {
        QElapsedTimer finalClock;
        finalClock.start();
        while (engine->state() == QProcess::Running && finalClock.elapsed() < 150000)
            readEngine(200);
        if (engine->state() == QProcess::Running) {
            fail(QString("the last run without faults did not finish within 150 s; last output: %1; see %2/engine/debug.log")
                     .arg(engineLog.join(" / "), work));
            engine->kill();
            engine->waitForFinished(20000);
        } else if (engine->exitStatus() != QProcess::NormalExit || engine->exitCode() != 0) {
            fail(QString("the last run ended with %1 %2; see %3")
                     .arg(engine->exitStatus() == QProcess::CrashExit ? "a crash" : "exit code")
                     .arg(engine->exitCode())
                     .arg(stderrPath));
        }
        engineEnded();
        expireFaults(0, true);
        inspect(true);
        checkNotifications();
        checkRefetches();
    }
    checkSanitizers();
    standin.stop();
    unmountDestination();

    std::printf("soak_faults: %d\n", figures.faults);
    std::printf("soak_kills: %d\n", figures.kills);
    std::printf("soak_lost_bytes: %llu\n", static_cast<unsigned long long>(figures.lostBytes));
    std::printf("soak_refetched_bytes: %llu\n", static_cast<unsigned long long>(figures.refetchedBytes));
    std::printf("soak_cycles: %d\n", figures.cycles);
    std::printf("soak_dcps: %d\n", offered);
    std::printf("soak_removed_reels: %d\n", figures.removedReels);
    std::printf("soak_dropped_dcps: %d\n", figures.droppedDcps);
    std::printf("soak_verified_assets: %d\n", figures.verifiedAssets);
    std::printf("soak_corrupted_assets: %d\n", figures.corruptedAssets);
    std::printf("soak_seconds: %lld\n", static_cast<long long>(clock.elapsed() / 1000));
    for (const QString &f : failures)
        std::printf("FAIL %s\n", qPrintable(f));
    if (!failures.isEmpty() && o.workDir.isEmpty()) {
        temporary.setAutoRemove(false);
        std::printf("soak: %d failures (seed %llu); files kept in %s\n", int(failures.size()),
                    static_cast<unsigned long long>(o.seed), qPrintable(work));
    }
    std::fflush(stdout);
    return failures.isEmpty() ? 0 : 1;
}

void Soak::cycle()
{
    // Mostly short lives, killed in the middle of something; now and then a long one, so
    // that reels get through verification and acknowledgement between kills.
    const int ticks = uniform() < 0.15 ? between(60, 120) : between(4, 45);
    // New orders arrive through the run, as many as the time gone asks for.
    const double gone = double(clock.elapsed()) / (o.minutes * 60000);
    const int due = o.initialDcps + int(gone * double(catalogue.size() - o.initialDcps));
    if (due > offered)
        offerDcps(due - offered);
    for (int t = 0; t < ticks || ticksGone < holdUntilTick; ++t) {
        readEngine(100);
        if (!engine || engine->state() != QProcess::Running)
            return;
        tick(++ticksGone);
    }
}

void Soak::tick(int t)
{
    // Every tick draws the same numbers, so the schedule follows from the seed alone.
    const double action = uniform();
    const double kind = uniform();
    const double a = uniform();
    const double b = uniform();
    expireFaults(t, false);

    if (action < 0.07)
        assetFault(kind, a, b, t);
    else if (action < 0.10)
        notificationFault(kind, a, t);
    else if (action < 0.11)
        diskFault(a, t);
    else if (action < 0.12)
        removeReel(a, b);

    if (engineIdle && offered < catalogue.size()) {
        engineIdle = false;
        offerDcps(2);
    }
    // The user presses resume once the destination has room again (a link that still
    // fails pauses the engine again with its box).
    if (enginePaused && diskFullUntil < 0 && t - lastResumeTick >= 3) {
        lastResumeTick = t;
        send("resume");
        note("resume");
    }
}

SoakAsset *Soak::targetAsset(double a, bool *current)
{
    *current = false;
    // Mostly the file being downloaded now (the last one asked for), else any file.
    const auto requests = standin.assetRequests();
    if (a < 0.75 && !requests.empty()) {
        if (SoakAsset *asset = knownByPath(requests.back().path)) {
            *current = true;
            return asset;
        }
    }
    const int dcp = int(a * 1e6) % std::max(1, offered);
    if (catalogue.isEmpty() || catalogue[dcp].assets.isEmpty())
        return nullptr;
    return &catalogue[dcp].assets[int(a * 1e9) % catalogue[dcp].assets.size()];
}

AssetFault Soak::baseline() const
{
    AssetFault fault;
    fault.throttleBytesPerSecond = o.rate;
    return fault;
}

void Soak::assetFault(double kind, double a, double b, int t)
{
    bool current = false;
    SoakAsset *asset = targetAsset(a, &current);
    if (!asset)
        return;
    retireFault(asset->standinPath);
    AssetFault fault = baseline();
    int lasts = between(5, 30);
    const qint64 size = qint64(asset->size);
    if (kind < 0.22) {
        fault.dropAfter = qint64(b * double(size) / 2);
    } else if (kind < 0.36) {
        fault.stallAfter = qint64(b * double(size));
        lasts = between(10, 35);
    } else if (kind < 0.50) {
        // A byte still to come: one already on disk is never sent again.
        const qint64 onDisk = std::min<qint64>(size - 1, QFileInfo(asset->destinationPath).size());
        fault.flipOffset = std::min<qint64>(size - 1, onDisk + qint64(b * double(size - onDisk)));
        fault.flipRequests = 1 + int(b * 1000) % 3;
        lasts = 3000; // until served, within five minutes
        asset->flipOffsets.insert(fault.flipOffset);
    } else if (kind < 0.60) {
        fault.ignoreRange = true;
    } else if (kind < 0.74) {
        // Now and then a chain longer than the engine follows.
        fault.redirectHops = b < 0.1 ? 4 : 1 + int(b * 100) % 3;
        if (fault.redirectHops > 3)
            asset->verificationBreakers += 3;
    } else if (kind < 0.90) {
        fault.throttleBytesPerSecond = 20000 + quint64(b * 200000);
    } else {
        fault.status = b < 0.4 ? 404 : b < 0.7 ? 400 : 403;
        lasts = between(3, 12);
    }
    ActiveFault active;
    active.fault = fault;
    active.needsRequest = fault.status != 0 || fault.redirectHops > 0 || fault.ignoreRange || fault.flipRequests > 0;
    active.untilTick = t + (active.needsRequest ? std::max(600, lasts) : lasts);
    active.lastsAfterHit = lasts;
    active.setAtRequest = standin.assetRequests().size();
    if (active.needsRequest && current) {
        // The running transfer of the file breaks first, so that the engine asks again
        // (at its stall timeout) and meets the fault.
        AssetFault cut = baseline();
        cut.dropAfter = 0;
        standin.setAssetFault(asset->standinPath, cut);
        QThread::msleep(120);
        holdUntilTick = t + 25; // past the engine's stall timeout
    }
    standin.setAssetFault(asset->standinPath, fault);
    assetFaults[asset->standinPath] = active;
    note(QString("asset fault %1 on %2").arg(QString::fromUtf8(QJsonDocument(fault.toJson()).toJson(QJsonDocument::Compact)),
                                            QString::fromStdString(asset->standinPath)));
    ++figures.faults;
}

void Soak::retireFault(const std::string &path)
{
    const auto it = assetFaults.find(path);
    if (it == assetFaults.end())
        return;
    const AssetFault left = standin.assetFault(path);
    if (SoakAsset *asset = knownByPath(path)) {
        if (it->second.fault.flipRequests > 0)
            asset->verificationBreakers += it->second.fault.flipRequests - std::max(0, left.flipRequests);
    }
    standin.setAssetFault(path, baseline());
    note(QString("asset fault lifted on %1%2").arg(QString::fromStdString(path), it->second.hitTick >= 0 ? " (met by a request)" : ""));
    assetFaults.erase(it);
}

void Soak::expireFaults(int t, bool all)
{
    std::vector<std::string> due;
    const auto requests = standin.assetRequests();
    for (auto &f : assetFaults) {
        ActiveFault &active = f.second;
        if (active.needsRequest && active.hitTick < 0) {
            for (size_t i = active.setAtRequest; i < requests.size(); ++i) {
                if (requests[i].path == f.first)
                    active.hitTick = t;
            }
        }
        const bool flipServed = active.fault.flipRequests > 0 && standin.assetFault(f.first).flipRequests <= 0;
        const bool hitAndDone = active.hitTick >= 0 && t >= active.hitTick + active.lastsAfterHit;
        if (all || t >= active.untilTick || flipServed || hitAndDone)
            due.push_back(f.first);
    }
    for (const std::string &path : due)
        retireFault(path);
    if (notificationFaultUntil >= 0 && (all || t >= notificationFaultUntil)) {
        standin.setNotificationBehaviour(NotificationBehaviour());
        notificationFaultUntil = -1;
        note("notification fault lifted");
    }
    if (diskFullUntil >= 0 && (all || t >= diskFullUntil)) {
        QFile::remove(fillerPath);
        diskFullUntil = -1;
        note("destination freed");
    }
}

void Soak::notificationFault(double kind, double a, int t)
{
    NotificationBehaviour b;
    if (kind < 0.25) {
        b.status = 500;
        b.body = "Internal Server Error.";
    } else if (kind < 0.45) {
        b.body = kind < 0.35 ? "OK" : "ok\n";
    } else if (kind < 0.7) {
        b.hang = true;
    } else if (kind < 0.85) {
        b.delayMs = 100 + int(a * 900);
    } else {
        b.failNext = 1 + int(a * 5);
    }
    standin.setNotificationBehaviour(b);
    note("notification fault " + QString::fromUtf8(QJsonDocument(b.toJson()).toJson(QJsonDocument::Compact)));
    notificationFaultUntil = t + 5 + int(a * 25);
    ++figures.faults;
}

void Soak::diskFault(double a, int t)
{
    if (!mounted) {
        ++figures.skippedFaults;
        return;
    }
    if (diskFullUntil >= 0)
        return;
    // Leave less room than most files need.
    const qint64 free = QStorageInfo(destination).bytesAvailable();
    const qint64 filler = free - qint64(a * 40000);
    if (filler <= 0)
        return;
    QFile file(fillerPath);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return;
    const QByteArray block(65536, 'F');
    qint64 written = 0;
    while (written < filler) {
        const qint64 n = file.write(block.constData(), std::min<qint64>(block.size(), filler - written));
        if (n <= 0)
            break;
        written += n;
    }
    file.close();
    note(QString("destination filled, %1 bytes left").arg(QStorageInfo(destination).bytesAvailable()));
    diskFullUntil = t + 5 + int(a * 20);
    ++figures.faults;
}

void Soak::removeReel(double a, double b)
{
    // At most one reel in eight goes; half of the time one that shares an asset.
    QStringList candidates;
    QStringList sharing;
    int reels = 0;
    for (int i = 0; i < offered; ++i) {
        const SoakDcp &dcp = catalogue[i];
        for (int r = 0; r < dcp.reelUuids.size(); ++r) {
            const QString &uuid = dcp.reelUuids.at(r);
            ++reels;
            if (removalRequested.contains(uuid) || droppedTitles.contains(dcp.title))
                continue;
            candidates.append(uuid);
            for (const SoakAsset &asset : dcp.assets) {
                if (asset.reelNumbers.size() > 1 && asset.reelNumbers.contains(r + 1)) {
                    sharing.append(uuid);
                    break;
                }
            }
        }
    }
    if (b < 0.5 && !sharing.isEmpty())
        candidates = sharing;
    if (candidates.isEmpty() || removalRequested.size() * 8 >= reels)
        return;
    const QString uuid = candidates.at(int(a * candidates.size()) % candidates.size());
    removalRequested.insert(uuid);
    send("remove-reel " + uuid);
    note("remove reel " + uuid);
}

void Soak::offerDcps(int count)
{
    for (int i = 0; i < count && offered < catalogue.size(); ++i) {
        catalogue[offered].offered = true;
        send("add " + catalogue[offered].descriptionPath);
        note("add " + catalogue[offered].title);
        ++offered;
    }
}

// ---- checks ---------------------------------------------------------------------------

void Soak::note(const QString &what)
{
    QFile file(work + "/faults.log");
    if (file.open(QIODevice::Append))
        file.write(QString("%1 %2 engine %3 tick %4: %5\n")
                       .arg(clock.elapsed() / 1000.0, 0, 'f', 1)
                       .arg(phase)
                       .arg(incarnation)
                       .arg(ticksGone)
                       .arg(what)
                       .toUtf8());
}

void Soak::fail(const QString &what)
{
    // A state found again at a later check is reported once, where it was first seen.
    if (reported.contains(what))
        return;
    reported.insert(what);
    const QString text = QString("[seed %1, %2, %3 s] %4")
                             .arg(o.seed)
                             .arg(phase)
                             .arg(clock.elapsed() / 1000)
                             .arg(what);
    failures.append(text);
    std::printf("FAIL %s\n", qPrintable(text));
    std::fflush(stdout);
}

const SoakAsset *Soak::known(const QString &assetUuid, const QString &dcpUuid) const
{
    for (const SoakDcp &dcp : catalogue) {
        if (dcp.uuid != dcpUuid)
            continue;
        for (const SoakAsset &asset : dcp.assets) {
            if (asset.uuid == assetUuid)
                return &asset;
        }
    }
    return nullptr;
}

SoakAsset *Soak::knownByPath(const std::string &path)
{
    for (SoakDcp &dcp : catalogue) {
        for (SoakAsset &asset : dcp.assets) {
            if (asset.standinPath == path)
                return &asset;
        }
    }
    return nullptr;
}

const QByteArray &Soak::source(const SoakAsset &asset)
{
    auto it = sources_.find(asset.sourcePath);
    if (it == sources_.end()) {
        QFile file(asset.sourcePath);
        file.open(QIODevice::ReadOnly);
        it = sources_.insert(asset.sourcePath, file.readAll());
    }
    return *it;
}

void Soak::inspect(bool final)
{
    DbSnapshot db;
    QString error;
    if (!readSnapshot(dataDir + "/orvdownloader.4.sqlite", db, &error)) {
        fail("cannot read the engine's database: " + error);
        return;
    }
    const size_t requestCount = standin.assetRequests().size();

    // DCPs and reels leave the catalogue only when the user removed them.
    for (const QString &uuid : db.dcpTitles.keys())
        everStoredDcps.insert(uuid);
    for (const QString &uuid : db.reels.keys())
        everStoredReels.insert(uuid);
    for (const SoakDcp &dcp : catalogue) {
        if (!dcp.offered || !everStoredDcps.contains(dcp.uuid) || db.dcpTitles.contains(dcp.uuid))
            continue;
        bool allRemoved = true;
        for (const QString &reel : dcp.reelUuids)
            allRemoved = allRemoved && removalRequested.contains(reel);
        if (!allRemoved && !droppedTitles.contains(dcp.title))
            fail(QString("DCP %1 (%2) left the database although no one removed it").arg(dcp.title, dcp.uuid));
    }
    for (const QString &reelUuid : everStoredReels) {
        if (db.reels.contains(reelUuid) || removalRequested.contains(reelUuid))
            continue;
        bool dcpGone = true;
        QString title;
        for (const SoakDcp &dcp : catalogue) {
            if (dcp.reelUuids.contains(reelUuid)) {
                dcpGone = !db.dcpTitles.contains(dcp.uuid);
                title = dcp.title;
            }
        }
        if (!dcpGone)
            fail(QString("reel %1 of %2 left the database although no one removed it").arg(reelUuid, title));
    }

    // A remaining reel keeps every asset of its composition, also one it shares with a
    // reel that was removed.
    for (const DbReel &reel : db.reels) {
        for (const SoakDcp &dcp : catalogue) {
            const int number = dcp.reelUuids.indexOf(reel.uuid) + 1;
            if (number == 0)
                continue;
            for (const SoakAsset &asset : dcp.assets) {
                if (!asset.reelNumbers.contains(number)
                    || (reel.assetUuids.contains(asset.uuid) && db.assets.contains(qMakePair(asset.uuid, dcp.uuid))))
                    continue;
                QStringList sharers;
                for (int other : asset.reelNumbers) {
                    if (other != number)
                        sharers.append(QString("reel #%1 %2%3").arg(other).arg(dcp.reelUuids.value(other - 1),
                                                                        removalRequested.contains(dcp.reelUuids.value(other - 1)) ? " (removed)" : ""));
                }
                fail(QString("reel #%1 %2 of %3 lost its asset %4 (%5%6)%7: the reel can never be complete on disk")
                         .arg(number)
                         .arg(reel.uuid, dcp.title, asset.uuid, asset.fileName,
                              reel.assetUuids.contains(asset.uuid) ? ": the reel's link row is left, the asset row is gone"
                                                                   : ": no link row",
                              sharers.isEmpty() ? QString() : ", shared with " + sharers.join(", ")));
            }
        }
    }

    for (const DbAsset &row : db.assets) {
        const SoakAsset *asset = known(row.uuid, row.dcpUuid);
        const QString where = QString("asset %1 of %2 (%3)").arg(row.uuid, db.dcpTitles.value(row.dcpUuid), row.path);
        if (!asset) {
            fail("the database lists an asset the catalogue never had: " + where);
            continue;
        }
        const QFileInfo info(row.path);
        const bool exists = info.isFile();
        const qint64 onDisk = exists ? info.size() : -1;

        if (row.corrupted && (row.attempts != 2 || !row.finished))
            fail(QString("%1 is marked corrupted after %2 failed verifications (finished %3); corrupted comes only "
                         "after the third download")
                     .arg(where)
                     .arg(row.attempts)
                     .arg(row.finished));
        if (row.corrupted && asset->verificationBreakers < 3)
            fail(QString("%1 is marked corrupted, but only %2 of the responses sent for it could have altered it "
                         "(flipped bytes served, redirect chains over the limit): bytes were lost or mixed up on "
                         "the way to the file (size on disk %3 of %4)")
                     .arg(where)
                     .arg(asset->verificationBreakers)
                     .arg(onDisk)
                     .arg(row.size));

        if (row.checksummed) {
            const bool good = exists && quint64(onDisk) == row.size && FileManager::getFileSHA1(row.path) == QByteArray::fromBase64(asset->hash.toUtf8());
            if (!good && !lostReported.contains(row.path)) {
                lostReported.insert(row.path);
                figures.lostBytes += row.size;
                fail(QString("%1 is marked verified but its file is %2 (size on disk %3 of %4)")
                         .arg(where, exists ? "not the packing list's content" : "missing")
                         .arg(onDisk)
                         .arg(row.size));
            }
            if (good && verifiedSince.find(asset->standinPath) == verifiedSince.end())
                verifiedSince[asset->standinPath] = requestCount;
        } else if (exists && onDisk > 0) {
            const QByteArray disk = FileManager::fileSize(row.path) > 0 ? [&] {
                QFile f(row.path);
                f.open(QIODevice::ReadOnly);
                return f.readAll();
            }() : QByteArray();
            const QByteArray &expected = source(*asset);
            qint64 wrongAt = -1;
            if (disk.size() > expected.size())
                wrongAt = expected.size();
            for (qint64 i = 0; wrongAt < 0 && i < disk.size(); ++i) {
                if (disk[int(i)] == expected[int(i)])
                    continue;
                const bool injected = asset->flipOffsets.count(i) && char(expected[int(i)] ^ char(0xFF)) == disk[int(i)];
                if (!injected)
                    wrongAt = i;
            }
            if (wrongAt >= 0) {
                const QString key = row.path + "@" + QString::number(wrongAt);
                if (!lostReported.contains(key)) {
                    lostReported.insert(key);
                    figures.lostBytes += quint64(disk.size() - wrongAt);
                    fail(QString("%1: the file on disk differs from the asset at byte %2 (size on disk %3 of %4; "
                                 "finished %5, attempts %6) without a fault that explains it")
                             .arg(where)
                             .arg(wrongAt)
                             .arg(onDisk)
                             .arg(row.size)
                             .arg(row.finished)
                             .arg(row.attempts));
                }
            }
        }

        if (final) {
            if (!row.checksummed && !row.corrupted)
                fail(QString("%1 is neither verified nor corrupted after the last run (finished %2, attempts %3, "
                             "size on disk %4 of %5)")
                         .arg(where)
                         .arg(row.finished)
                         .arg(row.attempts)
                         .arg(onDisk)
                         .arg(row.size));
            if (row.checksummed)
                ++figures.verifiedAssets;
            if (row.corrupted)
                ++figures.corruptedAssets;
            if (row.size > 0 && !exists)
                fail(where + " has no file on disk after the last run");
        }

        // Visible only once a reel that lists it has every event acknowledged.
        if (exists) {
            const QList<const DbReel *> reels = db.reelsOf(row);
            bool acknowledged = false;
            QStringList pending;
            for (const DbReel *reel : reels) {
                acknowledged = acknowledged || db.reelAcknowledged(*reel);
                pending.append(QString("reel %1 #%2: %3").arg(reel->uuid).arg(reel->number).arg(db.pendingEvents(*reel).join(", ")));
            }
            const bool hidden = FileManager::isHidden(row.path);
            if (!hidden && !acknowledged) {
                // A removed reel that shared the file may have revealed it when it was acknowledged.
                QStringList removedSharers;
                for (const SoakDcp &dcp : catalogue) {
                    if (dcp.uuid != row.dcpUuid)
                        continue;
                    for (int number : asset->reelNumbers) {
                        const QString uuid = dcp.reelUuids.value(number - 1);
                        if (!db.reels.contains(uuid) && removalRequested.contains(uuid))
                            removedSharers.append(QString("#%1 %2").arg(number).arg(uuid));
                    }
                }
                fail(QString("%1 is visible before its reel's events were acknowledged (%2)%3")
                         .arg(where, pending.isEmpty() ? "no reel lists it" : pending.join("; "),
                              removedSharers.isEmpty()
                                  ? QString()
                                  : "; it was shared with the removed reel " + removedSharers.join(", ")
                                      + ", which may have revealed it when its own events were acknowledged"));
            }
            if (final && hidden && acknowledged && row.checksummed)
                fail(where + " is still hidden although its reel was verified and every event acknowledged");
        }
    }

    if (!final)
        return;
    // The database equals the files: no file in a DCP folder that no asset row names.
    QSet<QString> named;
    for (const DbAsset &row : db.assets)
        named.insert(QFileInfo(row.path).absoluteFilePath());
    for (auto it = db.dcpFolders.constBegin(); it != db.dcpFolders.constEnd(); ++it) {
        QDirIterator files(it.value(), QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
        while (files.hasNext()) {
            const QString path = QFileInfo(files.next()).absoluteFilePath();
            if (!named.contains(path))
                fail(QString("%1 is on disk in the folder of %2 but no asset row of the database names it")
                         .arg(path, db.dcpTitles.value(it.key())));
        }
    }
    for (const DbNotification &n : db.notifications) {
        if (!n.synced)
            fail(QString("event %1 of reel %2 #%3 (campaign %4, %5) is still waiting for the portal after the last run")
                     .arg(n.event)
                     .arg(n.reelUuid)
                     .arg(n.reelNumber)
                     .arg(n.campaignDcpId)
                     .arg(n.assetsHash));
    }
    // Removed reels leave no file behind unless a remaining reel still lists it.
    for (const SoakDcp &dcp : catalogue) {
        if (droppedTitles.contains(dcp.title))
            continue;
        for (const SoakAsset &asset : dcp.assets) {
            if (!db.assets.contains(qMakePair(asset.uuid, asset.dcpUuid)) && QFileInfo::exists(asset.destinationPath))
                fail(QString("%1 of %2 is still on disk although no reel of the database lists it any more")
                         .arg(asset.destinationPath, dcp.title));
        }
    }
}

void Soak::checkNotifications()
{
    DbSnapshot db;
    QString error;
    if (!readSnapshot(dataDir + "/orvdownloader.4.sqlite", db, &error)) {
        fail("cannot read the engine's database: " + error);
        return;
    }
    // The portal sees campaign, reel number and event; every stored key is one of these.
    using Tuple = std::tuple<quint64, int, int>;
    std::map<Tuple, int> keys, acknowledged, excused;
    for (const DbNotification &n : db.notifications) {
        if (n.synced)
            ++keys[Tuple(n.campaignDcpId, n.reelNumber, n.event)];
    }
    const auto requests = standin.notificationRequests();
    const auto tupleOf = [](const NotificationRequest &r) {
        return Tuple(QString::fromStdString(r.value("campaign_dcp_id")).toULongLong(),
                     QString::fromStdString(r.value("reel_number")).toInt(),
                     QString::fromStdString(r.value("event")).toInt());
    };
    for (const NotificationRequest &r : requests) {
        if (r.acknowledged)
            ++acknowledged[tupleOf(r)];
    }
    // A killed engine may have lost the portal's ok of the one request it had in flight:
    // sending that event again is the only way to learn it arrived.
    for (int i = 0; i + 1 < killBoundaries.size(); ++i) {
        const quint64 last = killBoundaries.at(i);
        for (const NotificationRequest &r : requests) {
            if (r.sequence == last && r.acknowledged && (i == 0 || last > killBoundaries.at(i - 1)))
                ++excused[tupleOf(r)];
        }
    }
    std::set<Tuple> all;
    for (const auto &k : keys)
        all.insert(k.first);
    for (const auto &k : acknowledged)
        all.insert(k.first);
    for (const Tuple &t : all) {
        const int stored = keys[t];
        const int acks = acknowledged[t];
        const QString what = QString("campaign %1 reel #%2 event %3").arg(std::get<0>(t)).arg(std::get<1>(t)).arg(std::get<2>(t));
        if (acks < stored)
            fail(QString("%1: %2 keys are stored as acknowledged but the portal acknowledged only %3 requests")
                     .arg(what)
                     .arg(stored)
                     .arg(acks));
        else if (acks > stored + excused[t])
            fail(QString("%1: the portal acknowledged %2 requests for %3 keys (%4 of them lost with a killed engine): an "
                         "event was sent again after its ok")
                     .arg(what)
                     .arg(acks)
                     .arg(stored)
                     .arg(excused[t]));
    }
}

void Soak::checkRefetches()
{
    const auto requests = standin.assetRequests();
    for (size_t i = 0; i < requests.size(); ++i) {
        const AssetRequest &r = requests[i];
        const auto since = verifiedSince.find(r.path);
        if (since == verifiedSince.end() || i < since->second || (r.status != 200 && r.status != 206))
            continue;
        const SoakAsset *asset = knownByPath(r.path);
        if (!asset)
            continue;
        quint64 from = 0;
        if (r.status == 206 && r.range.rfind("bytes=", 0) == 0)
            from = QString::fromStdString(r.range.substr(6)).section('-', 0, 0).toULongLong();
        const quint64 bytes = asset->size > from ? asset->size - from : 0;
        figures.refetchedBytes += bytes;
        fail(QString("%1 of %2 was fetched again (%3, %4 bytes) after it was verified good on disk")
                 .arg(asset->destinationPath, asset->title, QString::fromStdString(r.range))
                 .arg(bytes));
    }
}

void Soak::checkSanitizers()
{
    static const char *const markers[] = {"ERROR: AddressSanitizer", "ERROR: LeakSanitizer", "runtime error:",
                                          "WARNING: ThreadSanitizer", "ERROR: UndefinedBehaviorSanitizer"};
    for (const QString &path : stderrPaths) {
        QFile file(path);
        if (!file.open(QIODevice::ReadOnly))
            continue;
        const QByteArray text = file.readAll();
        for (const char *marker : markers) {
            const int at = text.indexOf(marker);
            if (at >= 0)
                fail(QString("sanitizer report in %1: %2").arg(path, QString::fromLocal8Bit(text.mid(std::max(0, at - 200), 1500))));
        }
    }
}

bool parse(int argc, char **argv, Options &o)
{
    for (int i = 1; i < argc; ++i) {
        const QString arg = QString::fromLocal8Bit(argv[i]);
        const QString value = i + 1 < argc ? QString::fromLocal8Bit(argv[i + 1]) : QString();
        bool ok = true;
        if (arg == "--minutes") {
            o.minutes = value.toDouble(&ok);
            ++i;
        } else if (arg == "--seed") {
            o.seed = value.toULongLong(&ok);
            ++i;
        } else if (arg == "--probe") {
            o.probe = value;
            ++i;
        } else if (arg == "--work") {
            o.workDir = value;
            ++i;
        } else if (arg == "--rate") {
            o.rate = value.toUInt(&ok);
            ++i;
        } else if (arg == "--dcps") {
            o.initialDcps = value.toInt(&ok);
            ok = ok && o.initialDcps >= 1;
            ++i;
        } else if (arg == "--no-mount") {
            o.mount = false;
        } else {
            ok = false;
        }
        if (!ok) {
            std::fprintf(stderr,
                         "usage: soak --minutes N --seed S [--dcps N] [--rate BYTES_PER_S] [--work DIR] [--probe PATH] "
                         "[--no-mount]\n");
            return false;
        }
    }
    if (o.probe.isEmpty())
        o.probe = QCoreApplication::applicationDirPath() + "/soak_probe";
    return true;
}

}

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    Options options;
    if (!parse(argc, argv, options))
        return 2;
    setvbuf(stdout, nullptr, _IOLBF, 0);
    Soak soak(options);
    return soak.run();
}
