#include "SampleCatalogue.h"

#include "PortalStandin.h"

#include "catalogue/DCP.h"
#include "catalogue/DCPManager.h"
#include "catalogue/DatabaseManager.h"
#include "catalogue/Reel.h"
#include "download/Asset.h"
#include "portal/Notification.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QUuid>

namespace SampleCatalogue {

namespace {
QString newUuid()
{
    return QUuid::createUuid().toString(QUuid::WithoutBraces);
}
}

DCP *addDcp(const QString &title, const QString &friendlyTitle, const QList<SampleReel> &reels,
            const QString &imageUrl, const QString &downloadPath)
{
    QDir().mkpath(downloadPath);
    DCP *dcp = new DCP(newUuid(), title, imageUrl, downloadPath);
    dcp->setFriendlyTitle(friendlyTitle);
    dcp->setUserUuid("5d0c43f6-7e1a-4c57-9a8e-2f1b6f0d3c21");
    dcp->setCampaignDcpId(7000);
    quint32 number = 0;
    for (const SampleReel &sample : reels) {
        Reel *reel = new Reel(newUuid(), ++number);
        reel->setDCP(dcp);
        dcp->addReel(reel);
        const QString assetUuid = newUuid();
        Asset *asset = new Asset(assetUuid, "AAAAAAAAAAAAAAAAAAAAAAAAAAA=", sample.size, "application/mxf",
                                 QString("reel%1.mxf").arg(number),
                                 sample.url.isEmpty() ? QString("http://127.0.0.1:9/none/%1").arg(assetUuid) : sample.url);
        asset->setDcp(dcp);
        asset->setDownloadStarted(sample.finished);
        asset->setDownloadFinished(sample.finished);
        asset->setDownloadChecksummed(sample.checksummed);
        asset->setDownloadCorrupted(sample.corrupted);
        asset->addReel(reel);
        reel->addAsset(asset);
        dcp->addAsset(asset);
    }
    dcp->sync();
    DCPManager::instance()->addDCP(dcp);
    return dcp;
}

SampleReel slowReel(PortalStandin &standin, quint64 size, quint64 bytesPerSecond)
{
    static int counter = 0;
    const std::string name = "slow/asset" + std::to_string(++counter) + ".mxf";
    const QString path = QString::fromStdString(standin.assetRoot() + "/" + name);
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    if (file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        file.write(QByteArray(int(size), 'x'));
    AssetFault slow;
    slow.throttleBytesPerSecond = bytesPerSecond;
    standin.setAssetFault(name, slow);
    SampleReel reel;
    reel.size = size;
    reel.url = QString::fromStdString(standin.assetUrl(name));
    return reel;
}

void addUnacknowledgedEvent(Reel *reel, int event)
{
    Notification n;
    n.user_uuid = reel->getDCP()->userUuid();
    n.campaign_dcp_id = reel->getDCP()->campaignDcpId();
    n.reel_uuid = reel->uuid();
    // As the engine stores them: the reel's row id, then the signature of its files.
    n.reel_assets_hash = QString("%1-sample-signature").arg(reel->dbId());
    n.reel_number = reel->reelNumber();
    n.event = quint32(event);
    n.synced = false;
    DatabaseManager::instance()->insertNotification(&n);
}

}
