#include "catalogue/DatabaseManager.h"

#include "base/AppPaths.h"
#include "catalogue/DCP.h"
#include "catalogue/DcpQueryRows.h"
#include "catalogue/Reel.h"
#include "download/Asset.h"
#include "portal/Notification.h"

#include <QDebug>
#include <QSqlDriver>
#include <QSqlError>
#include <QVariant>

#include <algorithm>
#include <stdexcept>

#include <sqlite3.h>

const char *const DatabaseManager::fileName = AppPaths::catalogueFileName;

namespace {

const char *const createStatements[] = {
    "CREATE TABLE IF NOT EXISTS dcp (id INTEGER PRIMARY KEY AUTOINCREMENT,uuid VARCHAR(36) NOT NULL UNIQUE,title VARCHAR(200) NOT NULL,friendly_title VARCHAR(200) NOT NULL,image_url TEXT NOT NULL,download_path TEXT NOT NULL,user_uuid VARCHAR(36) NOT NULL,campaign_dcp_id INTEGER NOT NULL);",
    "CREATE TABLE IF NOT EXISTS reel (id INTEGER PRIMARY KEY AUTOINCREMENT,uuid VARCHAR(36) NOT NULL UNIQUE,dcp_uuid VARCHAR(36) NOT NULL,reel_number INTEGER NOT NULL,FOREIGN KEY(dcp_uuid) REFERENCES dcp(uuid));",
    "CREATE TABLE IF NOT EXISTS asset (id INTEGER PRIMARY KEY AUTOINCREMENT,uuid VARCHAR(36) NOT NULL,dcp_uuid VARCHAR(36) NOT NULL,hash VARCHAR(50) NOT NULL,size INTEGER NOT NULL,type VARCHAR(100) NOT NULL,original_filename VARCHAR(250) NOT NULL,directory_path VARCHAR(250) NOT NULL,download_url TEXT NOT NULL,download_started BOOLEAN NOT NULL,download_finished BOOLEAN NOT NULL,download_checksummed BOOLEAN NOT NULL,download_corrupted BOOLEAN NOT NULL,download_attempts INTEGER NOT NULL,FOREIGN KEY(dcp_uuid) REFERENCES dcp(uuid),UNIQUE(uuid, dcp_uuid));",
    "CREATE TABLE IF NOT EXISTS setting (key VARCHAR(50) NOT NULL PRIMARY KEY,value TEXT NOT NULL);",
    "CREATE TABLE IF NOT EXISTS dcp_reel_asset (id INTEGER PRIMARY KEY AUTOINCREMENT,dcp_uuid VARCHAR(36) NOT NULL,reel_uuid VARCHAR(36) NOT NULL,asset_uuid VARCHAR(36) NOT NULL,FOREIGN KEY(dcp_uuid) REFERENCES dcp(uuid),FOREIGN KEY(reel_uuid) REFERENCES reel(uuid),FOREIGN KEY(asset_uuid) REFERENCES asset(uuid));",
    "CREATE TABLE IF NOT EXISTS notification (id INTEGER PRIMARY KEY AUTOINCREMENT,user_uuid VARCHAR(36) NOT NULL,campaign_dcp_id INTEGER NOT NULL,reel_uuid VARCHAR(36) NOT NULL,reel_assets_hash TEXT NOT NULL,reel_number INTEGER NOT NULL,event INTEGER NOT NULL,synced BOOLEAN NOT NULL);",
};

const char *const dcpQuery =
    "SELECT d.uuid AS dcp_uuid,d.title AS dcp_title,d.friendly_title AS dcp_friendly_title,d.image_url AS dcp_image_url,d.download_path AS dcp_download_path,d.user_uuid AS dcp_user_uuid,d.campaign_dcp_id AS dcp_campaign_dcp_id,r.uuid AS reel_uuid,r.reel_number AS reel_reel_number,a.uuid AS asset_uuid,a.hash AS asset_hash,a.size AS asset_size,a.type AS asset_type,a.original_filename AS asset_original_filename,a.directory_path AS asset_directory_path,a.download_url AS asset_download_url,a.download_started AS asset_download_started,a.download_finished AS asset_download_finished,a.download_checksummed AS asset_download_checksummed,a.download_corrupted AS asset_download_corrupted,a.download_attempts AS asset_download_attempts,d.id AS dcp_db_id,r.id AS reel_db_id,a.id AS asset_db_id FROM dcp_reel_asset AS dra LEFT JOIN asset AS a ON a.uuid = dra.asset_uuid AND a.dcp_uuid = dra.dcp_uuid LEFT JOIN reel AS r ON r.uuid = dra.reel_uuid LEFT JOIN dcp AS d ON d.uuid = dra.dcp_uuid ORDER BY d.id DESC, a.id ASC";

const char *const notificationColumns =
    "SELECT id,user_uuid,campaign_dcp_id,reel_uuid,reel_assets_hash,reel_number,event,synced FROM notification";

QString placeholders(int count)
{
    QString list = QString("?,").repeated(count);
    list.chop(1);
    return list;
}

// Every text column is NOT NULL: an unset text is stored as the empty text, never NULL.
QVariant text(const QString &value)
{
    return value.isNull() ? QVariant(QString("")) : QVariant(value);
}

QString assetDcpUuid(const Asset *asset)
{
    return asset->dcp() ? asset->dcp()->uuid() : QString("");
}

}

