#include "import/DCPXMLReader.h"

#include "base/UserInteraction.h"
#include "catalogue/DCP.h"
#include "catalogue/DCPManager.h"
#include "catalogue/DatabaseManager.h"
#include "catalogue/DatabaseTransaction.h"
#include "catalogue/Reel.h"
#include "download/Asset.h"
#include "download/FileManager.h"
#include "download/Platform.h"
#include "import/DCPXMLReaderException.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonParseError>
#include <QStandardPaths>

#include <algorithm>
#include <limits>
#include <stdexcept>

namespace {

UserInteraction::Button ask(UserInteraction::Icon icon, const QString &text, const QString &informativeText,
                            UserInteraction::Buttons buttons, UserInteraction::Button defaultButton)
{
    UserInteraction::Message message;
    message.icon = icon;
    message.text = text;
    message.informativeText = informativeText;
    message.buttons = buttons;
    message.defaultButton = defaultButton;
    return UserInteraction::current()->showMessage(message);
}

// A QML file dialog hands over "file:///C:/dir/pkg.orvdcp" on Windows and
// "file:///home/dir/pkg.orvdcp" elsewhere; both become the local path. The scheme is
// matched case-sensitively, so "FILE:" stays and the file fails to open.
QString localPackagePath(const QString &path)
{
    QString local = QDir::cleanPath(path);
    if (!local.startsWith(QLatin1String("file:/")))
        return local;
    const QString rest = local.mid(6);
    const bool driveLetter = rest.size() >= 2 && rest.at(0).isLetter() && rest.at(1) == QLatin1Char(':');
    return driveLetter ? rest : local.mid(5);
}

}

DCPXMLReader::DCPXMLReader(const QString &decodingKey)
    : m_decodingKey(decodingKey)
{
}

DCPXMLReader::~DCPXMLReader()
{
    resetDcp();
}

QByteArray DCPXMLReader::decryptPackage(const QByteArray &key, const QByteArray &file)
{
    return PackageDocuments::decrypt(key, file);
}

bool DCPXMLReader::loadPackage(const QString &path)
{
    const QString local = localPackagePath(path);
    QFile file(local);
    if (!file.open(QIODevice::ReadOnly)) {
        qDebug() << "[DCPXMLReader] Could not open JSON package: " << local;
        ask(UserInteraction::Icon::Warning, "Could not open the ORVDCP file.",
            "Please check to see if you have read permission for the file.", UserInteraction::Ok,
            UserInteraction::NoButton);
        return false;
    }
    const QByteArray bytes = file.readAll();
    file.close();

    try {
        const QByteArray key = PackageDocuments::cipherKey(m_decodingKey);
        if (key.isEmpty()) {
            qDebug() << "[DCPXMLReader] Decoding key is shorter than 32 bytes, aborting...";
            throw DCPXMLReaderException::decodeFailed();
        }
        QJsonParseError error;
        const QJsonDocument document = QJsonDocument::fromJson(decryptPackage(key, bytes), &error);
        if (error.error != QJsonParseError::NoError) {
            qDebug() << "[DCPXMLReader] Cannot parse the JSON package: " << error.errorString();
            throw DCPXMLReaderException::decodeFailed();
        }
        const QJsonObject package = document.object();

        const quint32 version = quint32(PackageDocuments::readVersion(package.value("version")));
        if (version < PackageDocuments::formatVersion)
            throw DCPXMLReaderException::packageOutdated();
        if (version > PackageDocuments::formatVersion)
            throw DCPXMLReaderException::softwareOutdated();

        const QString userUuid = package.value("user_uuid").toString();
        if (userUuid.size() != 36) {
            qDebug() << "[DCPXMLReader] No User UUID found, aborting...";
            throw DCPXMLReaderException::dataMissing();
        }
        m_userUuid = userUuid;

        // A package names one or more DCPs; anything else is a damaged package.
        const QJsonValue dcpsValue = package.value("dcps");
        if (!dcpsValue.isArray() || dcpsValue.toArray().isEmpty()) {
            qDebug() << "[DCPXMLReader] Missing Data, aborting...";
            throw DCPXMLReaderException::dataMissing();
        }
        const QJsonArray dcps = dcpsValue.toArray();
        QString destination;
        if (!destinationPass(dcps, PackageDocuments::readProjectSize(package.value("project_size")), destination))
            return false;

        for (const QJsonValue &element : dcps)
            handleDcpElement(element.toObject(), destination);
    } catch (const DCPXMLReaderException &exception) {
        const UserInteraction::Button answer =
            ask(UserInteraction::Icon::Warning, exception.question(), exception.explanation(),
                UserInteraction::Yes | UserInteraction::No, UserInteraction::Yes);
        if (answer == UserInteraction::Yes)
            UserInteraction::current()->openUrl(exception.url());
        resetDcp();
        return false;
    }
    resetDcp();
    return true;
}

