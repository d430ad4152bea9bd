#include "download/AssetTransfer.h"

#include "download/Asset.h"
#include "download/FileManager.h"
#include "download/TransferJournal.h"

#include <QDebug>
#include <QFile>
#include <QFileInfo>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QUrl>

#include <algorithm>
#include <exception>

AssetTransfer::AssetTransfer(TransferJournal *journal)
    : m_journal(journal)
{
}

void AssetTransfer::begin(Asset *asset, quint64 syncInterval, quint32 readInterval)
{
    m_asset = asset;
    m_listedSize = asset->size();
    m_syncInterval = syncInterval;
    m_tickLengthNs = qint64(readInterval) * 1000000;
    m_requestOffset = FileManager::fileSize(asset->filePath());
    m_replyChecked = false;
    m_writeFailed = false;
    m_sizeReached = false;
    m_replyBytes = 0;
    m_fileLength = -1;
}

bool AssetTransfer::makeStartDurable(int *error)
{
    if (m_requestOffset > 0)
        return makeDurable(error);
    m_journal->recordDurable(m_asset->filePath(), 0);
    return true;
}

QNetworkReply *AssetTransfer::send(QNetworkAccessManager *network, quint32 bufferSize)
{
    QNetworkRequest request(QUrl(m_asset->downloadUrl()));
    request.setRawHeader("Range", QString("bytes=%1-").arg(m_requestOffset).toUtf8());
    QNetworkReply *reply = network->get(request);
    // Bounded from the first byte: the limit is queued to the network thread right behind
    // the request, while the reply's metaDataChanged() comes only once the main thread is
    // free again.
    reply->setReadBufferSize(bufferSize);
    return reply;
}

bool AssetTransfer::mayFollowRedirect(const QUrl &from, const QUrl &to)
{
    const QString target = to.scheme().toLower();
    if (!to.isValid() || to.host().isEmpty())
        return false;
    return target == QLatin1String("https") || (target == QLatin1String("http") && from.scheme().toLower() == QLatin1String("http"));
}

bool AssetTransfer::carriesData(QNetworkReply *reply)
{
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    // What arrived before the server closed the connection is the file's next bytes: it is
    // kept, so a link that drops every few moments still makes progress.
    const QNetworkReply::NetworkError replyError = reply->error();
    return (replyError == QNetworkReply::NoError || replyError == QNetworkReply::RemoteHostClosedError)
        && (status == 206 || status == 200);
}

AssetTransfer::Tick AssetTransfer::read(QNetworkReply *reply, qint64 chunk)
{
    Tick tick;
    QFile *file = nullptr;
    try {
        file = m_asset->file();
    } catch (const std::exception &) {
        // The destination is gone or read-only: nothing can be stored until the user acts.
        tick.outcome = Outcome::CannotOpen;
        return tick;
    }

    if (!m_tickClock.isValid())
        m_tickClock.start();
    const qint64 tickNs = m_tickClock.nsecsElapsed();
    if (!m_replyChecked) {
        m_replyChecked = true;
        m_budget.restart(tickNs, m_tickLengthNs);
        // A server that ignores the range sends the whole file: start the file over
        // instead of appending the file to its own beginning.
        const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
        if (status == 200 && m_requestOffset > 0) {
            qDebug() << "[DownloadManager] Range ignored by the server, starting the file over:" << m_asset->uuid();
            file->resize(0);
            m_fileLength = 0;
            m_requestOffset = 0;
            m_journal->recordDurable(m_asset->filePath(), 0);
        }
    }

    // The packing list's size bounds the file: bytes past it are not the asset's.
    if (m_fileLength < 0)
        m_fileLength = file->size();
    const qint64 lengthBefore = m_fileLength;
    const quint64 listedSize = m_asset->size();
    if (quint64(lengthBefore) >= listedSize) {
        endAtListedSize(reply);
        return tick;
    }
    const qint64 room = qint64(listedSize - quint64(lengthBefore));
    // The budget follows the time since the last tick that read (see ReadBudget).
    const qint64 budget = m_budget.take(tickNs, chunk);
    const qint64 available = reply->bytesAvailable();
    const qint64 wanted = std::min(room, reply->isFinished() ? available : std::min(budget, available));
    const qint64 written = moveToFile(reply, file, wanted, &tick.error);
    m_budget.used(budget, std::max<qint64>(0, written));
    if (written < 0) {
        tick.outcome = Outcome::WriteFailed;
        return tick;
    }
    if (written == 0)
        return tick;
    tick.bytes = written;
    if (m_syncInterval > 0 && quint64(lengthBefore) / m_syncInterval != quint64(lengthBefore + written) / m_syncInterval) {
        if (!makeDurable(&tick.error)) {
            tick.outcome = Outcome::WriteFailed;
            return tick;
        }
    }
    tick.outcome = Outcome::Stored;
    return tick;
}