DatabaseManager *DatabaseManager::instance()
{
    // Created on first use and kept for the life of the process. A failed open throws
    // and leaves no instance behind, so start-up can report it and end in order.
    static DatabaseManager *singleton = nullptr;
    if (!singleton) {
        // The data folder and its files are the user's alone before anything is read or
        // written there.
        AppPaths::protectDataFolder();
        singleton = new DatabaseManager(AppPaths::filePath(fileName), QLatin1String(QSqlDatabase::defaultConnection));
    }
    return singleton;
}

DatabaseManager::DatabaseManager(const QString &path, const QString &connectionName)
    : m_path(path)
    , m_connectionName(connectionName)
    , m_ownerThread(QThread::currentThread())
{
    {
        // A new database is its owner's alone (SQLite gives its journal the same mode).
        AppPaths::makePrivateFile(path, true);
        QSqlDatabase db = QSqlDatabase::addDatabase("QSQLITE", connectionName);
        db.setDatabaseName(path);
        if (!db.open()) {
            qDebug() << "[DatabaseManager] Unable to open the database " << db.lastError().text();
            db = QSqlDatabase();
            QSqlDatabase::removeDatabase(connectionName);
            throw std::runtime_error("Unable to open the database");
        }
    }
    if (!createTables()) {
        qDebug() << "[DatabaseManager] Unable to query the database";
        QSqlDatabase::database(connectionName).close();
        QSqlDatabase::removeDatabase(connectionName);
        throw std::runtime_error("Unable to query the database");
    }
}

DatabaseManager::~DatabaseManager()
{
    QSqlDatabase::database(m_connectionName, false).close();
    QSqlDatabase::removeDatabase(m_connectionName);
}

QSqlDatabase DatabaseManager::database() const
{
    return QSqlDatabase::database(m_connectionName, false);
}

void DatabaseManager::checkThread() const
{
    if (QThread::currentThread() != m_ownerThread) {
        qDebug() << "[DatabaseManager] Refused a statement from a thread that does not own the connection";
        throw std::logic_error("DatabaseManager used outside its thread");
    }
}

QSqlQuery DatabaseManager::newQuery() const
{
    checkThread();
    return QSqlQuery(database());
}

void DatabaseManager::fail(const char *logText, const QSqlQuery &query, const char *exceptionText) const
{
    qDebug() << logText << query.lastError().text();
    throw std::runtime_error(exceptionText);
}

void DatabaseManager::execPrepared(QSqlQuery &query, const char *logText, const char *exceptionText)
{
    if (!query.exec())
        fail(logText, query, exceptionText);
}

