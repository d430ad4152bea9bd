#pragma once

#include <QString>

class Asset;
class DownloadManager;

// What the engine does when the destination cannot take the download. A full drive sets
// aside the DCPs bound for it while the others go on; a download folder that has gone (an
// unplugged drive), a drive that does not answer, and a file that cannot be opened or
// written stop the downloads, with a box that says what happened, until RESUME.
class DestinationProblems
{
public:
    explicit DestinationProblems(DownloadManager *engine);

    // Before a transfer of the asset starts: whether its download folder is there and its
    // drive has room for what its file lacks. False when it may not start; the operator has
    // been told.
    bool readyFor(Asset *asset);
    // The asset's file cannot be opened for writing.
    void cannotOpen(Asset *asset);
    // A write or a sync of the asset's file failed with the system's error number.
    void writeFailed(Asset *asset, int error);

private:
    void stopDownloads(Asset *asset, const QString &reason);

    DownloadManager *m_engine;
};
