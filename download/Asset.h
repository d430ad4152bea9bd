#pragma once

#include <QList>
#include <QString>

#include <atomic>

class DCP;
class Reel;
class QFile;

// One file of a DCP: where it comes from, where it goes, what it must hash to and how
// far its download has come. The download flags are atomic because the window reads
// them on the main thread while verification results arrive; every change is followed
// by DatabaseManager::updateAssetDownloadFields.
class Asset
{
public:
    Asset(const QString &uuid, const QString &hash, quint64 size, const QString &type,
          const QString &originalFilename, const QString &downloadUrl);
    ~Asset();

    Asset(const Asset &) = delete;
    Asset &operator=(const Asset &) = delete;

    static constexpr int MaxRedirects = 3;
    int redirectsLeft = MaxRedirects;

    QString uuid() const { return m_uuid; }
    QString hash() const { return m_hash; }
    quint64 size() const { return m_size; }
    QString type() const { return m_type; }
    QString originalFilename() const { return m_originalFilename; }
    QString directoryPath() const { return m_directoryPath; }
    QString downloadUrl() const { return m_downloadUrl; }
    DCP *dcp() const { return m_dcp; }
    QList<Reel *> reels() const { return m_reels; }

    bool isDownloadStarted() const { return m_downloadStarted.load(); }
    bool isDownloadFinished() const { return m_downloadFinished.load(); }
    bool isDownloadChecksummed() const { return m_downloadChecksummed.load(); }
    bool isDownloadCorrupted() const { return m_downloadCorrupted.load(); }
    quint32 downloadAttempts() const { return m_downloadAttempts.load(); }
    // Whether the download queue takes it: not finished, and not corrupted for good.
    bool isDownloadEligible() const;

    void setDirectoryPath(const QString &path) { m_directoryPath = path; }
    void setDownloadUrl(const QString &url) { m_downloadUrl = url; }
    void setDownloadAttempts(quint32 attempts) { m_downloadAttempts.store(attempts); }
    void setDownloadStarted(bool value) { m_downloadStarted.store(value); }
    void setDownloadFinished(bool value) { m_downloadFinished.store(value); }
    void setDownloadChecksummed(bool value) { m_downloadChecksummed.store(value); }
    void setDownloadCorrupted(bool value) { m_downloadCorrupted.store(value); }
    void setDcp(DCP *dcp) { m_dcp = dcp; }
    void addReel(Reel *reel) { m_reels.append(reel); }
    void removeReel(Reel *reel) { m_reels.removeAll(reel); }

    QString filePath() const;
    // The open file, opened (created hidden when new) on first use; throws
    // std::runtime_error when it cannot be opened.
    QFile *file();
    bool closeFile();
    quint64 sizeOnDisk() const;
    bool reveal();

    void sync();
    void removeFromDatabase();
    void removeFromFileSystem();

private:
    QString m_uuid;
    QString m_hash;
    quint64 m_size;
    QString m_type;
    QString m_originalFilename;
    QString m_directoryPath;
    QString m_downloadUrl;
    std::atomic<bool> m_downloadStarted{false};
    std::atomic<bool> m_downloadFinished{false};
    std::atomic<bool> m_downloadChecksummed{false};
    std::atomic<bool> m_downloadCorrupted{false};
    std::atomic<quint32> m_downloadAttempts{0};
    QFile *m_file = nullptr;
    DCP *m_dcp = nullptr;
    QList<Reel *> m_reels;
};

// text without prefix when it starts with exactly that prefix, otherwise text unchanged.
QString stripPrefix(const QString &text, const QString &prefix);
// The bare UUID of "urn:uuid:..." (case-sensitive).
QString stripUrnUuid(const QString &text);
