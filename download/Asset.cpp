#include "download/Asset.h"

#include "catalogue/DCP.h"
#include "catalogue/DCPManager.h"
#include "catalogue/DatabaseManager.h"
#include "catalogue/Reel.h"
#include "download/FileManager.h"

#include <QDebug>
#include <QFile>

#include <stdexcept>

Asset::Asset(const QString &uuid, const QString &hash, quint64 size, const QString &type,
             const QString &originalFilename, const QString &downloadUrl)
    : m_uuid(uuid)
    , m_hash(hash)
    , m_size(size)
    , m_type(type)
    , m_originalFilename(originalFilename)
    , m_downloadUrl(downloadUrl)
{
}

Asset::~Asset()
{
    closeFile();
}

QString Asset::filePath() const
{
    QString path = m_dcp->downloadPath() + "/" + m_dcp->title();
    if (!m_directoryPath.isEmpty())
        path += "/" + m_directoryPath;
    return path + "/" + m_originalFilename;
}

QFile *Asset::file()
{
    if (m_file)
        return m_file;
    const QString path = filePath();
    // Nothing below the destination is followed: a link planted in the DCP's folder is
    // never written through.
    m_file = FileManager::openFile(m_dcp->downloadPath(), path, true, true);
    if (!m_file) {
        qDebug() << "[Asset] Unable to open Asset " << path;
        throw std::runtime_error("[Asset] Unable to open Asset");
    }
    return m_file;
}

bool Asset::closeFile()
{
    if (!m_file)
        return false;
    m_file->close();
    delete m_file;
    m_file = nullptr;
    return true;
}

bool Asset::isDownloadEligible() const
{
    if (isDownloadFinished())
        return false;
    const quint32 attempts = downloadAttempts();
    return !isDownloadChecksummed() || attempts <= 1 || (attempts == 2 && !isDownloadCorrupted());
}

quint64 Asset::sizeOnDisk() const
{
    return FileManager::fileSize(filePath());
}

bool Asset::reveal()
{
    return FileManager::unhideFile(filePath());
}

void Asset::sync()
{
    if (DCPManager::instance()->getAsset(m_uuid, m_dcp->uuid())) {
        qDebug() << "[Asset] Syncing asset (ignored exists)..." << m_uuid;
        return;
    }
    qDebug() << "[Asset] Syncing asset..." << m_uuid;
    DatabaseManager *database = DatabaseManager::instance();
    database->insertAsset(this);
    for (Reel *reel : qAsConst(m_reels))
        database->insertDCPReelAsset(reel, this);
    DCPManager::instance()->addAssetToIndex(this);
}

void Asset::removeFromDatabase()
{
    qDebug() << "[Asset] Removing Asset from DB... " << m_uuid;
    DatabaseManager::instance()->removeAsset(this);
}

void Asset::removeFromFileSystem()
{
    qDebug() << "[Asset] Removing Asset from FileSystem..." << m_uuid;
    FileManager::removeFile(filePath());
}

QString stripPrefix(const QString &text, const QString &prefix)
{
    return text.startsWith(prefix, Qt::CaseSensitive) ? text.mid(prefix.size()) : text;
}

QString stripUrnUuid(const QString &text)
{
    return stripPrefix(text, QStringLiteral("urn:uuid:"));
}
