#pragma once

#include "base/UserInteraction.h"

#include <QHash>
#include <QObject>
#include <QSet>
#include <QString>

#include <functional>

class Asset;
class DCP;
class QTimer;
namespace FileManager {
struct DiskSpace;
}

// The DCPs the engine passes by until their cause is gone, while the others go on: links
// the server refused (a fresh package brings the DCP back) or a drive without room for
// what the DCP still lacks (the drive is looked at again every spaceRecheckInterval, at
// RESUME and at each start, and room brings it back). Each cause's box is shown once.
// Also the look at the drive before each transfer starts.
class SetAsideDcps : public QObject
{
    Q_OBJECT
public:
    enum class Cause { LinksRefused, NoSpace };
    // Shows a box as the engine allows it (none once the program is quitting).
    using Ask = std::function<UserInteraction::Button(const UserInteraction::Message &)>;

    explicit SetAsideDcps(Ask ask, QObject *parent = nullptr);

    bool contains(const QString &dcpUuid) const { return m_entries.contains(dcpUuid); }
    int count() const { return m_entries.size(); }

    // Passes the DCP by until its cause is gone (drive: the drive that is full).
    void setAside(DCP *dcp, Cause cause, const QString &drive = QString());
    // Every unfinished DCP downloading to the drive, and current (the DCP whose transfer
    // found it full); the box is shown once for the drive.
    void setAsideDrive(const QString &drive, DCP *current);
    // True the first time the links box would be shown for the DCP; it is not shown again
    // until fresh links came.
    bool firstLinksBox(const QString &dcpUuid);
    // Fresh links or room: the DCP goes back in the queue (dcpBack).
    void bringBack(DCP *dcp);
    // The operator started the DCP: it is no longer passed by. True when it was aside.
    bool release(DCP *dcp);
    // The DCP left the catalogue.
    void forget(DCP *dcp);
    // Brings back every DCP whose drive now has room for all the DCP still lacks.
    void recheckSpace();

    // Whether a transfer of the asset may start: room on its drive for what its file still
    // lacks, counted as the user may write. Unreadable: the drive does not answer (the box
    // says so). Full: *drive names the drive.
    enum class Room { Enough, Full, Unreadable };
    Room roomForTransfer(const Asset *asset, QString *drive);
    // Whether the drive holding directory has room for size more bytes the user may write;
    // a drive whose free space cannot be read is told in a box.
    bool hasEnoughDiskSpace(const QString &directory, quint64 size);
    // A write of path failed with the system error: whether the drive is full (no room, a
    // quota, or less room than the asset's file still lacks).
    static bool driveIsFull(const QString &path, int error, const Asset *asset);
    // What the asset's file still lacks of its listed size.
    static quint64 bytesStillToFetch(const Asset *asset);
    static bool roomFor(const FileManager::DiskSpace &space, quint64 needed);

    // How often a drive too full for its DCPs is looked at again; a member so tests can
    // shorten it.
    int spaceRecheckInterval = 30000;

signals:
    // The DCP is passed by from now on: its assets leave the queue and its transfer stops.
    void dcpSetAside(DCP *dcp);
    // The DCP is back: the queue takes it again.
    void dcpBack(DCP *dcp);
    // The number of DCPs set aside changed.
    void changed();

private:
    struct Entry {
        Cause cause = Cause::LinksRefused;
        QString drive;
        // The room the user had on the drive when it was found too full: a drive that looks
        // no emptier has not changed (a quota the free space does not show, say).
        quint64 availableWhenSetAside = 0;
    };
    Ask m_ask;
    QHash<QString, Entry> m_entries; // by DCP uuid
    // The box of a cause is shown once: "links <dcp uuid>" or "space <drive>".
    QSet<QString> m_boxesShown;
    QTimer *m_recheckTimer = nullptr;
};
