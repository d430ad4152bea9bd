#include "download/ChecksumWorker.h"

#include "catalogue/DCP.h"
#include "catalogue/DatabaseManager.h"
#include "catalogue/Reel.h"
#include "download/Asset.h"
#include "download/FileDoesNotExistException.h"
#include "download/FileManager.h"
#include "portal/NotificationManager.h"

#include <QDebug>
#include <QFile>
#include <QThread>

ChecksumWorker::ChecksumWorker() = default;

ChecksumWorker::~ChecksumWorker() = default;

ChecksumWorker *ChecksumWorker::startInItsThread()
{
    auto *thread = new QThread();
    auto *worker = new ChecksumWorker();
    worker->m_thread = thread;
    worker->moveToThread(thread);
    connect(thread, &QThread::started, worker, &ChecksumWorker::process);
    // quit() is safe from any thread; called directly, it needs no turn of the main loop.
    connect(worker, &ChecksumWorker::finished, thread, &QThread::quit, Qt::DirectConnection);
    connect(thread, &QThread::finished, thread, &QObject::deleteLater);
    thread->start(QThread::InheritPriority);
    return worker;
}

void ChecksumWorker::endThread()
{
    QThread *thread = m_thread;
    if (!thread)
        return;
    m_thread = nullptr;
    stop();
    thread->quit();
    thread->wait();
}

void ChecksumWorker::appendJob(Reel *reel)
{
    bool wasEmpty = false;
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        if (jobs.contains(reel))
            return;
        wasEmpty = jobs.isEmpty();
        jobs.append(reel);
    }
    if (wasEmpty)
        prepareHead();
}

void ChecksumWorker::handOver(Reel *reel)
{
    emit reel->downloadCheckingChecksum();
    appendJob(reel);
    if (reel->getDCP())
        emit reel->getDCP()->statusChanged();
}

bool ChecksumWorker::hasJob(Reel *reel) const
{
    std::unique_lock<std::mutex> lock(m_mutex);
    return jobs.contains(reel);
}

int ChecksumWorker::jobCount() const
{
    std::unique_lock<std::mutex> lock(m_mutex);
    return jobs.size();
}

void ChecksumWorker::forgetAsset(Asset *asset)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    for (FileCheck &check : m_checks) {
        if (check.asset == asset)
            check.asset = nullptr;
    }
}

void ChecksumWorker::forgetReel(Reel *reel)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    if (jobs.isEmpty())
        return;
    const bool isHead = jobs.first() == reel;
    for (int i = jobs.size() - 1; i >= 1; --i) {
        if (jobs.at(i) == reel)
            jobs.removeAt(i);
    }
    if (isHead)
        m_headForgotten = true;
}

void ChecksumWorker::stop()
{
    std::unique_lock<std::mutex> lock(m_mutex);
    m_stopping = true;
    m_cancel.store(true);
    m_wake.notify_all();
}

bool ChecksumWorker::digestMatches(const QByteArray &digest, const QString &base64Hash)
{
    // Both sides as hex text of the raw bytes, so two Base64 spellings of one digest match.
    const QByteArray expected = QByteArray::fromBase64(base64Hash.toUtf8()).toHex();
    return digest.toHex() == expected;
}

bool ChecksumWorker::verifyChecksum(Asset *asset)
{
    if (asset->isDownloadChecksummed())
        return true;
    try {
        return digestMatches(FileManager::getFileSHA1(asset->filePath()), asset->hash());
    } catch (const FileDoesNotExistException &) {
        return false;
    }
}

void ChecksumWorker::reportWaitingForDownload(Reel *reel)
{
    qDebug() << "[ChecksumWorker] Waiting for files downloaded again:" << reel->uuid();
    emit reel->downloadQueuedForRedownload();
    if (reel->getDCP())
        emit reel->getDCP()->statusChanged();
}

void ChecksumWorker::prepareHead()
{
    Reel *reel = nullptr;
    for (;;) {
        {
            std::unique_lock<std::mutex> lock(m_mutex);
            if (jobs.isEmpty() || m_inFlight || m_stopping)
                return;
            reel = jobs.first();
            if (reel->isDownloaded())
                break;
            // One of its files went back to the download since the reel was queued (a
            // shared asset failed another reel's verification): the download manager queues
            // the reel again when that file is finished.
            jobs.removeFirst();
        }
        reportWaitingForDownload(reel);
    }
    qDebug() << "[ChecksumWorker] Found a job!";
    NotificationManager::instance()->notify(reel, 6);

    std::vector<FileCheck> checks;
    for (Asset *asset : reel->getAssets()) {
        FileCheck check;
        check.asset = asset;
        check.path = asset->filePath();
        check.alreadyChecksummed = asset->isDownloadChecksummed();
        check.attempts = asset->downloadAttempts();
        checks.push_back(check);
    }
    std::unique_lock<std::mutex> lock(m_mutex);
    m_checks = checks;
    m_headForgotten = false;
    m_inFlight = true;
    ++m_preparedSerial;
    m_wake.notify_all();
}