bool DCPXMLReader::destinationPass(const QJsonArray &dcps, qint64 projectSize, QString &destination)
{
    for (const QJsonValue &element : dcps) {
        if (DCPManager::instance()->getDCP(element.toObject().value("dcp_uuid").toString()))
            continue;
        destination = chooseDestination();
        if (destination.isEmpty()) {
            qDebug() << "[DCPXMLReader] Canceled importing dcp (user did not select any download location)";
            return false;
        }
        if (checkFatDrive(destination)) {
            qDebug() << "[DCPXMLReader] Canceled importing dcp (FAT hard drive detected)";
            return false;
        }
        if (confirmLocalDrive(destination)) {
            qDebug() << "[DCPXMLReader] Canceled importing dcp (local hard drive rejected by user) " << destination;
            return false;
        }
        if (!confirmDiskSpace(destination, projectSize)) {
            qDebug() << "[DCPXMLReader] Canceled importing dcp (not enough space on disk, aborted by user) "
                     << destination;
            return false;
        }
        return true;
    }
    return true;
}

bool DCPXMLReader::handleDcpElement(const QJsonObject &element, const QString &destination)
{
    const QJsonArray assetPairs = element.value("assets").toArray();
    const QJsonArray reelSelection = element.value("reels").toArray();
    if (reelSelection.isEmpty()) {
        qDebug() << "[DCPXMLReader] No Reel(s) selected, aborting...";
        throw DCPXMLReaderException::noReels();
    }
    const qint64 campaignDcpId = PackageDocuments::readCampaignDcpId(element.value("campaign_dcp_id"));
    if (campaignDcpId == 0) {
        qDebug() << "[DCPXMLReader] No Campaign DCP ID found, aborting...";
        throw DCPXMLReaderException::dataMissing();
    }
    setPackageFields(m_userUuid, campaignDcpId, element.value("friendly_title").toString(),
                     element.value("dcp_image_url").toString(), reelSelection, assetPairs);
    setDocuments(PackageDocuments::decodeDocument(element.value("cpl_xml")), element.value("cpl_xml_name").toString(),
                 PackageDocuments::decodeDocument(element.value("pkl_xml")), element.value("pkl_xml_name").toString(),
                 PackageDocuments::decodeDocument(element.value("asset_map_xml")),
                 PackageDocuments::decodeDocument(element.value("volindex_xml")));
    if (m_cplXml.isEmpty() || m_pklXml.isEmpty() || m_assetMapXml.isEmpty() || m_volIndexXml.isEmpty()
        || m_imageUrl.isEmpty()) {
        qDebug() << "[DCPXMLReader] Missing Data, aborting...";
        throw DCPXMLReaderException::dataMissing();
    }

    resetDcp();
    if (!parseAssetMap(PackageDocuments::documentText(m_assetMapXml))
        || !parseCPL(PackageDocuments::documentText(m_cplXml)) || !parsePKL(PackageDocuments::documentText(m_pklXml))) {
        qDebug() << "[DCPXMLReader] One of the XML assets could not be parsed, aborting...";
        throw DCPXMLReaderException::dataMissing();
    }

    const QString dcpUuid = element.value("dcp_uuid").toString();
    DCP *existing = DCPManager::instance()->getDCP(dcpUuid);
    m_downloadPath = existing ? existing->downloadPath() : destination;

    buildDCP();
    applyAssetUrls();
    applyChunkPaths();
    // Nothing to download: no ordered reel has a file that the CPL, the PKL and the
    // ASSETMAP all list. Refused before anything is written.
    if (m_currentDcp->getReels().isEmpty()) {
        qDebug() << "[DCPXMLReader] None of the ordered reels has a file to download, aborting...";
        throw DCPXMLReaderException::noReels();
    }
    // Every one of these names becomes a path on the user's disk.
    if (!namesAreSafe()) {
        qDebug() << "[DCPXMLReader] Unsafe file or folder name in the DCP, aborting...";
        throw DCPXMLReaderException::dataMissing();
    }

    if (existing)
        ask(UserInteraction::Icon::NoIcon, QString("The DCP %1 already exist and will be merged.").arg(m_friendlyTitle),
            QString(), UserInteraction::Ok, UserInteraction::NoButton);
    storeOrMerge();
    return true;
}

