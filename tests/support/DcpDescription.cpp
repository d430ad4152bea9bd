#include "support/DcpDescription.h"

#include "catalogue/DCP.h"
#include "catalogue/Reel.h"
#include "download/Asset.h"

#include <QJsonArray>
#include <QList>
#include <QtAlgorithms>

DCP *dcpFromDescription(const QJsonObject &description)
{
    DCP *dcp = new DCP(description["uuid"].toString(), description["title"].toString(), QString(),
                       description["download_path"].toString());
    dcp->setFriendlyTitle(description["title"].toString());
    dcp->setUserUuid(description["user_uuid"].toString());
    dcp->setCampaignDcpId(quint64(description["campaign_dcp_id"].toDouble()));
    QList<Reel *> reels;
    const QJsonArray reelUuids = description["reels"].toArray();
    for (int i = 0; i < reelUuids.size(); ++i) {
        Reel *reel = new Reel(reelUuids.at(i).toString(), quint32(i + 1));
        reel->setDCP(dcp);
        dcp->addReel(reel);
        reels.append(reel);
    }
    for (const QJsonValue &value : description["assets"].toArray()) {
        const QJsonObject a = value.toObject();
        Asset *asset = new Asset(a["uuid"].toString(), a["hash"].toString(), quint64(a["size"].toDouble()),
                                 a["type"].toString(), a["file"].toString(), a["url"].toString());
        asset->setDirectoryPath(a["dir"].toString());
        asset->setDcp(dcp);
        dcp->addAsset(asset);
        const QJsonArray numbers = a.contains("reels") ? a["reels"].toArray() : QJsonArray{a["reel"]};
        for (const QJsonValue &number : numbers) {
            Reel *reel = reels.value(number.toInt() - 1);
            if (!reel) {
                qDeleteAll(dcp->getAssets());
                qDeleteAll(reels);
                delete dcp;
                return nullptr;
            }
            asset->addReel(reel);
            reel->addAsset(asset);
        }
    }
    return dcp;
}
