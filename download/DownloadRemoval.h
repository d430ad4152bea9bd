#pragma once

#include <QList>
#include <QString>

class Asset;
class DCP;
class DownloadManager;
class QUrl;
class Reel;

// The operations that end downloads rather than advance them: removing a DCP or a reel at
// the operator's request, the links the server refuses (the DCP is set aside, and its box
// offers to remove it), and a reel that failed verification for good downloaded again.
// Each changes the catalogue only once the database has agreed (the database's errors are
// let through to the engine's window-call guard).
class DownloadRemoval
{
public:
    explicit DownloadRemoval(DownloadManager *engine);

    // The DCP leaves the catalogue; its files stay on the drive as they are.
    void removeDcp(DCP *dcp);
    // The reel leaves its DCP with the files only it lists; a DCP left without reels goes.
    void removeReel(Reel *reel);
    // The files of the reel that failed verification for good start over, their attempts
    // counted anew; a file on its way keeps its transfer.
    void downloadAgain(Reel *reel);

    // The message for a status that refuses an asset's link (400: expired, 403 and 404: a
    // file is gone), with the DCP's title; empty for any other status.
    static QString refusalMessage(int status, const QString &friendlyTitle);
    // The server refused the asset's request for refusedUrl, with the message above. A link
    // the asset no longer has (a fresh package replaced it meanwhile) is tried again with the
    // current one; otherwise the links expired (HandleExpiredLinks).
    void linksRefused(Asset *asset, const QUrl &refusedUrl, const QString &message);
    // The server refused the DCP's links: it is set aside, and the box (once) asks whether
    // to remove it.
    void HandleExpiredLinks(DCP *dcp, const QString &message);

private:
    // A refusal of a link the asset no longer has: the asset is tried with its current one
    // once the refused reply has ended.
    void retryWithCurrentLink(Asset *asset, const QUrl &refusedUrl);

    DownloadManager *m_engine;
    // Removed DCPs and reels stay alive for the rest of the run: the window and signals
    // already queued may still refer to them. Kept here so they are owned, not lost.
    QList<DCP *> m_removedDcps;
    QList<Reel *> m_removedReels;
};
