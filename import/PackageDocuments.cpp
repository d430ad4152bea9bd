#include "import/PackageDocuments.h"

#include <QDebug>
#include <QDomDocument>
#include <QXmlStreamReader>
#include <QDomElement>
#include <QFileInfo>

#include <cryptopp/aes.h>
#include <cryptopp/algparam.h>
#include <cryptopp/argnames.h>
#include <cryptopp/filters.h>
#include <cryptopp/modes.h>

#include <cmath>
#include <limits>

namespace {

// Same rule as stripUrnUuid of the asset records; kept here so that the parsers need
// nothing but Qt.
QString bareUuid(const QString &text)
{
    const QString trimmed = text.trimmed();
    return trimmed.startsWith(QLatin1String("urn:uuid:")) ? trimmed.mid(9) : trimmed;
}

// Mastering tools spell the same element with a prefix ("am:Asset"), without one, or in a
// default namespace; what counts is the local name.
QString localName(const QDomElement &element)
{
    const QString name = element.tagName();
    const int colon = name.lastIndexOf(QLatin1Char(':'));
    return colon < 0 ? name : name.mid(colon + 1);
}

QDomElement child(const QDomElement &parent, const QString &name)
{
    for (QDomElement e = parent.firstChildElement(); !e.isNull(); e = e.nextSiblingElement())
        if (localName(e) == name)
            return e;
    return QDomElement();
}

QVector<QDomElement> children(const QDomElement &parent, const QString &name)
{
    QVector<QDomElement> found;
    for (QDomElement e = parent.firstChildElement(); !e.isNull(); e = e.nextSiblingElement())
        if (localName(e) == name)
            found.append(e);
    return found;
}

// Every element of that local name below root, in document order. Walks without recursion,
// so a deeply nested document cannot exhaust the stack.
QVector<QDomElement> descendants(const QDomElement &root, const QString &name)
{
    QVector<QDomElement> found;
    if (root.isNull())
        return found;
    if (localName(root) == name)
        found.append(root);
    QDomElement e = root.firstChildElement();
    while (!e.isNull()) {
        if (localName(e) == name)
            found.append(e);
        QDomElement next = e.firstChildElement();
        if (next.isNull()) {
            QDomElement up = e;
            while (!up.isNull() && up != root) {
                next = up.nextSiblingElement();
                if (!next.isNull())
                    break;
                up = up.parentNode().toElement();
            }
            if (up.isNull() || up == root)
                break;
        }
        e = next;
    }
    return found;
}

// What a DCP's document may be before the DOM reads it: the DOM parser holds the whole
// tree and recurses into it, so an entity declared once and used thousands of times, or
// elements nested tens of thousands deep, exhaust the memory or the stack.
constexpr int largestDocument = 4 * 1024 * 1024; // characters
constexpr int deepestNesting = 64;

// One pass of the stream reader, which keeps neither the tree nor a stack of its own: a
// DTD (no DCP document carries one), nesting past deepestNesting or more than
// largestDocument characters refuse the document. What is not well-formed is left to the
// DOM, which reports it as before.
bool withinBounds(const QString &text)
{
    QString refusal;
    if (text.size() > largestDocument) {
        refusal = QString("larger than %1 characters").arg(largestDocument);
    } else {
        QXmlStreamReader reader(text);
        int depth = 0;
        while (refusal.isEmpty() && !reader.atEnd()) {
            switch (reader.readNext()) {
            case QXmlStreamReader::DTD:
                refusal = "it declares a DTD";
                break;
            case QXmlStreamReader::StartElement:
                if (++depth > deepestNesting)
                    refusal = QString("elements nested deeper than %1").arg(deepestNesting);
                break;
            case QXmlStreamReader::EndElement:
                --depth;
                break;
            default:
                break;
            }
        }
    }
    if (refusal.isEmpty())
        return true;
    qDebug() << "[DCPXMLReader] Refusing an XML document:" << refusal;
    return false;
}

bool load(const QString &text, QDomDocument &document)
{
    return withinBounds(text) && document.setContent(text, false);
}

}

