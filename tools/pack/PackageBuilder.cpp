#include "PackageBuilder.h"

#include <QDir>
#include <QDomDocument>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QMap>
#include <QUrl>

#include <cryptopp/aes.h>
#include <cryptopp/algparam.h>
#include <cryptopp/argnames.h>
#include <cryptopp/modes.h>
#include <cryptopp/osrng.h>

namespace {

QString localName(const QDomElement &e)
{
    const QString name = e.tagName();
    const int colon = name.indexOf(':');
    return colon < 0 ? name : name.mid(colon + 1);
}

QDomElement child(const QDomElement &parent, const QString &name)
{
    for (QDomElement e = parent.firstChildElement(); !e.isNull(); e = e.nextSiblingElement())
        if (localName(e) == name)
            return e;
    return QDomElement();
}

void collect(const QDomElement &parent, const QString &name, QVector<QDomElement> &found)
{
    for (QDomElement e = parent.firstChildElement(); !e.isNull(); e = e.nextSiblingElement()) {
        if (localName(e) == name)
            found.append(e);
        collect(e, name, found);
    }
}

// Elements of that local name anywhere below root, in document order.
QVector<QDomElement> descendants(const QDomElement &root, const QString &name)
{
    QVector<QDomElement> found;
    collect(root, name, found);
    return found;
}

QString bareUuid(QString text)
{
    text = text.trimmed();
    if (text.startsWith("urn:uuid:"))
        text = text.mid(9);
    return text;
}

bool loadXml(const QString &path, QDomDocument &doc)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) && doc.setContent(&file, false);
}

QString rootName(const QString &path)
{
    QDomDocument doc;
    return loadXml(path, doc) ? localName(doc.documentElement()) : QString();
}

QString firstExisting(const QDir &dir, const QStringList &names)
{
    for (const QString &name : names)
        if (QFileInfo(dir.filePath(name)).isFile())
            return dir.filePath(name);
    return QString();
}

QByteArray base64Of(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QByteArray();
    return file.readAll().toBase64();
}

} // namespace

QString encodeUrlPath(const QString &relativePath)
{
    QStringList parts = relativePath.split('/');
    for (QString &part : parts)
        part = QString::fromLatin1(QUrl::toPercentEncoding(part));
    return parts.join('/');
}

bool readDcpFolder(const QString &dirPath, DcpFolderInfo &info, QString *error)
{
    const auto failWith = [error](const QString &message) {
        if (error)
            *error = message;
        return false;
    };
    info = DcpFolderInfo();
    const QDir dir(dirPath);
    if (!dir.exists())
        return failWith("no such folder: " + dirPath);
    info.dir = dir.absolutePath();
    info.assetMapPath = firstExisting(dir, {"ASSETMAP", "ASSETMAP.xml"});
    info.volIndexPath = firstExisting(dir, {"VOLINDEX", "VOLINDEX.xml"});
    if (info.assetMapPath.isEmpty())
        return failWith(dirPath + ": no ASSETMAP");
    if (info.volIndexPath.isEmpty())
        return failWith(dirPath + ": no VOLINDEX");

    QDomDocument assetMap;
    if (!loadXml(info.assetMapPath, assetMap))
        return failWith(info.assetMapPath + ": not XML");
    QMap<QString, QString> paths; // uuid -> relative path
    for (const QDomElement &asset : descendants(assetMap.documentElement(), "Asset")) {
        const QString uuid = bareUuid(child(asset, "Id").text());
        const QString path = child(child(child(asset, "ChunkList"), "Chunk"), "Path").text().trimmed();
        if (uuid.isEmpty() || path.isEmpty())
            continue;
        paths.insert(uuid, path);
        if (child(asset, "PackingList").text().trimmed() == "true")
            info.pklPath = dir.filePath(path);
    }

    // Locate the CPL (and the PKL when the ASSETMAP does not mark it) by their root elements.
    QStringList candidates;
    for (const QString &path : paths)
        if (path.endsWith(".xml", Qt::CaseInsensitive))
            candidates.append(dir.filePath(path));
    for (const QString &name : dir.entryList({"*.xml"}, QDir::Files, QDir::Name))
        candidates.append(dir.filePath(name));
    for (const QString &candidate : candidates) {
        const QString root = rootName(candidate);
        if (root == "CompositionPlaylist" && info.cplPath.isEmpty())
            info.cplPath = candidate;
        else if (root == "PackingList" && info.pklPath.isEmpty())
            info.pklPath = candidate;
    }
    if (info.cplPath.isEmpty())
        return failWith(dirPath + ": no composition playlist");
    if (info.pklPath.isEmpty())
        return failWith(dirPath + ": no packing list");

    QDomDocument cpl;
    if (!loadXml(info.cplPath, cpl))
        return failWith(info.cplPath + ": not XML");
    info.cplUuid = bareUuid(child(cpl.documentElement(), "Id").text());
    info.title = child(cpl.documentElement(), "AnnotationText").text();
    info.reelCount = descendants(cpl.documentElement(), "Reel").size();

    QDomDocument pkl;
    if (!loadXml(info.pklPath, pkl))
        return failWith(info.pklPath + ": not XML");
    const QString cplCanonical = QFileInfo(info.cplPath).canonicalFilePath();
    for (const QDomElement &asset : descendants(pkl.documentElement(), "Asset")) {
        const QString uuid = bareUuid(child(asset, "Id").text());
        const auto it = paths.constFind(uuid);
        if (it == paths.constEnd())
            continue;
        const QFileInfo file(dir.filePath(*it));
        if (!file.isFile() || file.canonicalFilePath() == cplCanonical)
            continue;
        info.assets.append({uuid, *it});
        bool ok = false;
        const std::uint64_t size = child(asset, "Size").text().trimmed().toULongLong(&ok);
        info.assetsSize += ok ? size : static_cast<std::uint64_t>(file.size());
    }
    return true;
}

