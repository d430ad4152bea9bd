#pragma once

#include <QString>

class DatabaseManager;

// Writes catalogue rows the way an earlier run would have left them, without going
// through the DCP list (which loads only once per process).
namespace CatalogueRows {

struct AssetRow
{
    AssetRow(const QString &assetUuid, quint64 bytes = 1000, const QString &subFolder = QString())
        : uuid(assetUuid)
        , size(bytes)
        , directory(subFolder)
    {
    }

    QString uuid;
    quint64 size = 1000;
    QString directory;
    bool finished = false;
    bool checksummed = false;
    bool corrupted = false;
    quint32 attempts = 0;
};

void insertDcp(DatabaseManager *db, const QString &uuid, const QString &title, const QString &downloadPath);
void insertReel(DatabaseManager *db, const QString &dcpUuid, const QString &reelUuid, quint32 number);
void insertAsset(DatabaseManager *db, const QString &dcpUuid, const AssetRow &asset);
void link(DatabaseManager *db, const QString &dcpUuid, const QString &reelUuid, const QString &assetUuid);
int count(DatabaseManager *db, const QString &sql);

}
