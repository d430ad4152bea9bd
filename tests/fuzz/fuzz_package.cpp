// libFuzzer target for everything a package file's bytes go through before anything touches
// the disk, the catalogue or the user: decryption, the JSON document and its values, the
// Base64 documents, the ASSETMAP, CPL and PKL parsers and the name checks.
//
// Each input is tried three ways, so that the fuzzer can also mutate the inner layers
// directly: as an encrypted package file, as the plaintext JSON, and as one XML document
// given to each of the three parsers.

#include "import/PackageDocuments.h"

#include <QByteArray>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QString>

#include <cstddef>
#include <cstdint>

using namespace PackageDocuments;

namespace {

// The key the seed packages in corpus/ were packed with.
const char fuzzKey[] = "tolvane-fuzz-decoding-key-0123456789abcdef";

void quiet(QtMsgType, const QMessageLogContext &, const QString &)
{
}

void parseDocuments(const QString &assetMapText, const QString &cplText, const QString &pklText,
                    const QJsonArray &reels)
{
    QMap<QString, AssetMapEntry> entries;
    Composition composition;
    QVector<PackingListAsset> assets;
    if (!parseAssetMap(assetMapText, entries))
        return;
    if (!parseComposition(cplText, reels, composition))
        return;
    if (!parsePackingList(pklText, entries, assets))
        return;
    isSafeFileName(composition.title);
    isSafeFileName(folderNameForTitle(composition.title));
    for (const PackingListAsset &asset : qAsConst(assets))
        isSafeFileName(asset.fileName);
    for (const AssetMapEntry &entry : qAsConst(entries))
        for (const QString &path : entry.chunkPaths)
            isSafeSubFolder(chunkFolder(path));
}

void readPackage(const QByteArray &plaintext)
{
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(plaintext, &error);
    if (error.error != QJsonParseError::NoError)
        return;
    const QJsonObject package = document.object();
    if (quint32(readVersion(package.value("version"))) != formatVersion)
        return;
    if (package.value("user_uuid").toString().size() != 36)
        return;
    readProjectSize(package.value("project_size"));
    const QJsonArray dcps = package.value("dcps").toArray();
    for (const QJsonValue &value : dcps) {
        const QJsonObject dcp = value.toObject();
        const QJsonArray reels = dcp.value("reels").toArray();
        if (reels.isEmpty() || readCampaignDcpId(dcp.value("campaign_dcp_id")) == 0)
            return;
        isSafeFileName(dcp.value("cpl_xml_name").toString());
        isSafeFileName(dcp.value("pkl_xml_name").toString());
        const QByteArray cpl = decodeDocument(dcp.value("cpl_xml"));
        const QByteArray pkl = decodeDocument(dcp.value("pkl_xml"));
        const QByteArray assetMap = decodeDocument(dcp.value("asset_map_xml"));
        const QByteArray volIndex = decodeDocument(dcp.value("volindex_xml"));
        if (cpl.isEmpty() || pkl.isEmpty() || assetMap.isEmpty() || volIndex.isEmpty())
            return;
        parseDocuments(documentText(assetMap), documentText(cpl), documentText(pkl), reels);
        for (const QJsonValue &pair : dcp.value("assets").toArray()) {
            pair.toArray().at(0).toString();
            pair.toArray().at(1).toString();
        }
    }
}

}

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    qInstallMessageHandler(quiet);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char *>(data), int(size));

    // As a package file.
    readPackage(decrypt(cipherKey(QString::fromUtf8(fuzzKey)), bytes));
    // As the plaintext JSON.
    readPackage(bytes);
    // As a document for each parser.
    const QString text = documentText(bytes.left(bytes.indexOf('\0') < 0 ? bytes.size() : bytes.indexOf('\0')));
    parseDocuments(text, text, text, QJsonArray{1, 2, 3});
    return 0;
}