qint64 AssetTransfer::moveToFile(QNetworkReply *reply, QFile *file, qint64 wanted, int *error)
{
    qint64 moved = 0;
    while (moved < wanted) {
        const qint64 piece = std::min(wanted - moved, bufferLimit);
        if (m_buffer.size() < piece)
            m_buffer.resize(int(piece));
        const qint64 count = reply->read(m_buffer.data(), piece);
        if (count <= 0)
            break;
        const qint64 written = FileManager::appendToFile(file, m_buffer.constData(), count, error);
        if (written != count) {
            if (written <= 0)
                qDebug() << "[DownloadManager] Warning: dropped bytes " << written;
            else
                qDebug() << "[DownloadManager] Warning: partial write " << written << "of" << count << "bytes";
            // Nothing half written stays behind: the file keeps its last good length, which
            // is where the next transfer resumes.
            file->resize(m_fileLength);
            return -1;
        }
        moved += written;
        m_fileLength += written;
        m_replyBytes += quint64(written);
    }
    return moved;
}

AssetTransfer::End AssetTransfer::end(QNetworkReply *reply, Asset *asset) const
{
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    // A file already whole on disk (the process stopped between its last write and storing
    // the finished flag) gets 416 for a range after its end, and so does a zero-byte asset
    // for "bytes=0-". Retrying would never end: the transfer is over, and verification
    // judges the file (a wrong one is downloaded again).
    const bool nothingLeft = asset && status == 416 && (m_requestOffset > 0 || asset->size() == 0);
    if (nothingLeft)
        qDebug() << "[DownloadManager] Nothing left to download past byte" << m_requestOffset
                 << "for asset:" << asset->uuid();
    if ((reply->error() != QNetworkReply::NoError && !nothingLeft && !m_sizeReached) || m_writeFailed || !asset)
        return End::Failed;

    const QVariant redirect = reply->attribute(QNetworkRequest::RedirectionTargetAttribute);
    if (redirect.isValid()) {
        const QUrl link(asset->downloadUrl());
        const QUrl redirectTarget = link.resolved(redirect.toUrl());
        if (!mayFollowRedirect(link, redirectTarget)) {
            qDebug() << "[DownloadManager] Refusing the redirect to" << redirectTarget.toString() << "for asset:"
                     << asset->uuid();
            return End::RedirectRefused;
        }
        if (asset->redirectsLeft > 0) {
            --asset->redirectsLeft;
            const QUrl target = QUrl(asset->downloadUrl()).resolved(redirect.toUrl());
            qDebug() << "[DownloadManager] Redirect URL (" << target.toString() << ") for asset: " << asset->uuid();
            asset->setDownloadUrl(target.toString());
            return End::Redirected;
        }
        qDebug() << "[DownloadManager] Reached max redirects for asset: " << asset->uuid();
    }

    // A body that ended before its announced length is an interrupted transfer, whatever
    // the network layer says (it may re-send a request on a closed connection and then
    // report a cut-off answer as complete).
    const QVariant announced = reply->header(QNetworkRequest::ContentLengthHeader);
    if ((status == 200 || status == 206) && announced.isValid() && m_replyBytes < announced.toULongLong()
        && !m_sizeReached) {
        qDebug() << "[DownloadManager] Transfer ended early:" << m_replyBytes << "of" << announced.toULongLong()
                 << "bytes for asset:" << asset->uuid();
        return End::EndedEarly;
    }
    return End::Complete;
}

void AssetTransfer::createFileIfMissing(Asset *asset)
{
    if (QFileInfo::exists(asset->filePath()))
        return;
    try {
        asset->file();
    } catch (const std::exception &) {
        qDebug() << "[DownloadManager] Unable to create the file of asset:" << asset->uuid();
    }
    asset->closeFile();
}

void AssetTransfer::endAtListedSize(QNetworkReply *reply)
{
    if (m_sizeReached)
        return;
    m_sizeReached = true;
    qDebug() << "[DownloadManager] The server sends more than the listed" << m_asset->size()
             << "bytes; ending the transfer for asset:" << m_asset->uuid();
    // Aborting finishes the reply at once; its finished() handler then completes the asset.
    if (reply->isRunning())
        reply->abort();
}

bool AssetTransfer::makeDurableAtEnd(int *error)
{
    m_asset->closeFile();
    const QString path = m_asset->filePath();
    // Also when this transfer wrote nothing: the file may hold what an earlier run wrote
    // and never made durable (a 416 for a file that was already whole).
    if (!FileManager::isRegularFile(path))
        return true;
    if (!makeDurable(error))
        return false;
    m_journal->forget(path);
    return true;
}

void AssetTransfer::endForQuit(Asset *current)
{
    if (!current || current != m_asset)
        return;
    int error = 0;
    if (current->closeFile() && !m_writeFailed)
        makeDurable(&error);
}

bool AssetTransfer::makeDurable(int *error)
{
    const QString path = m_asset->filePath();
    if (!FileManager::syncFile(path, error)) {
        qDebug() << "[DownloadManager] Unable to make" << path << "durable:" << FileManager::systemErrorText(*error);
        return false;
    }
    m_journal->recordDurable(path, FileManager::fileSize(path));
    return true;
}