void DCPXMLReader::setPackageFields(const QString &userUuid, qint64 campaignDcpId, const QString &friendlyTitle,
                                    const QString &imageUrl, const QJsonArray &reelSelection,
                                    const QJsonArray &assetPairs)
{
    m_userUuid = userUuid;
    m_campaignDcpId = campaignDcpId;
    m_friendlyTitle = friendlyTitle;
    m_imageUrl = imageUrl;
    m_reelSelection = reelSelection;
    m_assetPairs = assetPairs;
}

void DCPXMLReader::setDocuments(const QByteArray &cpl, const QString &cplName, const QByteArray &pkl,
                                const QString &pklName, const QByteArray &assetMap, const QByteArray &volIndex)
{
    m_cplXml = cpl;
    m_cplXmlName = cplName;
    m_pklXml = pkl;
    m_pklXmlName = pklName;
    m_assetMapXml = assetMap;
    m_volIndexXml = volIndex;
}

void DCPXMLReader::resetDcp()
{
    for (Asset *asset : qAsConst(m_assets))
        if (!m_adopted.contains(asset))
            delete asset;
    for (Reel *reel : qAsConst(m_reels))
        if (!m_adopted.contains(reel))
            delete reel;
    if (m_currentDcp && !m_adopted.contains(m_currentDcp))
        delete m_currentDcp;
    m_currentDcp = nullptr;
    m_assets.clear();
    m_assetIndex.clear();
    m_reels.clear();
    m_reelIndex.clear();
    m_otherAssetIds.clear();
    m_assetMapEntries.clear();
    m_adopted.clear();
    m_compositionId.clear();
    m_compositionTitle.clear();
}

bool DCPXMLReader::parseAssetMap(const QString &text)
{
    return PackageDocuments::parseAssetMap(text, m_assetMapEntries);
}

bool DCPXMLReader::parseCPL(const QString &text)
{
    PackageDocuments::Composition composition;
    if (!PackageDocuments::parseComposition(text, m_reelSelection, composition))
        return false;
    m_compositionId = composition.id;
    m_compositionTitle = composition.title;
    for (const PackageDocuments::CompositionReel &entry : qAsConst(composition.reels)) {
        Reel *reel = new Reel(entry.uuid, entry.pictureUuid, entry.soundUuid, entry.subtitleUuid, entry.number);
        m_reels.append(reel);
        m_reelIndex.insert(entry.uuid, reel);
        m_otherAssetIds.insert(reel, entry.otherUuids);
    }
    return true;
}

bool DCPXMLReader::parsePKL(const QString &text)
{
    QVector<PackageDocuments::PackingListAsset> entries;
    if (!PackageDocuments::parsePackingList(text, m_assetMapEntries, entries))
        return false;
    for (const PackageDocuments::PackingListAsset &entry : qAsConst(entries)) {
        Asset *asset = new Asset(entry.uuid, entry.hash, entry.size, entry.type, entry.fileName, QString());
        m_assets.append(asset);
        m_assetIndex.insert(AssetKey(entry.uuid, m_compositionId), asset);
    }
    return true;
}

void DCPXMLReader::link(Reel *reel, Asset *asset)
{
    asset->setDcp(m_currentDcp);
    if (!asset->reels().contains(reel))
        asset->addReel(reel);
    reel->addAsset(asset);
    if (!m_currentDcp->getAsset(asset->uuid()))
        m_currentDcp->addAsset(asset);
}

