#pragma once

// Real packages for the import tests: DCP folders written by the pack tool's generator,
// packed into encrypted .orvdcp files, with helpers to bend single JSON values or document
// texts the way broken or hostile packages do.

#include "DcpGenerator.h"
#include "base/UserInteraction.h"
#include "download/DownloadManager.h"
#include "PackageBuilder.h"
#include "support/TestMain.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRandomGenerator>
#include <QThread>
#include <QString>
#include <QUuid>

namespace Fixtures {

// The decoding key the tests log in with; only its first 32 bytes are the cipher key.
inline QString decodingKey()
{
    return QStringLiteral("tolvane-decoding-key-0123456789abcdef-session");
}

inline QString uniqueDir(const QString &name)
{
    static int counter = 0;
    const QString path = TestSupport::dataDir() + "/" + name + "-" + QString::number(++counter);
    QDir().mkpath(path);
    return path;
}

// Generates a DCP in a fresh folder; seed 0 gives fresh uuids.
inline bool generate(DcpGeneratorOptions options, GeneratedDcp &dcp, QString *error = nullptr)
{
    options.outDir = uniqueDir("dcps");
    if (options.seed == 0)
        options.seed = QRandomGenerator::global()->generate64() | 1;
    return generateDcp(options, dcp, error);
}

inline PackageDcpOptions dcpOptions(const GeneratedDcp &dcp, const QList<int> &reels = {})
{
    PackageDcpOptions options;
    options.dir = dcp.path;
    options.reels = reels;
    return options;
}

inline bool packageJson(const QVector<PackageDcpOptions> &dcps, QJsonObject &json, qint64 projectSize = -1,
                        QString *error = nullptr)
{
    PackageOptions options;
    options.baseUrl = "https://assets.example.invalid/{dcp}";
    options.dcps = dcps;
    options.projectSize = projectSize;
    return buildPackageJson(options, json, error);
}

// A one-reel DCP of 4 KiB under that title.
inline bool smallDcp(const QString &title, GeneratedDcp &dcp)
{
    DcpGeneratorOptions options;
    options.title = title;
    options.totalSize = 4096;
    return generate(options, dcp);
}

// The same, and the package that orders it.
inline bool smallDcpPackage(const QString &title, GeneratedDcp &dcp, QJsonObject &json)
{
    return smallDcp(title, dcp) && packageJson({dcpOptions(dcp)}, json);
}

inline QString writePackage(const QJsonObject &json, const QString &key = decodingKey())
{
    const QString path = uniqueDir("packages") + "/order.orvdcp";
    QString error;
    if (!writePackageFile(path, key.toUtf8(), QJsonDocument(json).toJson(QJsonDocument::Compact), &error))
        return QString();
    return path;
}

// The decoded text of one of a DCP element's documents ("cpl_xml", "pkl_xml", ...).
inline QString documentOf(const QJsonObject &json, int dcp, const QString &key)
{
    const QJsonObject element = json.value("dcps").toArray().at(dcp).toObject();
    return QString::fromUtf8(QByteArray::fromBase64(element.value(key).toString().toLatin1()));
}

// json with one value of a DCP element replaced.
inline QJsonObject withDcpValue(const QJsonObject &json, int dcp, const QString &key, const QJsonValue &value)
{
    QJsonArray dcps = json.value("dcps").toArray();
    QJsonObject element = dcps.at(dcp).toObject();
    element.insert(key, value);
    dcps.replace(dcp, element);
    QJsonObject out = json;
    out.insert("dcps", dcps);
    return out;
}

// json with a text replaced inside one of a DCP element's documents.
inline QJsonObject withDocumentEdit(const QJsonObject &json, int dcp, const QString &key, const QString &before,
                                    const QString &after)
{
    QString text = documentOf(json, dcp, key);
    text.replace(before, after);
    return withDcpValue(json, dcp, key, QString::fromLatin1(text.toUtf8().toBase64()));
}

inline QByteArray readAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

inline int countLines(const QByteArray &log, const QByteArray &line)
{
    return log.count(line);
}

// The boxes of one import with the local-drive warnings (answered OK) taken out.
inline QList<UserInteraction::Message> withoutLocalWarnings(const QList<UserInteraction::Message> &messages)
{
    QList<UserInteraction::Message> out;
    for (const UserInteraction::Message &m : messages)
        if (m.text != QLatin1String("Warning: Are you downloading to your local hard drive?"))
            out.append(m);
    return out;
}

}
