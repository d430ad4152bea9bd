// A stored DCP of one downloaded, not yet verified reel whose track files already lie in
// its folder: what the checksum worker is handed after a download. Shared by the
// benchmarks that keep the worker busy.
#pragma once

#include <QList>
#include <QString>
#include <QStringList>

class Asset;
class DCP;
class Reel;

namespace bench {

struct DownloadedReel
{
    DCP *dcp = nullptr;
    Reel *reel = nullptr;
    QList<Asset *> assets;
};

// uuidStem: the first 34 characters of the uuids; the DCP ends in "01", the reel in "02",
// the assets in "1" and their index. The files are downloads/title/fileNames[i], each
// bytesPerFile long with the Base64 SHA-1 hashes[i]. Stored, and listed in the catalogue.
DownloadedReel addDownloadedReel(const QString &uuidStem, const QString &downloads, const QString &title,
                                 const QStringList &fileNames, const QStringList &hashes, quint64 bytesPerFile);

}