void DCPXMLReader::buildDCP()
{
    if (m_currentDcp && !m_adopted.contains(m_currentDcp))
        delete m_currentDcp;
    // The title names the DCP's folder; stored as such, a restart finds the folder again.
    m_currentDcp = new DCP(m_compositionId, unusedFolderName(PackageDocuments::folderNameForTitle(m_compositionTitle)),
                           m_imageUrl, m_downloadPath);
    m_currentDcp->setUserUuid(m_userUuid);
    m_currentDcp->setCampaignDcpId(quint64(m_campaignDcpId));
    m_currentDcp->setFriendlyTitle(m_friendlyTitle);

    for (Reel *reel : qAsConst(m_reels)) {
        // Reel uuids are unique in the catalogue; a repeated Reel element adds nothing.
        if (m_currentDcp->getReel(reel->uuid()))
            continue;
        reel->setDCP(m_currentDcp);
        // Picture, sound and subtitle first, then every other track of the reel (Atmos,
        // closed captions...) that has a file: the PKL and the ASSETMAP both list it.
        QStringList ids{reel->pictureUuid(), reel->soundUuid(), reel->subtitleUuid()};
        ids += m_otherAssetIds.value(reel);
        for (const QString &id : qAsConst(ids)) {
            if (id.isEmpty())
                continue;
            Asset *found = asset(id);
            if (found && m_assetMapEntries.contains(found->uuid()))
                link(reel, found);
        }
        if (!reel->getAssets().isEmpty())
            m_currentDcp->addReel(reel);
    }
}

void DCPXMLReader::applyAssetUrls()
{
    for (const QJsonValue &value : qAsConst(m_assetPairs)) {
        const QJsonArray pair = value.toArray();
        if (Asset *found = asset(pair.at(0).toString()))
            found->setDownloadUrl(pair.at(1).toString());
    }
}

void DCPXMLReader::applyChunkPaths()
{
    for (const PackageDocuments::AssetMapEntry &entry : qAsConst(m_assetMapEntries)) {
        Asset *found = asset(entry.uuid);
        if (!found)
            continue;
        for (const QString &path : entry.chunkPaths) {
            const QString folder = PackageDocuments::chunkFolder(path);
            if (folder.isEmpty() || folder == QLatin1String("."))
                continue;
            found->setDirectoryPath(folder);
            if (folder == found->uuid())
                continue;
            // Files kept in a folder named after another asset (a subtitle's fonts and
            // images) go with that asset's reels.
            Asset *owner = asset(folder);
            if (!owner || owner == found)
                continue;
            if (DCP *dcp = owner->dcp()) {
                found->setDcp(dcp);
                if (!dcp->getAsset(found->uuid()))
                    dcp->addAsset(found);
            }
            for (Reel *reel : owner->reels()) {
                reel->addAsset(found);
                if (!found->reels().contains(reel))
                    found->addReel(reel);
            }
        }
    }
}

bool DCPXMLReader::namesAreSafe() const
{
    if (!m_currentDcp)
        return false;
    const auto refuse = [](const char *what, const QString &name) {
        qDebug() << "[DCPXMLReader] Refusing unsafe" << what << name;
        return false;
    };
    if (!PackageDocuments::isSafeFileName(m_currentDcp->title()))
        return refuse("DCP title:", m_compositionTitle);
    if (!PackageDocuments::isSafeFileName(m_cplXmlName))
        return refuse("CPL file name:", m_cplXmlName);
    if (!PackageDocuments::isSafeFileName(m_pklXmlName))
        return refuse("PKL file name:", m_pklXmlName);
    for (const Asset *a : m_currentDcp->getAssets()) {
        if (!PackageDocuments::isSafeFileName(a->originalFilename()))
            return refuse("asset file name:", a->originalFilename());
        if (!a->directoryPath().isEmpty() && !PackageDocuments::isSafeSubFolder(a->directoryPath()))
            return refuse("asset folder:", a->directoryPath());
    }
    return true;
}

QString DCPXMLReader::chooseDestination()
{
    return UserInteraction::current()->chooseDirectory(
        "Select download location for your DCP", QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation));
}

bool DCPXMLReader::checkFatDrive(const QString &folder)
{
    if (FileManager::driveRoot(folder).isEmpty())
        return false;
    return checkFatFileSystemType(Platform::fileSystemType(folder));
}

bool DCPXMLReader::checkFatFileSystemType(const QString &fileSystemType)
{
    if (!Platform::isFatFileSystemType(fileSystemType.toLower()))
        return false;
    ask(UserInteraction::Icon::Warning, "FAT32 Hard drive not supported", "Please make sure your drive is NTFS.",
        UserInteraction::Ok, UserInteraction::NoButton);
    qDebug() << "[DCPXMLReader] Canceled importing dcp FAT32 detected.";
    return true;
}