void DatabaseManager::execDirect(QSqlQuery &query, const QString &statement, const char *logText, const char *exceptionText)
{
    if (!query.exec(statement))
        fail(logText, query, exceptionText);
}

bool DatabaseManager::createTables()
{
    QSqlQuery query(database());
    for (const char *statement : createStatements) {
        if (!query.exec(QString::fromLatin1(statement))) {
            qDebug() << "[DatabaseManager] Creating Tables... failed " << query.lastError().text();
            return false;
        }
    }
    qDebug() << "[DatabaseManager] Creating Tables...ok";
    return true;
}

QSqlQuery DatabaseManager::getDCPsQuery()
{
    QSqlQuery query = newQuery();
    query.setForwardOnly(true);
    execDirect(query, dcpQuery, "[DatabaseManager] Unable to run DCP query: ", "Unable to run DCP query");
    return query;
}

std::unique_ptr<DcpQueryRows> DatabaseManager::getDCPRows()
{
    sqlite3 *connection = nullptr;
    const QVariant handle = database().driver()->handle();
    if (handle.isValid() && qstrcmp(handle.typeName(), "sqlite3*") == 0)
        connection = *static_cast<sqlite3 *const *>(handle.constData());
    std::unique_ptr<DcpQueryRows> rows(new DcpQueryRows(connection, dcpQuery));
    if (!rows->isValid()) {
        qDebug() << "[DatabaseManager] Unable to run DCP query: " << rows->errorText();
        throw std::runtime_error("Unable to run DCP query");
    }
    return rows;
}

QSqlQuery DatabaseManager::getSettingsQuery()
{
    QSqlQuery query = newQuery();
    execDirect(query, "SELECT key,value FROM setting", "[DatabaseManager] Unable to run Setting query", "Unable to run Setting query");
    return query;
}

QSqlQuery DatabaseManager::getNotificationsQuery()
{
    QSqlQuery query = newQuery();
    execDirect(query, QString(notificationColumns) + " ORDER BY id ASC",
               "[DatabaseManager] Unable to run Notification query", "Unable to run Notification query");
    return query;
}

QSqlQuery DatabaseManager::getReelNotificationsQuery(const QString &reelUuid)
{
    QSqlQuery query = newQuery();
    query.prepare(QString(notificationColumns) + " WHERE reel_uuid = :reel_uuid ORDER BY id ASC");
    query.bindValue(":reel_uuid", text(reelUuid));
    execPrepared(query, "[DatabaseManager] Unable to run getReelNotificationsQuery query",
                 "Unable to run getReelNotificationsQuery query");
    return query;
}

int DatabaseManager::countUnsyncedNotifications(const QString &reelUuid)
{
    QSqlQuery query = newQuery();
    query.prepare("SELECT COUNT(*) FROM notification WHERE reel_uuid = :reel_uuid AND synced = 0");
    query.bindValue(":reel_uuid", text(reelUuid));
    execPrepared(query, "[DatabaseManager] Unable to run getReelNotificationsQuery query",
                 "Unable to run getReelNotificationsQuery query");
    if (!query.next())
        return -1;
    return query.value(0).toInt();
}

int DatabaseManager::countDCPs()
{
    QSqlQuery query = newQuery();
    query.setForwardOnly(true);
    execDirect(query, "SELECT COUNT(*) FROM dcp", "[DatabaseManager] Unable to run countDCPs query: ",
               "Unable to run countDCPs query");
    if (!query.next())
        return 0;
    return query.value(0).toInt();
}

int DatabaseManager::countUnsyncedNotifications(const QString &reelUuid, quint32 reelId)
{
    QSqlQuery query = newQuery();
    query.prepare("SELECT COUNT(*) FROM notification WHERE reel_uuid = :reel_uuid AND synced = 0 "
                  "AND substr(reel_assets_hash, 1, length(:prefix)) = :prefix");
    query.bindValue(":reel_uuid", text(reelUuid));
    query.bindValue(":prefix", QString::number(reelId) + "-");
    execPrepared(query, "[DatabaseManager] Unable to run getReelNotificationsQuery query",
                 "Unable to run getReelNotificationsQuery query");
    if (!query.next())
        return -1;
    return query.value(0).toInt();
}

