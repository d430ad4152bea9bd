#pragma once

#include <QSqlDatabase>
#include <QSqlQuery>
#include <QHash>
#include <QSet>
#include <QString>
#include <QThread>

#include <memory>

class DCP;
class DcpQueryRows;
class Reel;
class Asset;
struct Notification;

// The single gateway to the SQLite catalogue. One connection, one statement per
// operation; a failing statement is logged and thrown as std::runtime_error.
//
// The connection belongs to the thread that opened it (the main thread). Every
// operation runs synchronously on that thread and refuses any other, so no two
// statements and no two transactions can ever interleave: the checksum worker only
// hashes, and the main thread applies its results.
class DatabaseManager
{
public:
    static DatabaseManager *instance();

    // Opens (creating when missing) the database file at path on the named connection.
    // instance() uses the file next to the executable on the default connection.
    DatabaseManager(const QString &path, const QString &connectionName);
    ~DatabaseManager();

    DatabaseManager(const DatabaseManager &) = delete;
    DatabaseManager &operator=(const DatabaseManager &) = delete;

    QSqlDatabase database() const;
    QString databasePath() const { return m_path; }

    QSqlQuery getDCPsQuery();
    // The same query, read row by row straight from SQLite, for the start-up load.
    std::unique_ptr<DcpQueryRows> getDCPRows();
    QSqlQuery getSettingsQuery();
    QSqlQuery getNotificationsQuery();
    QSqlQuery getReelNotificationsQuery(const QString &reelUuid);
    int countUnsyncedNotifications(const QString &reelUuid);
    // The same count for the reel stored under reelId only: rows left by an earlier reel
    // with the same uuid (their asset hash starts with that reel's id) do not count.
    int countUnsyncedNotifications(const QString &reelUuid, quint32 reelId);
    // How many DCPs the catalogue holds.
    int countDCPs();
    // What the portal has acknowledged of each reel, read in one pass over the events.
    struct ReelAcknowledgement {
        bool allSynced = true; // no event of the reel waits for the portal
        bool verified = false; // its verification (event 8) is among the acknowledged
    };
    // Keyed by reelKey(): the reel's uuid with the row id that starts its events' asset hash.
    QHash<QString, ReelAcknowledgement> reelAcknowledgements();
    static QString reelKey(const QString &reelUuid, quint32 reelId);

    bool insertDcp(DCP *dcp);
    bool insertReel(Reel *reel);
    bool insertAsset(Asset *asset);
    bool insertDCPReelAsset(Reel *reel, Asset *asset);
    bool updateAssetDownloadFields(Asset *asset);
    // Stores a new download link for the asset (a fresh package brings new ones).
    bool updateAssetDownloadUrl(Asset *asset, const QString &url);
    bool removeAsset(Asset *asset);
    bool removeReel(Reel *reel);
    bool removeDCP(DCP *dcp);
    // Deletes every row under a DCP uuid (its dcp, reel, asset and link rows); for rows the
    // catalogue did not load. Returns how many rows went.
    int removeLeftoverDCPRows(const QString &dcpUuid);

    bool insertSetting(const QString &key, const QString &value);
    bool truncateSettings();
    bool insertNotification(Notification *notification);
    bool updateNotificationSynced(Notification *notification);

    // Transactions of callers (DatabaseTransaction wraps these). A transaction opened
    // while another is open joins it; only the outermost one commits or rolls back.
    bool beginTransaction();
    bool commitTransaction();
    void rollbackTransaction();
    bool inTransaction() const { return m_transactionDepth > 0; }

    static const char *const fileName;

private:
    bool createTables();
    void checkThread() const;
    QSqlQuery newQuery() const;
    [[noreturn]] void fail(const char *logText, const QSqlQuery &query, const char *exceptionText) const;
    void execPrepared(QSqlQuery &query, const char *logText, const char *exceptionText);
    void execDirect(QSqlQuery &query, const QString &statement, const char *logText, const char *exceptionText);

    QString m_path;
    QString m_connectionName;
    QThread *m_ownerThread;
    int m_transactionDepth = 0;
    bool m_transactionFailed = false;
};