bool DCPXMLReader::confirmLocalDrive(const QString &folder)
{
    if (!FileManager::isFixedDrive(FileManager::driveRoot(folder)))
        return false;
    const UserInteraction::Button answer = ask(
        UserInteraction::Icon::Warning, "Warning: Are you downloading to your local hard drive?",
        "This is not recommended practice as it will require you to transfer your DCP to your server or an external "
        "hard drive at a later time.\r\n\r\nThis transfer can cause damage to the DCP content and it may fail to "
        "ingest.\r\n\r\nIt is better to download either directly to your server or to a USB hard drive which you can "
        "then use to ingest from after the download is complete.\r\n\r\nIf you wish to download locally we recommend "
        "the software FastCopy to transfer your content. It can be found via Google and it's free to use.",
        UserInteraction::Ok | UserInteraction::Cancel, UserInteraction::Ok);
    if (answer == UserInteraction::Cancel) {
        qDebug() << "[DCPXMLReader] Canceled importing dcp to local hard drive.";
        return true;
    }
    return false;
}

bool DCPXMLReader::confirmDiskSpace(const QString &folder, qint64 projectSize)
{
    qDebug() << "[DCPXMLReader] Project size: " << projectSize;
    const FileManager::DiskSpace space = FileManager::diskSpace(folder);
    if (!space.readable) {
        // Unknown is not full: the user is told what could not be read and decides.
        qDebug() << "[DCPXMLReader] Unable to read the free space of" << folder << ":" << space.error;
        return ask(UserInteraction::Icon::Warning, "Unable to check disk space",
                   QString("The free space of %1 could not be read (%2).\r\n\r\nDo you want to continue anyway?")
                       .arg(folder, space.error),
                   UserInteraction::Yes | UserInteraction::No, UserInteraction::No)
            == UserInteraction::Yes;
    }
    const qint64 available = qint64(std::min<quint64>(space.bytesAvailable, quint64(std::numeric_limits<qint64>::max())));
    qDebug() << "[DCPXMLReader] Available Disk space: " << available;
    return confirmDiskSpace(projectSize, available);
}

bool DCPXMLReader::confirmDiskSpace(qint64 projectSize, qint64 availableBytes)
{
    if (projectSize < availableBytes)
        return true;
    return ask(UserInteraction::Icon::Warning, "Not enough disk space",
               "You don't have enough disk space to download full DCP.\r\n\r\nDo you want to continue anyway?",
               UserInteraction::Yes | UserInteraction::No, UserInteraction::No)
        == UserInteraction::Yes;
}

QString DCPXMLReader::unusedFolderName(const QString &folder) const
{
    // A DCP of the catalogue keeps its folder, whatever its title now gives; an unnamed one
    // is refused.
    if (const DCP *known = DCPManager::instance()->getDCP(m_compositionId))
        return known->title();
    if (folder.isEmpty())
        return folder;
    // Two titles can name one folder ("A/B" and "A:B" both give "A_B"), and Windows compares
    // names without case: their documents and files would overwrite each other.
    const QString destination = QDir::cleanPath(m_downloadPath);
    const auto takenInCatalogue = [&](const QString &name) {
        for (DCP *other : DCPManager::instance()->allDCPs()) {
            if (QDir::cleanPath(other->downloadPath()) == destination
                && other->title().compare(name, Qt::CaseInsensitive) == 0)
                return true;
        }
        return false;
    };
    // Whatever is on the disk under that name and not in the catalogue (a folder left by
    // someone else, a symbolic link) is not used: a new DCP gets a folder of its own.
    const auto takenOnDisk = [&](const QString &name) { return FileManager::fileExists(destination + "/" + name); };
    QString name = folder;
    for (int n = 2; takenInCatalogue(name) || takenOnDisk(name); ++n)
        name = QString("%1 (%2)").arg(folder).arg(n);
    if (name != folder && takenInCatalogue(folder))
        qDebug() << "[DCPXMLReader] Another DCP of the catalogue downloads into" << folder << "; this one gets" << name;
    else if (name != folder)
        qDebug() << "[DCPXMLReader] Something the catalogue does not know has the name" << folder << "; this one gets"
                 << name;
    return name;
}

QString DCPXMLReader::dcpDirectory() const
{
    return m_currentDcp->downloadPath() + "/" + m_currentDcp->title();
}