QString DatabaseManager::reelKey(const QString &reelUuid, quint32 reelId)
{
    return reelUuid + " " + QString::number(reelId);
}

QHash<QString, DatabaseManager::ReelAcknowledgement> DatabaseManager::reelAcknowledgements()
{
    QSqlQuery query = newQuery();
    query.setForwardOnly(true);
    query.prepare("SELECT reel_uuid, substr(reel_assets_hash, 1, instr(reel_assets_hash, '-') - 1), MIN(synced), "
                  "MAX(event = 8 AND synced = 1) FROM notification GROUP BY 1, 2");
    execPrepared(query, "[DatabaseManager] Unable to run reelAcknowledgements query",
                 "Unable to run reelAcknowledgements query");
    QHash<QString, ReelAcknowledgement> reels;
    while (query.next()) {
        ReelAcknowledgement acknowledgement;
        acknowledgement.allSynced = query.value(2).toInt() != 0;
        acknowledgement.verified = query.value(3).toInt() != 0;
        reels.insert(query.value(0).toString() + " " + query.value(1).toString(), acknowledgement);
    }
    return reels;
}

bool DatabaseManager::insertDcp(DCP *dcp)
{
    QSqlQuery query = newQuery();
    query.prepare("INSERT INTO dcp (uuid,  title,  friendly_title,  image_url,  download_path,  user_uuid,  campaign_dcp_id) VALUES       (:uuid, :title, :friendly_title, :image_url, :download_path, :user_uuid, :campaign_dcp_id)");
    query.bindValue(":uuid", text(dcp->uuid()));
    query.bindValue(":title", text(dcp->title()));
    query.bindValue(":friendly_title", text(dcp->friendlyTitle()));
    query.bindValue(":image_url", text(dcp->imageUrl()));
    query.bindValue(":download_path", text(dcp->downloadPath()));
    query.bindValue(":user_uuid", text(dcp->userUuid()));
    query.bindValue(":campaign_dcp_id", QVariant::fromValue<quint64>(dcp->campaignDcpId()));
    execPrepared(query, "[DatabaseManager] Unable to run insertDcp query: ", "Unable to run insertDcp query");
    dcp->setDbId(quint32(query.lastInsertId().toULongLong()));
    return true;
}

bool DatabaseManager::insertReel(Reel *reel)
{
    QSqlQuery query = newQuery();
    query.prepare("INSERT INTO reel ( uuid,  dcp_uuid,  reel_number) VALUES         (:uuid, :dcp_uuid, :reel_number)");
    query.bindValue(":uuid", text(reel->uuid()));
    query.bindValue(":dcp_uuid", text(reel->getDCP() ? reel->getDCP()->uuid() : QString()));
    query.bindValue(":reel_number", QVariant::fromValue<quint32>(reel->reelNumber()));
    execPrepared(query, "[DatabaseManager] Unable to run insertReel query: ", "Unable to run insertReel query");
    reel->setDbId(quint32(query.lastInsertId().toULongLong()));
    return true;
}