void ChecksumWorker::process()
{
    for (;;) {
        std::vector<FileCheck> work;
        quint64 serial = 0;
        {
            std::unique_lock<std::mutex> lock(m_mutex);
            while (!m_stopping && m_preparedSerial == m_hashedSerial)
                m_wake.wait(lock);
            if (m_stopping)
                break;
            serial = m_preparedSerial;
            work = m_checks;
        }
        // Only paths and digests here; assets, files and the database stay with the main thread.
        for (FileCheck &check : work) {
            if (check.alreadyChecksummed)
                continue;
            try {
                check.digest = FileManager::getFileSHA1(check.path, &m_cancel);
                check.readable = check.digest.size() == 20;
            } catch (const FileDoesNotExistException &) {
                check.readable = false;
            }
            check.hashed = true;
            if (m_cancel.load())
                break;
        }
        {
            std::unique_lock<std::mutex> lock(m_mutex);
            if (m_stopping)
                break;
            for (size_t i = 0; i < work.size() && i < m_checks.size(); ++i) {
                m_checks[i].hashed = work[i].hashed;
                m_checks[i].readable = work[i].readable;
                m_checks[i].digest = work[i].digest;
            }
            m_hashedSerial = serial;
        }
        QMetaObject::invokeMethod(&m_mainThread, "apply", Qt::QueuedConnection, Q_ARG(quint64, serial));
    }
    emit finished();
}

void ChecksumResultReceiver::apply(quint64 serial)
{
    m_worker->applyResults(serial);
}

void ChecksumWorker::applyResults(quint64 serial)
{
    Reel *reel = nullptr;
    std::vector<FileCheck> checks;
    bool forgotten = false;
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        if (jobs.isEmpty() || !m_inFlight || serial != m_preparedSerial || serial != m_hashedSerial)
            return;
        reel = jobs.first();
        checks = m_checks;
        forgotten = m_headForgotten;
    }

    if (!forgotten) {
        DatabaseManager *database = DatabaseManager::instance();
        bool requeued = false;
        bool corrupted = false;
        bool stale = false;
        for (const FileCheck &check : checks) {
            Asset *asset = check.asset;
            if (!asset)
                continue; // removed with another reel while its file was hashed
            if (!asset->isDownloadFinished() || asset->downloadAttempts() != check.attempts) {
                // Sent back to the download since its file was handed over: what was hashed
                // is not the file the asset will have, and the download owns the file now.
                qDebug() << "[ChecksumWorker] Dropping the result of a file downloaded again:" << asset->uuid();
                stale = true;
                continue;
            }
            const bool passed = check.alreadyChecksummed || asset->isDownloadChecksummed()
                || (check.readable && digestMatches(check.digest, asset->hash()));
            if (passed) {
                asset->setDownloadChecksummed(true);
                asset->setDownloadCorrupted(false);
            } else if (asset->downloadAttempts() == 2) {
                asset->setDownloadCorrupted(true);
                corrupted = true;
            } else {
                asset->setDownloadAttempts(asset->downloadAttempts() + 1);
                asset->setDownloadFinished(false);
                try {
                    asset->file()->resize(0);
                } catch (const std::exception &error) {
                    qDebug() << "[ChecksumWorker] Unable to empty the file of" << asset->uuid() << error.what();
                }
                asset->closeFile();
                emit assetNeedsRedownloading(asset);
                requeued = true;
            }
            database->updateAssetDownloadFields(asset);
        }

        if (requeued || corrupted) {
            if (requeued) {
                qDebug() << "[ChecksumWorker] failed checksum for:" << reel->uuid() << " requeued...";
                emit reel->downloadQueuedForRedownload();
            } else {
                qDebug() << "[ChecksumWorker] failed checksum for:" << reel->uuid();
                emit reel->downloadCorrupted();
            }
            if (reel->getDCP())
                emit reel->getDCP()->statusChanged();
            NotificationManager::instance()->notify(reel, 7);
        } else if (stale) {
            // No verdict yet: the reel is queued again when the file is downloaded.
            reportWaitingForDownload(reel);
        } else {
            qDebug() << "[ChecksumWorker] checksum OK for:" << reel->uuid();
            emit reel->downloadChecksummed();
            if (reel->getDCP())
                emit reel->getDCP()->statusChanged();
            NotificationManager::instance()->notify(reel, 8);
            // A reel verified again after a file was taken back (it lost bytes at an unclean
            // end) reports nothing new: the portal acknowledged this verdict already.
            NotificationManager::instance()->revealIfAlreadyAcknowledged(reel);
        }
    }

    {
        std::unique_lock<std::mutex> lock(m_mutex);
        jobs.removeFirst();
        m_checks.clear();
        m_inFlight = false;
        m_headForgotten = false;
    }
    // The status bar shows the end of a verification at once, not at its next look.
    emit verificationEnded();
    prepareHead();
}
