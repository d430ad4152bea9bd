#pragma once

// The soak's DCPs: generated track files served by the portal stand-in, reels that share
// assets, and the descriptions the soak probe stores in its catalogue.

#include <QString>
#include <QStringList>
#include <QVector>

#include <cstdint>
#include <random>
#include <set>
#include <string>

struct SoakAsset {
    QString uuid;
    QString dcpUuid;
    QString title;         // of its DCP
    QString hash;          // Base64 SHA-1, as in the packing list
    QString type;
    QString fileName;
    QString directory;     // inside the DCP folder, empty for the top level
    QString sourcePath;    // the file the stand-in serves
    QString destinationPath;
    std::string standinPath; // relative to the stand-in's asset root: the key of its faults
    quint64 size = 0;
    QList<int> reelNumbers; // every reel of its DCP that lists it

    // Faults that could make a download of this file fail verification: flipped bytes the
    // stand-in sent, and redirect chains longer than the engine follows.
    std::set<qint64> flipOffsets;
    int verificationBreakers = 0;
};

struct SoakDcp {
    QString uuid;
    QString title;
    quint64 campaignDcpId = 0;
    QStringList reelUuids;
    QVector<SoakAsset> assets;
    QString descriptionPath;
    bool offered = false;  // handed to the engine (it may have been killed before storing it)
};

class PortalStandin;

// Generates `count` DCPs under sourceRoot and writes one description per DCP into workDir;
// their files download into destinationRoot. Throws std::runtime_error on failure.
QVector<SoakDcp> generateSoakCatalogue(const PortalStandin &standin, int count, const QString &sourceRoot,
                                       const QString &destinationRoot, const QString &workDir,
                                       const QString &userUuid, std::mt19937_64 &random);

// A description file holding the given DCPs, for "soak_probe add".
QString writeDescription(const QVector<const SoakDcp *> &dcps, const QString &path, const PortalStandin &standin,
                         const QString &destinationRoot, const QString &userUuid);