bool DatabaseManager::insertAsset(Asset *asset)
{
    QSqlQuery query = newQuery();
    query.prepare("INSERT INTO asset (uuid,  dcp_uuid,  hash,  size,  type,  original_filename,  directory_path,  download_url,  download_started,  download_finished,  download_checksummed,  download_corrupted,  download_attempts) VALUES         (:uuid, :dcp_uuid, :hash, :size, :type, :original_filename, :directory_path, :download_url, :download_started, :download_finished, :download_checksummed, :download_corrupted, :download_attempts)");
    query.bindValue(":uuid", text(asset->uuid()));
    query.bindValue(":dcp_uuid", text(assetDcpUuid(asset)));
    query.bindValue(":hash", text(asset->hash()));
    query.bindValue(":size", QVariant::fromValue<quint64>(asset->size()));
    query.bindValue(":type", text(asset->type()));
    query.bindValue(":original_filename", text(asset->originalFilename()));
    query.bindValue(":directory_path", text(asset->directoryPath()));
    query.bindValue(":download_url", text(asset->downloadUrl()));
    query.bindValue(":download_started", asset->isDownloadStarted());
    query.bindValue(":download_finished", asset->isDownloadFinished());
    query.bindValue(":download_checksummed", asset->isDownloadChecksummed());
    query.bindValue(":download_corrupted", asset->isDownloadCorrupted());
    query.bindValue(":download_attempts", QVariant::fromValue<quint32>(asset->downloadAttempts()));
    execPrepared(query, "[DatabaseManager] Unable to run insertAsset query: ", "Unable to run insertAsset query");
    return true;
}

bool DatabaseManager::insertDCPReelAsset(Reel *reel, Asset *asset)
{
    QSqlQuery query = newQuery();
    query.prepare("INSERT INTO dcp_reel_asset (dcp_uuid, reel_uuid, asset_uuid) VALUES(:dcp_uuid, :reel_uuid, :asset_uuid)");
    query.bindValue(":dcp_uuid", text(assetDcpUuid(asset)));
    query.bindValue(":reel_uuid", text(reel->uuid()));
    query.bindValue(":asset_uuid", text(asset->uuid()));
    execPrepared(query, "[DatabaseManager] Unable to run insertDCPReelAsset query: ", "Unable to run insertDCPReelAsset query");
    return true;
}

bool DatabaseManager::updateAssetDownloadFields(Asset *asset)
{
    QSqlQuery query = newQuery();
    query.prepare("UPDATE asset SET download_started = :download_started, download_finished = :download_finished, download_checksummed = :download_checksummed, download_corrupted = :download_corrupted, download_attempts = :download_attempts WHERE uuid = :uuid AND dcp_uuid = :dcp_uuid");
    query.bindValue(":download_started", asset->isDownloadStarted());
    query.bindValue(":download_finished", asset->isDownloadFinished());
    query.bindValue(":download_checksummed", asset->isDownloadChecksummed());
    query.bindValue(":download_corrupted", asset->isDownloadCorrupted());
    query.bindValue(":download_attempts", QVariant::fromValue<quint32>(asset->downloadAttempts()));
    query.bindValue(":uuid", text(asset->uuid()));
    query.bindValue(":dcp_uuid", text(assetDcpUuid(asset)));
    execPrepared(query, "[DatabaseManager] Unable to run updateAssetDownloadFields: ", "Unable to run updateAssetDownloadFields");
    return true;
}

bool DatabaseManager::updateAssetDownloadUrl(Asset *asset, const QString &url)
{
    QSqlQuery query = newQuery();
    query.prepare("UPDATE asset SET download_url = :download_url WHERE uuid = :uuid AND dcp_uuid = :dcp_uuid");
    query.bindValue(":download_url", text(url));
    query.bindValue(":uuid", text(asset->uuid()));
    query.bindValue(":dcp_uuid", text(assetDcpUuid(asset)));
    execPrepared(query, "[DatabaseManager] Unable to run updateAssetDownloadUrl: ", "Unable to run updateAssetDownloadUrl");
    return true;
}

bool DatabaseManager::removeAsset(Asset *asset)
{
    QSqlQuery query = newQuery();
    query.prepare("DELETE FROM asset WHERE uuid = :uuid AND dcp_uuid = :dcp_uuid");
    query.bindValue(":uuid", text(asset->uuid()));
    query.bindValue(":dcp_uuid", text(assetDcpUuid(asset)));
    execPrepared(query, "[DatabaseManager] Unable to run removeAsset [asset] query: ", "Unable to run removeAsset [asset] query");
    return true;
}