namespace PackageDocuments {

QByteArray cipherKey(const QString &decodingKey)
{
    QByteArray bytes = decodingKey.toUtf8();
    const int zero = bytes.indexOf('\0');
    if (zero >= 0)
        bytes.truncate(zero);
    if (bytes.size() < 32)
        return QByteArray();
    return bytes.left(32);
}

QByteArray decrypt(const QByteArray &key, const QByteArray &file)
{
    if (key.size() != 32 || file.size() <= 16)
        return QByteArray();
    // With 8-bit feedback the shift register holds only ciphertext after 16 bytes, so
    // decrypting bytes 16..end with bytes 0..15 as the vector is the whole procedure.
    CryptoPP::CFB_Mode<CryptoPP::AES>::Decryption decryption;
    decryption.SetKey(reinterpret_cast<const CryptoPP::byte *>(key.constData()), 32,
                      CryptoPP::MakeParameters(CryptoPP::Name::FeedbackSize(), 1)(
                          CryptoPP::Name::IV(),
                          CryptoPP::ConstByteArrayParameter(reinterpret_cast<const CryptoPP::byte *>(file.constData()),
                                                            16)));
    QByteArray plain(file.size() - 16, Qt::Uninitialized);
    decryption.ProcessData(reinterpret_cast<CryptoPP::byte *>(plain.data()),
                           reinterpret_cast<const CryptoPP::byte *>(file.constData() + 16),
                           static_cast<size_t>(plain.size()));
    return plain;
}

qint32 readVersion(const QJsonValue &value)
{
    if (!value.isDouble())
        return 0;
    const double number = value.toDouble();
    if (number != std::floor(number) || number < double(std::numeric_limits<qint32>::min())
        || number > double(std::numeric_limits<qint32>::max()))
        return 0;
    return static_cast<qint32>(number);
}

namespace {
qint64 roundedInt64(double number)
{
    if (std::isnan(number))
        return 0;
    // 2^63 is exactly representable; anything at or beyond it saturates.
    if (number >= 9223372036854775808.0)
        return std::numeric_limits<qint64>::max();
    if (number <= -9223372036854775808.0)
        return std::numeric_limits<qint64>::min();
    return static_cast<qint64>(std::llround(number));
}
}

qint64 readProjectSize(const QJsonValue &value)
{
    if (value.isDouble())
        return roundedInt64(value.toDouble());
    if (value.isString()) {
        bool ok = false;
        const qint64 number = value.toString().trimmed().toLongLong(&ok);
        return ok ? number : 0;
    }
    return 0;
}

qint64 readCampaignDcpId(const QJsonValue &value)
{
    if (!value.isDouble())
        return 0;
    return roundedInt64(value.toDouble());
}

QByteArray decodeDocument(const QJsonValue &value)
{
    QByteArray bytes = QByteArray::fromBase64(value.toString().toUtf8());
    const int zero = bytes.indexOf('\0');
    if (zero >= 0)
        bytes.truncate(zero);
    return bytes;
}

QString documentText(const QByteArray &bytes)
{
    QString text = QString::fromUtf8(bytes);
    // A byte-order mark is part of the file, not of the document.
    if (text.startsWith(QChar(0xFEFF)))
        text.remove(0, 1);
    return text;
}

bool isSafeFileName(const QString &name)
{
    if (name.isEmpty() || name == QLatin1String(".") || name == QLatin1String(".."))
        return false;
    for (const QChar c : name) {
        if (c == QLatin1Char('/') || c == QLatin1Char('\\') || c == QLatin1Char(':') || c.unicode() < 0x20
            || c.unicode() == 0x7F)
            return false;
    }
    return true;
}

bool isSafeSubFolder(const QString &folder)
{
    if (folder.isEmpty())
        return false;
    const QStringList parts = folder.split(QLatin1Char('/'));
    for (const QString &part : parts)
        if (!isSafeFileName(part))
            return false;
    return true;
}

namespace {
bool isReservedDeviceName(const QString &name)
{
    // Windows refuses these as a name, with or without an extension.
    const QString base = name.section(QLatin1Char('.'), 0, 0).trimmed().toUpper();
    static const QStringList fixed{"CON", "PRN", "AUX", "NUL"};
    if (fixed.contains(base))
        return true;
    return base.size() == 4 && (base.startsWith(QLatin1String("COM")) || base.startsWith(QLatin1String("LPT")))
        && base.at(3) >= QLatin1Char('1') && base.at(3) <= QLatin1Char('9');
}
}

QString folderNameForTitle(const QString &title)
{
    bool named = false;
    for (const QChar c : title)
        if (c != QLatin1Char('.') && !c.isSpace())
            named = true;
    if (!named)
        return QString();
    static const QString refused = QStringLiteral("\\/:*?\"<>|");
    QString name = title;
    for (QChar &c : name)
        if (refused.contains(c) || c.unicode() < 0x20 || c.unicode() == 0x7F)
            c = QLatin1Char('_');
    for (int i = name.size() - 1; i >= 0 && (name.at(i) == QLatin1Char('.') || name.at(i) == QLatin1Char(' ')); --i)
        name[i] = QLatin1Char('_');
    if (isReservedDeviceName(name))
        name += QLatin1Char('_');
    return name;
}

QString chunkFolder(const QString &chunkPath)
{
    return QFileInfo(chunkPath).path();
}

bool parseAssetMap(const QString &text, QMap<QString, AssetMapEntry> &entries)
{
    QDomDocument document;
    if (!load(text, document)) {
        qDebug() << "[DCPXMLReader] Could not load ASSETMAP XML file";
        return false;
    }
    const QVector<QDomElement> assets = descendants(document.documentElement(), QStringLiteral("Asset"));
    if (assets.isEmpty()) {
        qDebug() << "[DCPXMLReader] no Asset(s) found in ASSETMAP";
        return false;
    }
    for (const QDomElement &asset : assets) {
        AssetMapEntry entry;
        entry.uuid = bareUuid(child(asset, QStringLiteral("Id")).text());
        const QDomElement chunkList = child(asset, QStringLiteral("ChunkList"));
        for (const QDomElement &chunk : descendants(chunkList, QStringLiteral("Chunk")))
            entry.chunkPaths.append(child(chunk, QStringLiteral("Path")).text().trimmed());
        entries.insert(entry.uuid, entry);
    }
    return true;
}

bool parseComposition(const QString &text, const QJsonArray &selection, Composition &composition)
{
    QDomDocument document;
    if (!load(text, document)) {
        qDebug() << "[DCPXMLReader] Could not load CPL XML file";
        return false;
    }
    const QDomElement root = document.documentElement();
    composition.id = bareUuid(child(root, QStringLiteral("Id")).text());
    composition.title = child(root, QStringLiteral("AnnotationText")).text();
    const QVector<QDomElement> reels = descendants(root, QStringLiteral("Reel"));
    if (reels.isEmpty()) {
        qDebug() << "[DCPXMLReader] no Reels found.";
        return false;
    }
    for (int i = 0; i < reels.size(); ++i) {
        const quint32 number = quint32(i) + 1;
        if (!selection.contains(QJsonValue(double(number))))
            continue;
        const QDomElement &reel = reels[i];
        CompositionReel entry;
        entry.number = number;
        entry.uuid = bareUuid(child(reel, QStringLiteral("Id")).text());
        const QDomElement assetList = child(reel, QStringLiteral("AssetList"));
        QDomElement picture = child(assetList, QStringLiteral("MainPicture"));
        if (picture.isNull())
            picture = child(assetList, QStringLiteral("MainStereoscopicPicture"));
        const QDomElement sound = child(assetList, QStringLiteral("MainSound"));
        const QDomElement subtitle = child(assetList, QStringLiteral("MainSubtitle"));
        entry.pictureUuid = bareUuid(child(picture, QStringLiteral("Id")).text());
        entry.soundUuid = bareUuid(child(sound, QStringLiteral("Id")).text());
        entry.subtitleUuid = bareUuid(child(subtitle, QStringLiteral("Id")).text());
        for (QDomElement e = assetList.firstChildElement(); !e.isNull(); e = e.nextSiblingElement()) {
            if (e == picture || e == sound || e == subtitle)
                continue;
            const QDomElement id = child(e, QStringLiteral("Id"));
            if (!id.isNull())
                entry.otherUuids.append(bareUuid(id.text()));
        }
        composition.reels.append(entry);
        qDebug() << "[DCPXMLReader] adding Reel " << entry.uuid;
    }
    return true;
}

bool parsePackingList(const QString &text, const QMap<QString, AssetMapEntry> &assetMap,
                      QVector<PackingListAsset> &assets)
{
    QDomDocument document;
    if (!load(text, document)) {
        qDebug() << "[DCPXMLReader] Could not load KPL XML file";
        return false;
    }
    const QVector<QDomElement> elements = descendants(document.documentElement(), QStringLiteral("Asset"));
    if (elements.isEmpty()) {
        qDebug() << "[DCPXMLReader] no Asset(s) found in PKL";
        return false;
    }
    for (const QDomElement &element : elements) {
        const QDomElement id = child(element, QStringLiteral("Id"));
        const QDomElement hash = child(element, QStringLiteral("Hash"));
        const QDomElement size = child(element, QStringLiteral("Size"));
        const QDomElement type = child(element, QStringLiteral("Type"));
        const QDomElement originalFileName = child(element, QStringLiteral("OriginalFileName"));
        if (id.isNull() || hash.isNull() || size.isNull() || type.isNull())
            continue;
        PackingListAsset asset;
        asset.uuid = bareUuid(id.text());
        asset.hash = hash.text();
        bool ok = false;
        asset.size = size.text().trimmed().toULongLong(&ok);
        // Read as 0, every transfer of the asset would end at its first byte and the file
        // would fail verification three times: a size that cannot be read damages the list.
        if (!ok) {
            qDebug() << "[DCPXMLReader] Unreadable size in the PKL for asset" << asset.uuid << ":" << size.text();
            return false;
        }
        asset.type = type.text();
        if (!originalFileName.isNull()) {
            asset.fileName = originalFileName.text();
        } else {
            // OriginalFileName is optional in SMPTE packing lists; the ASSETMAP knows the file.
            const auto entry = assetMap.constFind(asset.uuid);
            if (entry == assetMap.constEnd())
                continue;
            for (const QString &path : entry->chunkPaths)
                if (!path.isEmpty())
                    asset.fileName = QFileInfo(path).fileName();
            if (asset.fileName.isEmpty())
                continue;
        }
        assets.append(asset);
        qDebug() << "[DCPXMLReader] adding Asset " << asset.fileName;
    }
    return true;
}

}