bool buildPackageJson(const PackageOptions &options, QJsonObject &json, QString *error)
{
    json = QJsonObject();
    json["version"] = static_cast<double>(options.version);
    json["user_uuid"] = options.userUuid.isEmpty() ? QString("5d0c43f6-7e1a-4c57-9a8e-2f1b6f0d3c21")
                                                   : options.userUuid;
    QJsonArray dcps;
    std::uint64_t total = 0;
    for (int i = 0; i < options.dcps.size(); ++i) {
        const PackageDcpOptions &d = options.dcps[i];
        DcpFolderInfo info;
        if (!readDcpFolder(d.dir, info, error))
            return false;
        QString base = d.baseUrl.isEmpty() ? options.baseUrl : d.baseUrl;
        base.replace("{dcp}", encodeUrlPath(QFileInfo(info.dir).fileName()));
        while (base.endsWith('/'))
            base.chop(1);

        QJsonObject dcp;
        dcp["dcp_uuid"] = info.cplUuid;
        dcp["campaign_dcp_id"] = static_cast<double>(d.campaignDcpId != 0 ? d.campaignDcpId : 1000 + i + 1);
        dcp["friendly_title"] = d.friendlyTitle.isEmpty() ? info.title : d.friendlyTitle;
        dcp["cpl_xml"] = QString::fromLatin1(base64Of(info.cplPath));
        dcp["cpl_xml_name"] = QFileInfo(info.cplPath).fileName();
        dcp["pkl_xml"] = QString::fromLatin1(base64Of(info.pklPath));
        dcp["pkl_xml_name"] = QFileInfo(info.pklPath).fileName();
        dcp["asset_map_xml"] = QString::fromLatin1(base64Of(info.assetMapPath));
        dcp["volindex_xml"] = QString::fromLatin1(base64Of(info.volIndexPath));
        dcp["dcp_image_url"] = d.imageUrl.isEmpty() ? base + "/poster.jpg" : d.imageUrl;
        QJsonArray reels;
        if (d.reels.isEmpty()) {
            for (int r = 1; r <= info.reelCount; ++r)
                reels.append(r);
        } else {
            for (int r : d.reels)
                reels.append(r);
        }
        dcp["reels"] = reels;
        QJsonArray assets;
        for (const auto &asset : info.assets)
            assets.append(QJsonArray{asset.first, base + "/" + encodeUrlPath(asset.second)});
        dcp["assets"] = assets;
        dcps.append(dcp);
        total += info.assetsSize;
    }
    json["project_size"] = static_cast<double>(options.projectSize >= 0 ? static_cast<std::uint64_t>(options.projectSize)
                                                                          : total);
    json["dcps"] = dcps;
    return true;
}

