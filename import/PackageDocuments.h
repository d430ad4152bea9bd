#pragma once

// The pure half of reading an ORVDCP package: the cipher, the JSON values and the three XML
// documents of a DCP, turned into plain values. Nothing in here touches the catalogue, the
// database or the user, so it can be checked (and fuzzed) on bytes alone.

#include <QByteArray>
#include <QJsonArray>
#include <QJsonValue>
#include <QMap>
#include <QString>
#include <QStringList>
#include <QVector>

namespace PackageDocuments {

// The package format this program reads.
constexpr quint32 formatVersion = 20170613;

// The AES-256 key: the UTF-8 form of the decoding key up to its first zero byte, of which
// the first 32 bytes are used. Empty when fewer than 32 bytes are there.
QByteArray cipherKey(const QString &decodingKey);

// AES-256 in CFB mode with 8-bit feedback; bytes 0..15 of the file are the initialisation
// vector, the rest is the ciphertext. key must be 32 bytes (otherwise the result is empty).
// A file of 16 bytes or fewer gives an empty plaintext.
QByteArray decrypt(const QByteArray &key, const QByteArray &file);

// "version": an integral JSON number, 0 for anything else.
qint32 readVersion(const QJsonValue &value);
// "project_size": a number (rounded) or a numeric string; anything else 0.
qint64 readProjectSize(const QJsonValue &value);
// "campaign_dcp_id": an integral JSON number; anything else (a string included) 0.
qint64 readCampaignDcpId(const QJsonValue &value);
// One of the four documents: Base64 (characters outside the alphabet skipped) of the UTF-8
// bytes, cut at the first zero byte. These are the bytes written to disk.
QByteArray decodeDocument(const QJsonValue &value);
// The text the parsers read: the document bytes as UTF-8.
QString documentText(const QByteArray &bytes);

// Whether a name from a package may become one component of a path on the user's disk:
// not empty, not "." or "..", no separators, no drive colon, no control characters.
bool isSafeFileName(const QString &name);
// Whether a relative folder ("a" or "a/b") from a package stays inside the DCP directory:
// every "/"-separated component is a safe file name.
bool isSafeSubFolder(const QString &folder);
// The name of a DCP's folder for its title: every character Windows or Linux refuses in a
// folder name (\ / : * ? " < > |, control characters, trailing dots and spaces) becomes
// "_", and a device name Windows reserves (CON, NUL, COM1...) gets a "_" appended. Empty
// for a title that cannot name a folder: empty, or nothing but dots and white space.
QString folderNameForTitle(const QString &title);

// ASSETMAP: one entry per Asset element, keyed by its bare uuid (a later one replaces).
struct AssetMapEntry {
    QString uuid;
    QStringList chunkPaths; // the Path of every Chunk of its ChunkList, in document order
};
bool parseAssetMap(const QString &text, QMap<QString, AssetMapEntry> &entries);

// CPL: the composition and its selected reels.
struct CompositionReel {
    QString uuid;
    quint32 number = 0;     // 1-based position in the composition
    QString pictureUuid;    // MainPicture, else MainStereoscopicPicture (any prefix)
    QString soundUuid;
    QString subtitleUuid;
    QStringList otherUuids; // every other AssetList entry's Id (Atmos, captions, markers...)
};
struct Composition {
    QString id;
    QString title;
    QVector<CompositionReel> reels; // selected reels only, in document order
};
// selection: the package's "reels", 1-based positions of the Reel elements.
bool parseComposition(const QString &text, const QJsonArray &selection, Composition &composition);

// PKL: the assets with their hash, size, type and file name. A missing OriginalFileName
// falls back to the file name of the asset's (last) ASSETMAP chunk path.
struct PackingListAsset {
    QString uuid;
    QString hash;
    quint64 size = 0;
    QString type;
    QString fileName;
};
bool parsePackingList(const QString &text, const QMap<QString, AssetMapEntry> &assetMap,
                      QVector<PackingListAsset> &assets);

// The folder part of a chunk path as QFileInfo::path gives it ("." for a top-level file).
QString chunkFolder(const QString &chunkPath);

}
