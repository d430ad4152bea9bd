#pragma once

#include "download/ReadBudget.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QString>

class Asset;
class QFile;
class QNetworkAccessManager;
class QNetworkReply;
class QUrl;
class TransferJournal;

// One asset's transfer: the request for what its file still lacks, the read ticks that move
// the reply's bytes into the file at the pace of the speed limit and never past the asset's
// listed size, the points at which the file is made durable (each recorded in the journal)
// and the write errors on the way. The download manager chooses what is transferred and
// when, and tells the window, the user and the portal; it owns the reply.
class AssetTransfer
{
public:
    explicit AssetTransfer(TransferJournal *journal);

    // A new transfer of asset; the file is made durable each time it passes a multiple of
    // syncInterval bytes.
    void begin(Asset *asset, quint64 syncInterval, quint32 readInterval);
    Asset *asset() const { return m_asset; }

    // The transfer appends from the file's current length: the file up to there must be on
    // the disk first. False (with the system error number) when the system cannot write it out.
    bool makeStartDurable(int *error);
    // The GET for the rest of the file, its read buffer bounded from the first byte.
    QNetworkReply *send(QNetworkAccessManager *network, quint32 bufferSize);
    quint64 requestOffset() const { return m_requestOffset; }

    // Whether a redirect from the link `from` to `to` may be followed: to https, or to http
    // when the link itself was http. Any other scheme (file:, ftp:, data:...) is refused.
    static bool mayFollowRedirect(const QUrl &from, const QUrl &to);

    // Whether a reply's answer carries the file's bytes: 200 or 206, and no error but a
    // connection the server closed after sending some.
    static bool carriesData(QNetworkReply *reply);

    enum class Outcome {
        Nothing,    // nothing moved (nothing to take, or the listed size is reached)
        Stored,     // bytes were stored
        CannotOpen, // the file cannot be opened for writing
        WriteFailed // a write or a sync failed; error holds the system's error number
    };
    struct Tick {
        Outcome outcome = Outcome::Nothing;
        qint64 bytes = 0;
        int error = 0;
    };
    // One read tick: moves what the budget of chunk bytes per tick allows (all there is
    // once the reply has finished) from the reply to the end of the file.
    Tick read(QNetworkReply *reply, qint64 chunk);

    // Ends the transfer once the file holds the asset's listed size and the server still
    // sends more; the asset then counts as downloaded.
    void endAtListedSize(QNetworkReply *reply);
    bool reachedListedSize() const { return m_sizeReached; }
    // The file holds the asset's listed size.
    bool holdsListedSize() const { return m_fileLength >= 0 && quint64(m_fileLength) >= m_listedSize; }

    // A write of this transfer failed; nothing more is stored from its reply.
    void markWriteFailed() { m_writeFailed = true; }
    bool writeFailed() const { return m_writeFailed; }

    // Body bytes of the reply stored in the file.
    quint64 replyBytes() const { return m_replyBytes; }

    // How the finished reply ended the transfer of asset (the current asset; null when it
    // was removed meanwhile).
    enum class End {
        Failed,     // an error or a failed write: the stall timer tries again (not after a failed write)
        Redirected, // the asset's link is now the redirect's target: the asset starts again
        RedirectRefused, // the redirect goes where a download may not: the stall timer tries the link again
        EndedEarly, // the body ended before its announced length: the stall timer resumes it
        Complete    // the asset is downloaded, or the server has nothing past what is on disk
    };
    End end(QNetworkReply *reply, Asset *asset) const;
    // A zero-byte asset receives no data that would create its file: it is created at the
    // end of its transfer, hidden like the others, so that verification finds it.
    static void createFileIfMissing(Asset *asset);

    // The end of every transfer: the file is made durable (also when this transfer wrote
    // nothing) and its journal entry goes; false with the system error when that failed.
    bool makeDurableAtEnd(int *error);
    // Makes the file durable at its current length and records that in the journal.
    bool makeDurable(int *error);
    // The program quits: the file of the current asset, when this transfer is its, is closed
    // and made durable unless a write failed.
    void endForQuit(Asset *current);

private:
    // Moves at most wanted bytes through m_buffer; -1 after a failed write (the file keeps
    // its length before the failed piece).
    qint64 moveToFile(QNetworkReply *reply, QFile *file, qint64 wanted, int *error);

    TransferJournal *m_journal;
    Asset *m_asset = nullptr;
    quint64 m_listedSize = 0;
    quint64 m_syncInterval = 0;
    qint64 m_tickLengthNs = 20000000;
    // The offset the request asked for, and whether its answer was checked for a server
    // that ignored the range.
    quint64 m_requestOffset = 0;
    bool m_replyChecked = false;
    bool m_writeFailed = false;
    bool m_sizeReached = false;
    quint64 m_replyBytes = 0;
    // The file's length, read once when the first bytes arrive and then kept up to date by
    // what each tick appends; -1 until then.
    qint64 m_fileLength = -1;
    // What each tick may take under the limit, timed on one clock.
    ReadBudget m_budget;
    QElapsedTimer m_tickClock;
    // The one buffer the bytes pass through; never larger than bufferLimit.
    QByteArray m_buffer;
    static constexpr qint64 bufferLimit = 1048576;
};
