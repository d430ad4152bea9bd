#include "BenchReel.h"

#include "catalogue/DCP.h"
#include "catalogue/DCPManager.h"
#include "catalogue/Reel.h"
#include "download/Asset.h"

namespace bench {

DownloadedReel addDownloadedReel(const QString &uuidStem, const QString &downloads, const QString &title,
                                 const QStringList &fileNames, const QStringList &hashes, quint64 bytesPerFile)
{
    DownloadedReel result;
    result.dcp = new DCP(uuidStem + "01", title, QString(), downloads);
    result.dcp->setFriendlyTitle(title);
    result.reel = new Reel(uuidStem + "02", 1);
    result.reel->setDCP(result.dcp);
    for (int i = 0; i < fileNames.size(); ++i) {
        auto *asset = new Asset(uuidStem + "1" + QString::number(i), hashes.value(i), bytesPerFile, "application/mxf",
                                fileNames[i], "http://127.0.0.1:9/unused");
        asset->setDcp(result.dcp);
        asset->addReel(result.reel);
        asset->setDownloadStarted(true);
        asset->setDownloadFinished(true);
        result.reel->addAsset(asset);
        result.dcp->addAsset(asset);
        result.assets << asset;
    }
    result.dcp->addReel(result.reel);
    result.dcp->sync();
    DCPManager::instance()->addDCP(result.dcp);
    return result;
}

}