void DCPXMLReader::storeOrMerge()
{
    if (!m_currentDcp)
        return;
    DCP *existing = DCPManager::instance()->getDCP(m_currentDcp->uuid());
    if (existing)
        merge(existing);
    else
        storeNew();
}

void DCPXMLReader::storeNew()
{
    if (!createDCPDirectory()) {
        qDebug() << "[DCPXMLReader] failed to createDCPDirectory. aborting...";
        return;
    }
    if (!createDCPXMLFiles()) {
        qDebug() << "[DCPXMLReader] failed to createDCPXMLFiles. aborting...";
        return;
    }
    if (!confirmConflictingFiles())
        return;

    DCPManager *manager = DCPManager::instance();
    DatabaseManager *database = DatabaseManager::instance();
    const QList<Asset *> assets = m_currentDcp->getAssets();
    try {
        DatabaseTransaction transaction(database);
        // The catalogue does not hold this DCP, so rows under its uuid are left from an
        // import the catalogue never loaded (a DCP without reels has no link row).
        if (database->removeLeftoverDCPRows(m_currentDcp->uuid()) > 0)
            qDebug() << "[DCPXMLReader] Removed rows the catalogue did not load for DCP" << m_currentDcp->uuid();
        m_currentDcp->sync();
        if (!transaction.commit())
            throw std::runtime_error("Unable to store the DCP");
    } catch (...) {
        // The rows are rolled back; the catalogue must not keep assets that the DCP
        // (deleted with this reader) owns.
        forgetUnstoredAssets(assets);
        throw;
    }
    m_adopted.insert(m_currentDcp);
    for (Reel *reel : m_currentDcp->getReels())
        m_adopted.insert(reel);
    for (Asset *a : assets)
        m_adopted.insert(a);
    manager->addDCP(m_currentDcp);
    rebuildDownloadQueue();
}

void DCPXMLReader::forgetUnstoredAssets(const QList<Asset *> &assets)
{
    // Asset::sync indexes an asset as soon as its row is written; a rolled-back write
    // leaves it there.
    DCPManager *manager = DCPManager::instance();
    for (Asset *a : assets)
        if (manager->getAsset(a->uuid(), m_currentDcp->uuid()) == a)
            manager->removeAssetFromIndex(a);
}

void DCPXMLReader::merge(DCP *existing)
{
    qDebug() << "[DCPXMLReader] DCP exists.. Trying to merge... " << m_currentDcp->uuid();
    if (!confirmConflictingFiles())
        return;
    createDCPXMLFiles();

    DCPManager *manager = DCPManager::instance();
    DatabaseManager *database = DatabaseManager::instance();
    QList<Reel *> added;
    for (Reel *reel : m_currentDcp->getReels())
        if (!existing->getReel(reel->uuid()))
            added.append(reel);

    // An asset the catalogue already has (shared with a reel it knows) stays one object:
    // the merged reel lists the known one and gets a link row of its own; the object
    // assembled from this package is dropped with the package.
    QHash<Reel *, QList<Asset *>> known;
    QList<Asset *> fresh;
    for (Reel *reel : qAsConst(added)) {
        for (Asset *a : reel->getAssets()) {
            Asset *catalogued = manager->getAsset(a->uuid(), existing->uuid());
            if (catalogued && catalogued != a) {
                reel->replaceAsset(a, catalogued);
                a->removeReel(reel);
                known[reel].append(catalogued);
            } else if (!fresh.contains(a)) {
                fresh.append(a);
            }
        }
    }
    // A new asset belongs to the merged reels only: a reel of the package that the
    // catalogue already has is left as it is, and is dropped with the package.
    for (Asset *a : qAsConst(fresh))
        for (Reel *reel : a->reels())
            if (!added.contains(reel))
                a->removeReel(reel);

    // A fresh package brings fresh links for the assets the catalogue has: only the links
    // change; files, states and events stay.
    QHash<Asset *, QString> freshLinks;
    for (Asset *a : m_currentDcp->getAssets()) {
        Asset *catalogued = existing->getAsset(a->uuid());
        if (catalogued && catalogued != a && catalogued->downloadUrl() != a->downloadUrl())
            freshLinks.insert(catalogued, a->downloadUrl());
    }

    // All rows first, in one transaction; the catalogue changes only once they are stored,
    // so a failed write leaves the catalogue as the database has it.
    try {
        DatabaseTransaction transaction(database);
        for (auto it = freshLinks.constBegin(); it != freshLinks.constEnd(); ++it)
            database->updateAssetDownloadUrl(it.key(), it.value());
        for (Reel *reel : qAsConst(added)) {
            qDebug() << "[DCPXMLREADER] Merging Reel... " << reel->uuid();
            reel->setDCP(existing);
            reel->sync();
            for (Asset *catalogued : known.value(reel))
                database->insertDCPReelAsset(reel, catalogued);
        }
        if (!transaction.commit())
            throw std::runtime_error("Unable to merge the DCP");
    } catch (...) {
        forgetUnstoredAssets(fresh);
        throw;
    }

    for (Asset *a : qAsConst(fresh)) {
        m_adopted.insert(a);
        a->setDcp(existing);
        if (!existing->getAsset(a->uuid()))
            existing->addAsset(a);
        manager->addAssetToIndex(a);
    }
    for (Reel *reel : qAsConst(added)) {
        for (Asset *catalogued : known.value(reel))
            if (!catalogued->reels().contains(reel))
                catalogued->addReel(reel);
        m_adopted.insert(reel);
        existing->addReel(reel);
        manager->addReelToIndex(reel);
    }
    for (auto it = freshLinks.constBegin(); it != freshLinks.constEnd(); ++it) {
        it.key()->setDownloadUrl(it.value());
        it.key()->redirectsLeft = Asset::MaxRedirects;
    }
    if (!freshLinks.isEmpty())
        qDebug() << "[DCPXMLReader] Fresh download links for" << freshLinks.size() << "assets of" << existing->uuid();
    // The DCP set aside for refused links goes back in the queue with the fresh ones.
    manager->noteFreshLinks(existing);
    if (!added.isEmpty() || !freshLinks.isEmpty())
        rebuildDownloadQueue();
}

