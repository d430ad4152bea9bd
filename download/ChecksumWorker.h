#pragma once

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QString>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <vector>

class Asset;
class QThread;
class Reel;

// Verifies downloaded reels against the packing list's SHA-1 hashes.
//
// The worker's thread only hashes files. Everything else a verification does (asset
// flags, emptying a failed file, database rows, reel signals, reel events) happens on the
// main thread, in order, when the thread reports its digests. The job list is shared:
// the main thread appends reels and tests membership; the head reel stays in the list
// until its results are applied, which is what refuses removing a reel under
// verification.
//
// Only finished files are hashed. A reel lists each of its assets, and an asset may be
// shared by several reels: when one reel's verification sends a shared asset back to the
// download, another reel waiting for it leaves the list and comes back when the asset has
// been downloaded again, instead of hashing (and failing, and emptying) a file that is
// being written.
class ChecksumWorker;

// Stays on the main thread and applies the worker's results there. The serial travels as a
// queued call's argument, copied by Qt's event queue: nothing the worker's thread wrote is
// read on the main thread outside the worker's mutex.
class ChecksumResultReceiver : public QObject
{
    Q_OBJECT
public:
    explicit ChecksumResultReceiver(ChecksumWorker *worker)
        : m_worker(worker)
    {
    }
public slots:
    void apply(quint64 serial);

private:
    ChecksumWorker *m_worker;
};

class ChecksumWorker : public QObject
{
    Q_OBJECT
public:
    ChecksumWorker();
    ~ChecksumWorker() override;

    // A worker hashing in a thread of its own, started.
    static ChecksumWorker *startInItsThread();
    // Stops the worker and waits for its thread to end; once, from the main thread.
    void endThread();

    // Main thread. A reel already in the list is not added twice.
    void appendJob(Reel *reel);
    // Main thread: a reel whose files are all downloaded goes to verification, and the window
    // is told it is being checked.
    void handOver(Reel *reel);
    bool hasJob(Reel *reel) const;
    int jobCount() const;
    // The asset is about to be destroyed: its pending result is dropped, never applied.
    void forgetAsset(Asset *asset);
    // The reel left the catalogue: its jobs are dropped, and a result for it is ignored.
    void forgetReel(Reel *reel);
    // Ends process() soon, abandoning a hash under way.
    void stop();

    // Compares a digest with the packing list's Base64 hash, as lower-case hex text.
    static bool digestMatches(const QByteArray &digest, const QString &base64Hash);
    // Main-thread check of one asset, reading its file here; used when nothing is cached.
    static bool verifyChecksum(Asset *asset);

public slots:
    // The worker thread's loop: waits for a prepared reel, hashes its files, reports.
    void process();

signals:
    void finished();
    // Emitted on the main thread while a verification's results are applied: the asset failed
    // and gets another try. The engine queues it at once, while it certainly exists.
    void assetNeedsRedownloading(Asset *asset);
    // Emitted on the main thread when a reel's verification has been applied.
    void verificationEnded();

private:
    struct FileCheck
    {
        Asset *asset = nullptr; // never dereferenced by the worker thread
        QString path;
        bool alreadyChecksummed = false;
        quint32 attempts = 0; // when handed over: a result for another attempt is stale
        bool hashed = false;
        bool readable = false;
        QByteArray digest;
    };

    void prepareHead();                  // main thread
    void applyResults(quint64 serial);   // main thread
    // The reel left the list without a verdict until a file is downloaded again.
    void reportWaitingForDownload(Reel *reel); // main thread

    // Standard primitives rather than Qt's, so the thread sanitizer sees the locking.
    mutable std::mutex m_mutex;
    std::condition_variable m_wake;
    QList<Reel *> jobs;
    // A std::vector, not an implicitly shared container: a copy taken under the lock must
    // not share elements that the other thread then changes.
    std::vector<FileCheck> m_checks;
    // The head reel's files are handed to the worker as job number m_preparedSerial; the
    // worker reports it back as m_hashedSerial. One job is in flight at a time.
    quint64 m_preparedSerial = 0;
    quint64 m_hashedSerial = 0;
    bool m_inFlight = false;
    bool m_headForgotten = false;
    bool m_stopping = false;
    std::atomic<bool> m_cancel{false};
    QThread *m_thread = nullptr;
    friend class ChecksumResultReceiver;
    // Results are handed back through this object, which stays on the main thread.
    ChecksumResultReceiver m_mainThread{this};
};
