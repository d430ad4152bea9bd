#pragma once

// Writes synthetic DCPs: reels of picture and sound track files of random bytes, an optional
// subtitle track in its own sub-folder, and the CPL, PKL, ASSETMAP and VOLINDEX that describe
// them. The options reproduce the variations found in DCPs from real mastering tools.

#include <QString>
#include <QStringList>
#include <QVector>

#include <cstdint>

enum class DcpStandard { Smpte, Interop };

enum class StereoForm {
    None,              // MainPicture
    MspCpl2007,        // msp-cpl:MainStereoscopicPicture, 429-10/2007 namespace
    MspCpl2008,        // msp-cpl:MainStereoscopicPicture, 429-10/2008 namespace
    DefaultNamespace,  // MainStereoscopicPicture with its own default xmlns (no prefix)
    OtherPrefix        // stereo:MainStereoscopicPicture (a prefix other than msp-cpl)
};

struct DcpGeneratorOptions {
    QString outDir;                  // the DCP folder is created inside, named after the title
    QString title = "Tolvane Test Feature"; // CPL AnnotationText and folder name
    int reels = 1;
    std::uint64_t totalSize = 1 << 20; // bytes over all picture and sound files
    bool subtitles = false;          // subtitle XML and font in a folder named after the subtitle uuid
    QString fontFileName = "Arial.ttf"; // same name in every reel's subtitle folder
    std::uint64_t seed = 0;          // content and uuids follow from it; 0: a random seed
    DcpStandard standard = DcpStandard::Smpte;
    StereoForm stereo = StereoForm::None;

    // PKL variations.
    QStringList pklWithoutOriginalFileName; // asset tags ("picture:1", "sound:2", "subtitle:1",
                                            // "font:1", "cpl") or "all"
    bool pklWithoutAnnotationText = false;
    bool largeDeclaredSize = false;   // the PKL and ASSETMAP give reel 1's picture 2^32 bytes more than
                                      // its file holds: a size above 4 GiB without writing one
    // ASSETMAP variations.
    bool assetMapExtraAsset = false;  // an asset (with a file) that the PKL does not list
    bool assetMapPrefixed = false;    // "am:" prefix on every element
    bool chunkWithoutLength = false;
    bool chunkWithoutOffset = false;
    // CPL variations.
    bool cplPhantomAsset = false;     // the last reel names a subtitle (or closed caption) asset
                                      // that neither the PKL nor the ASSETMAP lists
    bool extraAssetListEntries = false; // AuxData (Atmos track file), MainClosedCaption (file)
                                        // and MainMarkers (no file) in every reel
    bool bareIds = false;             // Id texts without the "urn:uuid:" prefix
    // Text form of all four documents.
    bool xmlComments = false;         // comments inside the root element (before the Id, too)
    bool oneLine = false;             // no line breaks or indentation
    bool crlf = false;                // CRLF line endings
};

struct GeneratedAsset {
    QString tag;          // "picture:1", "sound:1", "subtitle:1", "font:1", "atmos:1",
                          // "caption:1", "markers:1", "cpl", "extra", "phantom:N"
    QString uuid;
    QString relativePath; // inside the DCP folder; empty when the asset has no file
    std::uint64_t size = 0;
    QString hash;         // Base64 SHA-1 of the file
    QString type;         // PKL Type
    bool inPkl = false;
    bool inAssetMap = false;
};

struct GeneratedDcp {
    QString path;         // the DCP folder
    QString cplUuid;
    QString pklUuid;
    QString title;
    QString cplFileName;
    QString pklFileName;
    QString assetMapFileName;
    QString volIndexFileName;
    QStringList reelUuids;
    QVector<GeneratedAsset> assets;

    const GeneratedAsset *asset(const QString &tag) const;
};

// Writes the DCP; returns false with a message when it cannot.
bool generateDcp(const DcpGeneratorOptions &options, GeneratedDcp &result, QString *error = nullptr);