void DCPXMLReader::rebuildDownloadQueue()
{
    qDebug() << "[DCPXMLReader] Asking the download manager to rebuild its queue";
    DCPManager::instance()->rebuildDownloadQueue();
}

bool DCPXMLReader::createDCPDirectory()
{
    // A new folder, never one that appeared under the name since it was chosen.
    return FileManager::createFolder(dcpDirectory());
}

bool DCPXMLReader::createDCPXMLFiles()
{
    const QString directory = dcpDirectory();
    if (!FileManager::dirExists(directory))
        return false;
    const QList<QPair<QString, QByteArray>> documents{{m_cplXmlName, m_cplXml},
                                                       {m_pklXmlName, m_pklXml},
                                                       {m_assetMapXmlName, m_assetMapXml},
                                                       {m_volIndexXmlName, m_volIndexXml}};
    for (const auto &document : documents) {
        const QString path = directory + "/" + document.first;
        // The bytes exactly as the package carries them: the PKL's hash of the CPL and
        // the encoding declarations hold only for these. A name already taken (a link
        // included) is left as it is.
        if (FileManager::createFile(m_currentDcp->downloadPath(), path, document.second) == FileManager::Created::Failed)
            return false;
    }
    return true;
}

bool DCPXMLReader::confirmConflictingFiles()
{
    DCP *existing = DCPManager::instance()->getDCP(m_currentDcp->uuid());
    QStringList conflicting;
    for (const Asset *a : m_currentDcp->getAssets()) {
        if (existing && existing->getAsset(a->uuid()))
            continue;
        const QString path = a->filePath();
        // A link where the file or one of its folders should be is in the way too; it is
        // what gets removed, never what it points to.
        for (const QString &candidate : {path, FileManager::undottedPath(path)}) {
            const QString inTheWay = FileManager::entryInTheWay(m_currentDcp->downloadPath(), candidate);
            if (!inTheWay.isEmpty() && !conflicting.contains(inTheWay))
                conflicting.append(inTheWay);
        }
    }
    if (conflicting.isEmpty())
        return true;

    QString list;
    for (int i = 0; i < conflicting.size(); ++i)
        list += QString("\r\n   %1. %2").arg(i + 1).arg(FileManager::fileName(conflicting[i]));
    const UserInteraction::Button answer =
        ask(UserInteraction::Icon::Warning, "Remove conflicting files?", "The following files will be removed...\r\n" + list,
            UserInteraction::Yes | UserInteraction::No, UserInteraction::No);
    if (answer != UserInteraction::Yes)
        return false;
    for (const QString &path : qAsConst(conflicting))
        FileManager::removeFile(path);
    return true;
}
