#pragma once

// Shared pieces of the download pipeline tests: synthetic DCPs written by the pack tool's
// generator into one source folder that the portal stand-in serves, catalogue entries built
// from them (DCP, reels, assets with the stand-in's URLs), and checks on the files that
// the engine writes.

#include "DcpGenerator.h"
#include "PackageBuilder.h"
#include "PortalStandin.h"

#include "catalogue/DCP.h"
#include "catalogue/DCPManager.h"
#include "catalogue/DatabaseManager.h"
#include "catalogue/Reel.h"
#include "download/Asset.h"
#include "download/DownloadManager.h"
#include "download/FileManager.h"
#include "portal/NotificationManager.h"
#include "support/TestMain.h"

#include <QCryptographicHash>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QSet>
#include <QSqlQuery>
#include <QString>
#include <QVector>
#include <QtTest>

#include <stdexcept>
#include <string>

namespace DownloadFixture {

inline const QString &userUuid()
{
    static const QString uuid = QStringLiteral("5d0c43f6-7e1a-4c57-9a8e-2f1b6f0d3c21");
    return uuid;
}

inline QString sourceRoot()
{
    const QString path = TestSupport::dataDir() + "/sources";
    QDir().mkpath(path);
    return path;
}

inline QString downloadRoot()
{
    const QString path = TestSupport::dataDir() + "/downloads";
    QDir().mkpath(path);
    return path;
}

// A DCP folder under sourceRoot(), named after the title.
inline GeneratedDcp generate(const QString &title, int reels, quint64 totalSize, quint64 seed)
{
    DcpGeneratorOptions options;
    options.outDir = sourceRoot();
    options.title = title;
    options.reels = reels;
    options.totalSize = totalSize;
    options.seed = seed;
    GeneratedDcp dcp;
    QString error;
    if (!generateDcp(options, dcp, &error))
        throw std::runtime_error(("cannot generate a DCP: " + error).toStdString());
    return dcp;
}

inline bool isTrackTag(const QString &tag)
{
    return tag.startsWith("picture:") || tag.startsWith("sound:") || tag.startsWith("subtitle:")
        || tag.startsWith("font:");
}

// The files a download brings: the track files of the ordered reels (not the CPL).
inline QVector<GeneratedAsset> trackAssets(const GeneratedDcp &dcp)
{
    QVector<GeneratedAsset> out;
    for (const GeneratedAsset &a : dcp.assets) {
        if (a.inPkl && !a.relativePath.isEmpty() && isTrackTag(a.tag))
            out.append(a);
    }
    return out;
}

inline int reelNumberOf(const GeneratedAsset &asset)
{
    return asset.tag.mid(asset.tag.indexOf(':') + 1).toInt();
}

// Path of a generated file relative to the stand-in's asset root; the key of its faults.
inline std::string relativePath(const GeneratedDcp &dcp, const GeneratedAsset &asset)
{
    return (QFileInfo(dcp.path).fileName() + "/" + asset.relativePath).toStdString();
}

inline QString sourcePath(const GeneratedDcp &dcp, const GeneratedAsset &asset)
{
    return dcp.path + "/" + asset.relativePath;
}

// Catalogue objects for a generated DCP, downloading from the stand-in, not yet stored.
inline DCP *buildDcp(const PortalStandin &standin, const GeneratedDcp &generated, quint64 campaignDcpId,
                     const QString &downloadPath = downloadRoot())
{
    DCP *dcp = new DCP(generated.cplUuid, generated.title, QString(), downloadPath);
    dcp->setFriendlyTitle(generated.title + " Friendly");
    dcp->setUserUuid(userUuid());
    dcp->setCampaignDcpId(campaignDcpId);
    QVector<Reel *> reels;
    for (int i = 0; i < generated.reelUuids.size(); ++i) {
        Reel *reel = new Reel(generated.reelUuids.at(i), quint32(i + 1));
        reel->setDCP(dcp);
        dcp->addReel(reel);
        reels.append(reel);
    }
    for (const GeneratedAsset &a : trackAssets(generated)) {
        const QFileInfo rel(a.relativePath);
        Asset *asset = new Asset(a.uuid, a.hash, a.size, a.type, rel.fileName(),
                                 QString::fromStdString(standin.assetUrl(relativePath(generated, a))));
        asset->setDirectoryPath(rel.path() == "." ? QString() : rel.path());
        asset->setDcp(dcp);
        Reel *reel = reels.value(reelNumberOf(a) - 1);
        asset->addReel(reel);
        reel->addAsset(asset);
        dcp->addAsset(asset);
    }
    return dcp;
}

// Stores the DCP as the import does and, unless told otherwise, asks for the queue.
inline void store(DCP *dcp, bool rebuild = true)
{
    dcp->sync();
    DCPManager::instance()->addDCP(dcp);
    if (rebuild)
        DCPManager::instance()->rebuildDownloadQueue();
}

// An order package at path for one generated DCP whose assets the stand-in serves,
// encrypted with key; false with the reason in *error when it cannot be written.
inline bool writeOrder(const PortalStandin &standin, const GeneratedDcp &generated, qint64 campaignDcpId,
                       const QString &friendlyTitle, const QString &path, const QString &key, QString *error)
{
    PackageOptions options;
    options.baseUrl = QString::fromStdString(standin.baseUrl()) + "/assets/{dcp}";
    options.userUuid = userUuid();
    PackageDcpOptions entry;
    entry.dir = generated.path;
    entry.campaignDcpId = campaignDcpId;
    entry.friendlyTitle = friendlyTitle;
    options.dcps.append(entry);
    QJsonObject json;
    return buildPackageJson(options, json, error)
        && writePackageFile(path, key.toUtf8(), QJsonDocument(json).toJson(QJsonDocument::Compact), error);
}

// Runs this process's engine against the stand-in, which serves the generated DCPs and
// acknowledges reel events (polled every 50 ms); a stalled transfer is given up after
// stallTimeoutMs. Messages also reach the test's debug.log.
inline DownloadManager *startEngine(PortalStandin &standin, quint32 stallTimeoutMs)
{
    TestSupport::captureLog();
    if (!standin.start())
        throw std::runtime_error("cannot start the portal stand-in");
    standin.setAssetRoot(sourceRoot().toStdString());
    qputenv("TOLVANE_NOTIFICATION_URL", QByteArray::fromStdString(standin.baseUrl()));
    NotificationManager::instance()->setConsumerInterval(50);
    DownloadManager *manager = DownloadManager::instance();
    manager->timeoutInterval = stallTimeoutMs;
    return manager;
}

// The stand-in sends the file of one generated asset at the given pace; its relative path.
inline std::string throttle(PortalStandin &standin, const GeneratedDcp &dcp, const QString &tag,
                            std::uint64_t bytesPerSecond)
{
    const std::string path = relativePath(dcp, *dcp.asset(tag));
    AssetFault fault = standin.assetFault(path);
    fault.throttleBytesPerSecond = bytesPerSecond;
    standin.setAssetFault(path, fault);
    return path;
}

// The stand-in sends the byte at offset of one generated asset's file wrong, in the next
// `times` responses that cover it; the asset's relative path.
inline std::string flipByte(PortalStandin &standin, const GeneratedDcp &dcp, const QString &tag, qint64 offset,
                            int times = 1)
{
    const std::string path = relativePath(dcp, *dcp.asset(tag));
    AssetFault fault = standin.assetFault(path);
    fault.flipOffset = offset;
    fault.flipRequests = times;
    standin.setAssetFault(path, fault);
    return path;
}

inline void setFault(PortalStandin &standin, const GeneratedDcp &dcp, const AssetFault &fault)
{
    for (const GeneratedAsset &a : trackAssets(dcp))
        standin.setAssetFault(relativePath(dcp, a), fault);
}

inline QByteArray readAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

inline QString base64Sha1(const QString &path)
{
    return QString::fromLatin1(QCryptographicHash::hash(readAll(path), QCryptographicHash::Sha1).toBase64());
}

inline Asset *assetOf(DCP *dcp, const GeneratedAsset &a)
{
    return dcp->getAsset(a.uuid);
}

// Every file of the reel holds exactly the bytes of its source.
inline bool filesMatchSource(const Reel *reel, const GeneratedDcp &generated)
{
    for (const GeneratedAsset &a : trackAssets(generated)) {
        for (Asset *asset : reel->getAssets()) {
            if (asset->uuid() == a.uuid && base64Sha1(asset->filePath()) != a.hash) {
                qWarning() << "content differs:" << asset->filePath() << QFileInfo(asset->filePath()).size() << "of"
                           << a.size;
                return false;
            }
        }
    }
    return true;
}

inline bool allHidden(const Reel *reel)
{
    for (Asset *asset : reel->getAssets()) {
        if (!FileManager::isHidden(asset->filePath()))
            return false;
    }
    return !reel->getAssets().isEmpty();
}

inline bool noneHidden(const Reel *reel)
{
    for (Asset *asset : reel->getAssets()) {
        if (!QFileInfo(asset->filePath()).isFile() || FileManager::isHidden(asset->filePath()))
            return false;
    }
    return true;
}

// Requests the stand-in saw for one file, in order.
inline std::vector<AssetRequest> requestsFor(const PortalStandin &standin, const std::string &path)
{
    std::vector<AssetRequest> out;
    for (const AssetRequest &r : standin.assetRequests()) {
        if (r.path == path)
            out.push_back(r);
    }
    return out;
}

// Events the portal was told about for one campaign and reel, in the order sent.
inline QList<int> sentEvents(const PortalStandin &standin, quint64 campaignDcpId, int reelNumber)
{
    QList<int> events;
    for (const NotificationRequest &r : standin.notificationRequests()) {
        if (r.value("campaign_dcp_id") == std::to_string(campaignDcpId)
            && r.value("reel_number") == std::to_string(reelNumber))
            events.append(std::stoi(r.value("event")));
    }
    return events;
}

struct NotificationRow {
    QString hash;
    int event = 0;
    bool synced = false;
};

inline QList<NotificationRow> notificationRows(const QString &reelUuid)
{
    QList<NotificationRow> rows;
    QSqlQuery query = DatabaseManager::instance()->getReelNotificationsQuery(reelUuid);
    while (query.next())
        rows.append({query.value(4).toString(), query.value(6).toInt(), query.value(7).toBool()});
    return rows;
}

inline QSet<int> eventsOf(const QList<NotificationRow> &rows)
{
    QSet<int> events;
    for (const NotificationRow &row : rows)
        events.insert(row.event);
    return events;
}

inline QList<int> sorted(QList<int> list)
{
    std::sort(list.begin(), list.end());
    return list;
}

// Writes the first `length` bytes of a source file where the engine will look for the
// partial file of the asset.
// Waits until every reel of the DCP has passed verification and every event, of any reel,
// has been acknowledged by the portal.
inline bool waitVerifiedAndSynced(DCP *dcp, int timeoutMs = 20000)
{
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < timeoutMs) {
        bool done = NotificationManager::instance()->pendingNotifications.isEmpty();
        for (Reel *reel : dcp->getReels())
            done = done && reel->isChecksummed() && reel->isSynced();
        if (done)
            return true;
        QTest::qWait(20);
    }
    return false;
}

