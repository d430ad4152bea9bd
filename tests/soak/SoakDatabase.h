#pragma once

// What the engine's catalogue database holds, read (while the engine is not
// running, so the soak can compare it with the files on disk and the portal's records.

#include <QList>
#include <QMap>
#include <QPair>
#include <QString>
#include <QStringList>

struct DbAsset {
    QString uuid;
    QString dcpUuid;
    quint64 size = 0;
    QString path; // where the engine keeps its file
    bool started = false;
    bool finished = false;
    bool checksummed = false;
    bool corrupted = false;
    quint32 attempts = 0;
};

struct DbReel {
    qint64 id = 0;
    QString uuid;
    QString dcpUuid;
    int number = 0;
    QStringList assetUuids;
};

struct DbNotification {
    quint64 campaignDcpId = 0;
    QString reelUuid;
    QString assetsHash;
    int reelNumber = 0;
    int event = 0;
    bool synced = false;
};

struct DbSnapshot {
    QMap<QString, QString> dcpTitles;  // uuid -> title
    QMap<QString, QString> dcpFolders; // uuid -> download path / title
    QMap<QString, DbReel> reels;       // by uuid
    QMap<QPair<QString, QString>, DbAsset> assets; // by (asset uuid, DCP uuid)
    QList<DbNotification> notifications;

    // Every event stored for the reel as it is now (rows of an earlier reel with the same
    // uuid left out) is acknowledged, the verification-passed event among them.
    bool reelAcknowledged(const DbReel &reel) const;
    // The reel's events not yet acknowledged, as "event/hash" texts, for messages.
    QStringList pendingEvents(const DbReel &reel) const;
    QList<const DbReel *> reelsOf(const DbAsset &asset) const;
};

// Reads the database file; returns false with a reason when it cannot.
bool readSnapshot(const QString &databasePath, DbSnapshot &snapshot, QString *error);