bool DatabaseManager::removeReel(Reel *reel)
{
    QSqlQuery reelQuery = newQuery();
    reelQuery.prepare("DELETE FROM reel WHERE uuid = :uuid");
    reelQuery.bindValue(":uuid", text(reel->uuid()));
    execPrepared(reelQuery, "[DatabaseManager] Unable to run removeReel [reel] query: ", "Unable to run removeReel [reel] query");

    QSqlQuery linkQuery = newQuery();
    linkQuery.prepare("DELETE FROM dcp_reel_asset WHERE reel_uuid = :uuid");
    linkQuery.bindValue(":uuid", text(reel->uuid()));
    execPrepared(linkQuery, "[DatabaseManager] Unable to run removeReel [dcp_reel_asset] query: ",
                 "Unable to run removeReel [dcp_reel_asset] query");
    return true;
}

bool DatabaseManager::removeDCP(DCP *dcp)
{
    const QList<Asset *> assets = dcp->getAssets();
    const QList<Reel *> reels = dcp->getReels();
    const QString reelList = placeholders(reels.size());

    QSqlQuery assetQuery = newQuery();
    QSqlQuery reelQuery = newQuery();
    QSqlQuery linkQuery = newQuery();
    QSqlQuery dcpQuery = newQuery();

    assetQuery.prepare(QString("DELETE FROM asset WHERE uuid IN(%1) AND dcp_uuid = ?").arg(placeholders(assets.size())));
    int position = 0;
    for (Asset *asset : assets)
        assetQuery.bindValue(position++, asset->uuid());
    assetQuery.bindValue(position, dcp->uuid());

    reelQuery.prepare(QString("DELETE FROM reel WHERE uuid IN(%1)").arg(reelList));
    linkQuery.prepare(QString("DELETE FROM dcp_reel_asset WHERE reel_uuid IN(%1)").arg(reelList));
    position = 0;
    for (Reel *reel : reels) {
        reelQuery.bindValue(position, reel->uuid());
        linkQuery.bindValue(position, reel->uuid());
        ++position;
    }

    dcpQuery.prepare("DELETE FROM dcp WHERE uuid = :uuid");
    dcpQuery.bindValue(":uuid", text(dcp->uuid()));

    execPrepared(assetQuery, "[DatabaseManager] Unable to run removeDCP [assets] query: ", "Unable to run removeDCP [assets] query");
    execPrepared(reelQuery, "[DatabaseManager] Unable to run removeDCP [reels] query: ", "Unable to run removeDCP [reels] query");
    execPrepared(linkQuery, "[DatabaseManager] Unable to run removeDCP [dcp_reel_assets] query: ",
                 "Unable to run removeDCP [dcp_reel_assets] query");
    execPrepared(dcpQuery, "[DatabaseManager] Unable to run removeDCP [dcp] query: ", "Unable to run removeDCP [dcp] query");
    return true;
}

int DatabaseManager::removeLeftoverDCPRows(const QString &dcpUuid)
{
    static const struct {
        const char *statement;
        const char *logText;
        const char *exceptionText;
    } deletes[] = {
        {"DELETE FROM dcp_reel_asset WHERE dcp_uuid = :uuid",
         "[DatabaseManager] Unable to run removeLeftoverDCPRows [dcp_reel_asset] query: ",
         "Unable to run removeLeftoverDCPRows [dcp_reel_asset] query"},
        {"DELETE FROM asset WHERE dcp_uuid = :uuid", "[DatabaseManager] Unable to run removeLeftoverDCPRows [asset] query: ",
         "Unable to run removeLeftoverDCPRows [asset] query"},
        {"DELETE FROM reel WHERE dcp_uuid = :uuid", "[DatabaseManager] Unable to run removeLeftoverDCPRows [reel] query: ",
         "Unable to run removeLeftoverDCPRows [reel] query"},
        {"DELETE FROM dcp WHERE uuid = :uuid", "[DatabaseManager] Unable to run removeLeftoverDCPRows [dcp] query: ",
         "Unable to run removeLeftoverDCPRows [dcp] query"},
    };
    int removed = 0;
    for (const auto &d : deletes) {
        QSqlQuery query = newQuery();
        query.prepare(d.statement);
        query.bindValue(":uuid", text(dcpUuid));
        execPrepared(query, d.logText, d.exceptionText);
        removed += std::max(0, query.numRowsAffected());
    }
    return removed;
}