QJsonObject mergeJson(const QJsonObject &base, const QJsonObject &override)
{
    QJsonObject out = base;
    for (auto it = override.begin(); it != override.end(); ++it) {
        const QJsonValue value = it.value();
        if (value.isNull()) {
            out.remove(it.key());
        } else if (value.isObject() && out.value(it.key()).isObject()) {
            out[it.key()] = mergeJson(out.value(it.key()).toObject(), value.toObject());
        } else if (it.key() == "dcps" && value.isArray() && out.value(it.key()).isArray()) {
            QJsonArray merged = out.value(it.key()).toArray();
            const QJsonArray changes = value.toArray();
            for (int i = 0; i < changes.size(); ++i) {
                if (i < merged.size() && changes[i].isObject() && merged[i].isObject())
                    merged[i] = mergeJson(merged[i].toObject(), changes[i].toObject());
                else if (i < merged.size())
                    merged[i] = changes[i];
                else
                    merged.append(changes[i]);
            }
            out[it.key()] = merged;
        } else {
            out[it.key()] = value;
        }
    }
    return out;
}

QByteArray packageKey(const QByteArray &keyText)
{
    const int zero = keyText.indexOf('\0');
    const QByteArray text = zero < 0 ? keyText : keyText.left(zero);
    return text.size() < 32 ? QByteArray() : text.left(32);
}

bool encryptPackage(const QByteArray &keyText, const QByteArray &plaintext, QByteArray &file, QString *error,
                    const QByteArray &ivGiven)
{
    const QByteArray key = packageKey(keyText);
    if (key.isEmpty()) {
        if (error)
            *error = "the key must be at least 32 bytes (UTF-8, before any zero byte)";
        return false;
    }
    QByteArray iv = ivGiven;
    if (iv.size() != 16) {
        iv.resize(16);
        CryptoPP::AutoSeededRandomPool pool;
        pool.GenerateBlock(reinterpret_cast<CryptoPP::byte *>(iv.data()), 16);
    }
    CryptoPP::CFB_Mode<CryptoPP::AES>::Encryption e;
    e.SetKey(reinterpret_cast<const CryptoPP::byte *>(key.constData()), 32,
             CryptoPP::MakeParameters(CryptoPP::Name::FeedbackSize(), 1)(
                 CryptoPP::Name::IV(),
                 CryptoPP::ConstByteArrayParameter(reinterpret_cast<const CryptoPP::byte *>(iv.constData()), 16)));
    QByteArray cipher(plaintext.size(), Qt::Uninitialized);
    if (!plaintext.isEmpty())
        e.ProcessData(reinterpret_cast<CryptoPP::byte *>(cipher.data()),
                      reinterpret_cast<const CryptoPP::byte *>(plaintext.constData()),
                      static_cast<size_t>(plaintext.size()));
    file = iv + cipher;
    return true;
}

bool decryptPackage(const QByteArray &keyText, const QByteArray &file, QByteArray &plaintext, QString *error)
{
    const QByteArray key = packageKey(keyText);
    if (key.isEmpty()) {
        if (error)
            *error = "the key must be at least 32 bytes (UTF-8, before any zero byte)";
        return false;
    }
    plaintext.clear();
    if (file.size() <= 16)
        return true;
    CryptoPP::CFB_Mode<CryptoPP::AES>::Decryption d;
    d.SetKey(reinterpret_cast<const CryptoPP::byte *>(key.constData()), 32,
             CryptoPP::MakeParameters(CryptoPP::Name::FeedbackSize(), 1)(
                 CryptoPP::Name::IV(),
                 CryptoPP::ConstByteArrayParameter(reinterpret_cast<const CryptoPP::byte *>(file.constData()), 16)));
    plaintext.resize(file.size() - 16);
    d.ProcessData(reinterpret_cast<CryptoPP::byte *>(plaintext.data()),
                  reinterpret_cast<const CryptoPP::byte *>(file.constData() + 16),
                  static_cast<size_t>(plaintext.size()));
    return true;
}

bool writePackageFile(const QString &path, const QByteArray &keyText, const QByteArray &plaintext, QString *error)
{
    QByteArray bytes;
    if (!encryptPackage(keyText, plaintext, bytes, error))
        return false;
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(bytes) != bytes.size()) {
        if (error)
            *error = "cannot write " + path + ": " + file.errorString();
        return false;
    }
    return true;
}