inline bool writePrefix(const QString &source, const QString &destination, qint64 length)
{
    QDir().mkpath(QFileInfo(destination).absolutePath());
    QFile out(destination);
    if (!out.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    return out.write(readAll(source).left(int(length))) == length;
}

// Lists an asset of one reel in another reel of the same DCP as well.
inline void alsoList(Reel *reel, Asset *asset)
{
    asset->addReel(reel);
    reel->addAsset(asset);
}

// Puts the whole file of a generated asset where the engine keeps it and marks the asset
// downloaded, as a download that ended before a restart leaves it; with flipOffset, that
// byte of the file is wrong.
inline bool placeDownloaded(const GeneratedDcp &generated, DCP *dcp, const QString &tag, qint64 flipOffset = -1)
{
    const GeneratedAsset &source = *generated.asset(tag);
    Asset *asset = dcp->getAsset(source.uuid);
    QByteArray bytes = readAll(sourcePath(generated, source));
    if (bytes.size() != qint64(source.size))
        return false;
    if (flipOffset >= 0)
        bytes[int(flipOffset)] = char(bytes.at(int(flipOffset)) ^ 0xFF);
    QDir().mkpath(QFileInfo(asset->filePath()).absolutePath());
    QFile out(asset->filePath());
    if (!out.open(QIODevice::WriteOnly | QIODevice::Truncate) || out.write(bytes) != bytes.size())
        return false;
    asset->setDownloadStarted(true);
    asset->setDownloadFinished(true);
    return true;
}

}