bool DatabaseManager::insertSetting(const QString &key, const QString &value)
{
    QSqlQuery query = newQuery();
    query.prepare("INSERT INTO setting (key,  value) VALUES           (:key, :value)");
    query.bindValue(":key", text(key));
    query.bindValue(":value", text(value));
    execPrepared(query, "[DatabaseManager] Unable to run insertSetting query: ", "Unable to run insertSetting query");
    return true;
}

bool DatabaseManager::truncateSettings()
{
    QSqlQuery query = newQuery();
    execDirect(query, "DELETE FROM setting", "[DatabaseManager] Unable to run truncateSettings query: ", "Unable to run truncateSettings query");
    return true;
}

bool DatabaseManager::insertNotification(Notification *notification)
{
    QSqlQuery query = newQuery();
    query.prepare("INSERT INTO notification (user_uuid,  campaign_dcp_id,  reel_uuid,  reel_assets_hash,  reel_number,  event,  synced) VALUES                  (:user_uuid, :campaign_dcp_id, :reel_uuid, :reel_assets_hash, :reel_number, :event, :synced)");
    query.bindValue(":user_uuid", text(notification->user_uuid));
    query.bindValue(":campaign_dcp_id", QVariant::fromValue<quint64>(notification->campaign_dcp_id));
    query.bindValue(":reel_uuid", text(notification->reel_uuid));
    query.bindValue(":reel_assets_hash", text(notification->reel_assets_hash));
    query.bindValue(":reel_number", QVariant::fromValue<quint32>(notification->reel_number));
    query.bindValue(":event", QVariant::fromValue<qint32>(qint32(notification->event)));
    query.bindValue(":synced", notification->synced);
    execPrepared(query, "[DatabaseManager] Unable to run insertNotification query: ", "Unable to run insertNotification query");
    notification->id = quint64(query.lastInsertId().toLongLong());
    return true;
}

bool DatabaseManager::updateNotificationSynced(Notification *notification)
{
    QSqlQuery query = newQuery();
    query.prepare("UPDATE notification SET synced = :synced WHERE id = :db_id");
    query.bindValue(":synced", notification->synced);
    query.bindValue(":db_id", QVariant::fromValue<quint64>(notification->id));
    execPrepared(query, "[DatabaseManager] Unable to run updateNotificationSynced: ", "Unable to run updateNotificationSynced");
    return true;
}

bool DatabaseManager::beginTransaction()
{
    checkThread();
    if (m_transactionDepth > 0) {
        ++m_transactionDepth;
        return true;
    }
    if (!database().transaction()) {
        qDebug() << "[DatabaseManager] Unable to begin a transaction" << database().lastError().text();
        return false;
    }
    m_transactionDepth = 1;
    m_transactionFailed = false;
    return true;
}

bool DatabaseManager::commitTransaction()
{
    checkThread();
    if (m_transactionDepth == 0)
        return false;
    if (--m_transactionDepth > 0)
        return !m_transactionFailed;
    if (m_transactionFailed) {
        database().rollback();
        return false;
    }
    if (!database().commit()) {
        qDebug() << "[DatabaseManager] Unable to commit a transaction" << database().lastError().text();
        database().rollback();
        return false;
    }
    return true;
}

void DatabaseManager::rollbackTransaction()
{
    checkThread();
    if (m_transactionDepth == 0)
        return;
    m_transactionFailed = true;
    if (--m_transactionDepth == 0) {
        database().rollback();
        m_transactionFailed = false;
    }
}
