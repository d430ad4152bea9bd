#include "SoakCatalogue.h"

#include "DcpGenerator.h"
#include "PortalStandin.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <stdexcept>

namespace {

bool isTrackTag(const QString &tag)
{
    return tag.startsWith("picture:") || tag.startsWith("sound:") || tag.startsWith("subtitle:")
        || tag.startsWith("font:");
}

int reelOfTag(const QString &tag)
{
    return tag.mid(tag.indexOf(':') + 1).toInt();
}

}

QVector<SoakDcp> generateSoakCatalogue(const PortalStandin &standin, int count, const QString &sourceRoot,
                                       const QString &destinationRoot, const QString &workDir,
                                       const QString &userUuid, std::mt19937_64 &random)
{
    QVector<SoakDcp> catalogue;
    for (int n = 0; n < count; ++n) {
        DcpGeneratorOptions options;
        options.outDir = sourceRoot;
        options.title = QString("Soak_Feature_%1").arg(n + 1, 3, 10, QChar('0'));
        options.reels = 1 + int(random() % 3);
        options.totalSize = 60000 + random() % 500000;
        options.subtitles = random() % 10 < 4;
        options.seed = random() | 1;
        GeneratedDcp generated;
        QString error;
        if (!generateDcp(options, generated, &error))
            throw std::runtime_error(("cannot generate a DCP: " + error).toStdString());

        SoakDcp dcp;
        dcp.uuid = generated.cplUuid;
        dcp.title = generated.title;
        dcp.campaignDcpId = 9000 + quint64(n);
        dcp.reelUuids = generated.reelUuids;
        const QString folder = QFileInfo(generated.path).fileName();
        for (const GeneratedAsset &a : generated.assets) {
            if (!a.inPkl || a.relativePath.isEmpty() || !isTrackTag(a.tag))
                continue;
            SoakAsset asset;
            asset.uuid = a.uuid;
            asset.dcpUuid = dcp.uuid;
            asset.title = dcp.title;
            asset.hash = a.hash;
            asset.type = a.type;
            const QFileInfo rel(a.relativePath);
            asset.fileName = rel.fileName();
            asset.directory = rel.path() == "." ? QString() : rel.path();
            asset.sourcePath = generated.path + "/" + a.relativePath;
            asset.destinationPath = destinationRoot + "/" + dcp.title + "/" + a.relativePath;
            asset.standinPath = (folder + "/" + a.relativePath).toStdString();
            asset.size = a.size;
            asset.reelNumbers = {reelOfTag(a.tag)};
            dcp.assets.append(asset);
        }
        // Assets shared between reels: a reel also lists the sound (or the picture) of the
        // reel before it, as a composition that repeats a track does.
        for (int reel = 2; reel <= options.reels; ++reel) {
            if (random() % 10 >= 5)
                continue;
            const QString tag = QString(random() % 3 == 0 ? "picture:%1" : "sound:%1").arg(reel - 1);
            const GeneratedAsset *shared = generated.asset(tag);
            for (SoakAsset &asset : dcp.assets) {
                if (shared && asset.uuid == shared->uuid && !asset.reelNumbers.contains(reel))
                    asset.reelNumbers.append(reel);
            }
        }
        dcp.descriptionPath = writeDescription({&dcp}, QString("%1/dcp-%2.json").arg(workDir).arg(n + 1), standin,
                                               destinationRoot, userUuid);
        catalogue.append(dcp);
    }
    return catalogue;
}

QString writeDescription(const QVector<const SoakDcp *> &dcps, const QString &path, const PortalStandin &standin,
                         const QString &destinationRoot, const QString &userUuid)
{
    QJsonArray list;
    for (const SoakDcp *dcp : dcps) {
        QJsonArray assets;
        for (const SoakAsset &a : dcp->assets) {
            QJsonArray reels;
            for (int number : a.reelNumbers)
                reels.append(number);
            assets.append(QJsonObject{{"uuid", a.uuid},
                                      {"hash", a.hash},
                                      {"size", double(a.size)},
                                      {"type", a.type},
                                      {"file", a.fileName},
                                      {"dir", a.directory},
                                      {"url", QString::fromStdString(standin.assetUrl(a.standinPath))},
                                      {"reels", reels}});
        }
        list.append(QJsonObject{{"uuid", dcp->uuid},
                                {"title", dcp->title},
                                {"download_path", destinationRoot},
                                {"user_uuid", userUuid},
                                {"campaign_dcp_id", double(dcp->campaignDcpId)},
                                {"reels", QJsonArray::fromStringList(dcp->reelUuids)},
                                {"assets", assets}});
    }
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)
        || file.write(QJsonDocument(QJsonObject{{"dcps", list}}).toJson()) <= 0)
        throw std::runtime_error(("cannot write " + path).toStdString());
    return path;
}
