// Verification of a downloaded 4 GiB reel (two 2 GiB track files) by the checksum worker,
// through the download manager's own path: rebuildQueue() finds the finished, unverified
// reel and hands it to the worker; the time runs until the reel reports
// downloadChecksummed(). Compared with `openssl dgst -sha1` on the same two files (page
// cache warm for both), best of three each. Prints "verify_vs_openssl: <openssl s / ours s>".
//
// Usage: bench_verify [BYTES_PER_FILE]
#include "BenchReel.h"

#include "catalogue/DCP.h"
#include "catalogue/DCPManager.h"
#include "catalogue/DatabaseManager.h"
#include "catalogue/Reel.h"
#include "download/Asset.h"
#include "download/DownloadManager.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace {

const int runs = 3;

bool writeFile(const QString &path, qint64 size, quint32 seed)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    // One random block, made unique per position by its first bytes.
    QByteArray block(8 << 20, Qt::Uninitialized);
    QRandomGenerator(seed).fillRange(reinterpret_cast<quint32 *>(block.data()), block.size() / 4);
    for (qint64 offset = 0; offset < size; offset += block.size()) {
        std::memcpy(block.data(), &offset, sizeof offset);
        const qint64 length = std::min<qint64>(block.size(), size - offset);
        if (file.write(block.constData(), length) != length)
            return false;
    }
    return true;
}

// openssl's digests of the files, as Base64 of the raw bytes; empty on failure.
QStringList opensslDigests(const QStringList &paths, double *seconds)
{
    QElapsedTimer timer;
    timer.start();
    QProcess openssl;
    openssl.start("openssl", QStringList {"dgst", "-sha1", "-r"} + paths);
    openssl.waitForFinished(-1);
    *seconds = timer.nsecsElapsed() / 1e9;
    QStringList digests;
    if (openssl.exitCode() != 0)
        return digests;
    for (const QByteArray &line : openssl.readAllStandardOutput().split('\n')) {
        if (line.size() >= 40)
            digests << QString::fromLatin1(QByteArray::fromHex(line.left(40)).toBase64());
    }
    return digests;
}

}

int main(int argc, char **argv)
{
    QTemporaryDir dir(QDir::tempPath() + "/bench_verify-XXXXXX");
    if (!dir.isValid())
        return 1;
    qputenv("TOLVANE_DATA_DIR", QString(dir.path() + "/data").toUtf8());
    // The notification consumer posts to a closed loopback port, never off the machine.
    qputenv("TOLVANE_NOTIFICATION_URL", "http://127.0.0.1:9/");
    qputenv("TOLVANE_PORTAL_URL", "http://127.0.0.1:9/");
    QDir().mkpath(dir.path() + "/data");
    QCoreApplication app(argc, argv);
    qInstallMessageHandler([](QtMsgType, const QMessageLogContext &, const QString &) {});
    const qint64 fileSize = argc > 1 ? QByteArray(argv[1]).toLongLong() : (qint64(2) << 30);

    const QString downloads = dir.path() + "/downloads";
    const QString title = "bench";
    QDir().mkpath(downloads + "/" + title);
    const QStringList names {"picture.mxf", "sound.mxf"};
    QStringList paths;
    for (int i = 0; i < names.size(); ++i) {
        paths << downloads + "/" + title + "/" + names[i];
        if (!writeFile(paths.last(), fileSize, quint32(7 + i))) {
            std::fprintf(stderr, "cannot write %s\n", qPrintable(paths.last()));
            return 1;
        }
    }

    double opensslSeconds = 1e9;
    QStringList digests;
    for (int i = 0; i < runs + 1; ++i) { // the first run only warms the page cache
        double seconds = 0;
        digests = opensslDigests(paths, &seconds);
        if (i > 0)
            opensslSeconds = std::min(opensslSeconds, seconds);
    }
    if (digests.size() != paths.size()) {
        std::fprintf(stderr, "openssl failed\n");
        return 1;
    }

    const bench::DownloadedReel downloaded = bench::addDownloadedReel("c0000000-0000-0000-0000-0000000000", downloads,
                                                                      title, names, digests, quint64(fileSize));
    Reel *reel = downloaded.reel;
    const QList<Asset *> &assets = downloaded.assets;
    DownloadManager *manager = DownloadManager::instance(); // starts the worker's thread

    double oursSeconds = 1e9;
    for (int i = 0; i < runs; ++i) {
        for (Asset *asset : assets) {
            asset->setDownloadChecksummed(false);
            DatabaseManager::instance()->updateAssetDownloadFields(asset);
        }
        QEventLoop loop;
        bool passed = false;
        auto ok = QObject::connect(reel, &Reel::downloadChecksummed, &loop, [&] {
            passed = true;
            loop.quit();
        });
        auto failed = QObject::connect(reel, &Reel::downloadQueuedForRedownload, &loop, &QEventLoop::quit);
        auto corrupted = QObject::connect(reel, &Reel::downloadCorrupted, &loop, &QEventLoop::quit);
        QTimer::singleShot(300000, &loop, &QEventLoop::quit);
        QElapsedTimer timer;
        timer.start();
        manager->rebuildQueue();
        loop.exec();
        const double seconds = timer.nsecsElapsed() / 1e9;
        QObject::disconnect(ok);
        QObject::disconnect(failed);
        QObject::disconnect(corrupted);
        if (!passed) {
            std::fprintf(stderr, "the reel did not verify\n");
            return 1;
        }
        oursSeconds = std::min(oursSeconds, seconds);
    }

    const double bytes = double(fileSize) * paths.size();
    std::printf("verify_mb_per_s: %.0f\n", bytes / oursSeconds / 1e6);
    std::printf("verify_openssl_mb_per_s: %.0f\n", bytes / opensslSeconds / 1e6);
    std::printf("verify_vs_openssl: %.2f\n", opensslSeconds / oursSeconds);
    std::fflush(stdout);
    DownloadManager::shutdown();
    return 0;
}
