#pragma once

#include "catalogue/DatabaseManager.h"

#include <QHash>
#include <QStringList>

class Asset;
class ChecksumWorker;

// What a run that ended uncleanly (killed, a power cut) can leave between two writes, put
// right once at the next start, before anything resumes:
// - a file the journal cut back, or a finished file shorter than its listed size, is taken
//   back: downloaded and verified again, hidden meanwhile;
// - a file created but not yet hidden, or one whose hidden mark a power cut lost, is hidden
//   again unless a reel listing it has been acknowledged;
// - a reel whose verdict was stored without the event that reports it gets the event:
//   event 2 for a reel downloaded but never handed to verification, event 8 for a verified
//   one. Stored events are never stored twice: this only adds what is missing.
namespace UncleanEndRepair {

// All three, in that order; cutPaths are the files the journal cut back.
void repair(const QStringList &cutPaths, const ChecksumWorker *checksumWorker);

void takeBackAssetsThatLostBytes(const QStringList &cutPaths);
void hideFilesLeftVisible();
void addMissingEvents(const ChecksumWorker *checksumWorker);

// Hides the file of an asset that no reel listing it has had acknowledged yet; true when
// it hid a visible file. Also used when the reel that made a shared file visible is
// removed. acknowledgements, when given, is what the portal acknowledged of each reel
// (read once for many files instead of asking the database for each).
bool hideUnlessAcknowledged(Asset *asset,
                            const QHash<QString, DatabaseManager::ReelAcknowledgement> *acknowledgements = nullptr);

}
