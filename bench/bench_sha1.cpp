// Hashing throughput of the verifier against `openssl dgst -sha1` on the same cached
// file, in the same run. Prints "sha1_vs_openssl: <ours / openssl throughput>".
#include "download/FileManager.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>

#include <cstdio>

namespace {

double bestOf(int runs, const std::function<void()> &work)
{
    double best = 1e9;
    for (int i = 0; i < runs; ++i) {
        QElapsedTimer timer;
        timer.start();
        work();
        best = std::min(best, timer.nsecsElapsed() / 1e9);
    }
    return best;
}

}

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const qint64 size = argc > 1 ? QByteArray(argv[1]).toLongLong() : (qint64(1) << 30);
    QTemporaryDir dir;
    const QString path = dir.path() + "/asset.mxf";
    {
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly))
            return 1;
        QByteArray block(8 << 20, Qt::Uninitialized);
        QRandomGenerator generator(42);
        for (qint64 written = 0; written < size; written += block.size()) {
            generator.fillRange(reinterpret_cast<quint32 *>(block.data()), block.size() / 4);
            file.write(block.constData(), std::min<qint64>(block.size(), size - written));
        }
    }

    QByteArray ours;
    QByteArray theirs;
    FileManager::getFileSHA1(path); // warm the page cache
    const double oursSeconds = bestOf(3, [&] { ours = FileManager::getFileSHA1(path).toHex(); });
    const double opensslSeconds = bestOf(3, [&] {
        QProcess openssl;
        openssl.start("openssl", {"dgst", "-sha1", "-r", path});
        openssl.waitForFinished(-1);
        theirs = openssl.readAllStandardOutput().left(40);
    });
    if (ours != theirs) {
        std::fprintf(stderr, "digests differ: %s vs %s\n", ours.constData(), theirs.constData());
        return 1;
    }
    std::printf("sha1_mb_per_s: %.0f\n", size / oursSeconds / 1e6);
    std::printf("sha1_openssl_mb_per_s: %.0f\n", size / opensslSeconds / 1e6);
    std::printf("sha1_vs_openssl: %.2f\n", opensslSeconds / oursSeconds);
    return 0;
}
