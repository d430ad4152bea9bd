#pragma once

// DCPs put straight into the catalogue (database and DCP list) in any state of their
// reels, as an import and later downloads would leave them: for the window's tests and
// its pictures.

#include <QList>
#include <QString>

class DCP;
class PortalStandin;
class Reel;

namespace SampleCatalogue {

// One reel: one asset of this size with these download flags.
struct SampleReel {
    quint64 size = 1000;
    bool finished = false;
    bool checksummed = false;
    bool corrupted = false;
    QString url; // where its asset downloads from; a closed local port when empty
};

DCP *addDcp(const QString &title, const QString &friendlyTitle, const QList<SampleReel> &reels,
            const QString &imageUrl, const QString &downloadPath);

// A reel whose one asset (a new file under the stand-in's asset root) the stand-in sends
// slowly, so that its transfer keeps running for a while.
SampleReel slowReel(PortalStandin &standin, quint64 size, quint64 bytesPerSecond);

// Stores a reel event the portal has not acknowledged yet.
void addUnacknowledgedEvent(Reel *reel, int event);

}
