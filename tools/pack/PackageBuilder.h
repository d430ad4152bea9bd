#pragma once

// Builds ORVDCP package files from DCP folders: the JSON document that names the DCPs, carries
// their four XML documents and gives every asset's download URL, encrypted with AES-256 in
// CFB mode with 8-bit feedback behind a 16-byte initialisation vector.

#include <QByteArray>
#include <QJsonObject>
#include <QList>
#include <QPair>
#include <QString>
#include <QVector>

#include <cstdint>

// What a DCP folder holds, read from its ASSETMAP, CPL and PKL.
struct DcpFolderInfo {
    QString dir;
    QString cplPath, pklPath, assetMapPath, volIndexPath;
    QString cplUuid;              // without "urn:uuid:"
    QString title;                // CPL AnnotationText
    int reelCount = 0;
    // PKL assets that have a file in the folder (the CPL excepted): uuid and relative path.
    QVector<QPair<QString, QString>> assets;
    std::uint64_t assetsSize = 0; // sum of the PKL sizes of those assets
};

bool readDcpFolder(const QString &dir, DcpFolderInfo &info, QString *error = nullptr);

struct PackageDcpOptions {
    QString dir;
    qint64 campaignDcpId = 0;     // 0: a default (1000 + position)
    QString friendlyTitle;        // empty: the CPL's title
    QString imageUrl;             // empty: <base URL>/poster.jpg
    QList<int> reels;             // empty: every reel of the CPL
    QString baseUrl;              // empty: PackageOptions::baseUrl
};

struct PackageOptions {
    QString baseUrl;              // "{dcp}" is replaced by the DCP folder's (encoded) name
    QString userUuid;             // empty: a fixed default
    qint64 version = 20170613;
    qint64 projectSize = -1;      // -1: the sum of the asset sizes of all DCPs
    QVector<PackageDcpOptions> dcps;
};

// The package's JSON document, before encryption.
bool buildPackageJson(const PackageOptions &options, QJsonObject &json, QString *error = nullptr);

// Merges override into base: objects recursively, a null value removes the key; a "dcps"
// array of objects is merged element by element, other values replace.
QJsonObject mergeJson(const QJsonObject &base, const QJsonObject &override);

// The cipher key: the UTF-8 key text up to its first zero byte, of which the first 32
// bytes are used. Empty when the text is shorter than 32 bytes.
QByteArray packageKey(const QByteArray &keyText);

// 16-byte IV followed by the encrypted plaintext. iv: 16 bytes, or empty for random ones.
bool encryptPackage(const QByteArray &keyText, const QByteArray &plaintext, QByteArray &file,
                    QString *error = nullptr, const QByteArray &iv = QByteArray());
bool decryptPackage(const QByteArray &keyText, const QByteArray &file, QByteArray &plaintext,
                    QString *error = nullptr);

bool writePackageFile(const QString &path, const QByteArray &keyText, const QByteArray &plaintext,
                      QString *error = nullptr);

// Percent-encodes each segment of a relative path.
QString encodeUrlPath(const QString &relativePath);
