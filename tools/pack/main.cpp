// orvdcp-pack: writes synthetic DCPs and packs DCP folders into ORVDCP package files.

#include "DcpGenerator.h"
#include "PackageBuilder.h"

#include <QCoreApplication>
#include <QFile>
#include <QJsonDocument>
#include <QMap>
#include <QTextStream>

#include <cstdio>

namespace {

const char *kHelp = R"(Usage:
  orvdcp-pack generate --out DIR [options]
  orvdcp-pack pack --key TEXT --base-url URL --out FILE [options] DCPDIR...
  orvdcp-pack decrypt --key TEXT FILE

generate: writes a synthetic DCP into DIR/<title>/ and prints the folder's path and the
CPL uuid, one per line.
  --out DIR                       Parent folder of the DCP folder (required).
  --reels N                       Number of reels (default 1).
  --size BYTES                    Total bytes of the picture and sound files (default 1048576;
                                  sizes above 4 GiB are fine, files are written in pieces).
  --title TEXT                    CPL AnnotationText and folder name (default
                                  "Tolvane Test Feature").
  --subtitles                     A subtitle track per reel: its XML and a font file in a
                                  folder named after the subtitle asset's uuid.
  --font-name NAME                File name of the subtitle font (default Arial.ttf, the same
                                  in every reel).
  --seed N                        Seed for contents and uuids (default: random).
  --interop                       Interop namespaces and file names (default SMPTE).
  --stereo FORM                   Stereoscopic pictures: msp2007, msp2008 (msp-cpl prefix with
                                  the 2007 or 2008 namespace), default (unprefixed, own default
                                  namespace) or other-prefix.
  --pkl-no-original-file-name TAGS  Leave OriginalFileName out for these assets: "all" or a
                                  comma list of picture:R, sound:R, subtitle:R, font:R, cpl.
  --pkl-no-annotation-text        Leave AnnotationText out of the PKL's assets.
  --assetmap-extra-asset          The ASSETMAP lists a file that the PKL does not.
  --assetmap-prefixed             Every ASSETMAP element carries the "am:" prefix.
  --chunk-no-length               Chunks without Length.
  --chunk-no-offset               Chunks without Offset.
  --cpl-phantom-asset             The last reel names an asset that is in neither PKL nor ASSETMAP.
  --extra-asset-list-entries      AuxData (an Atmos track file), MainClosedCaption (a file) and
                                  MainMarkers (no file) in every reel.
  --bare-ids                      Ids without the "urn:uuid:" prefix.
  --xml-comments                  Comments inside the documents' root elements.
  --one-line                      Documents on one line.
  --crlf                          CRLF line endings.

pack: writes an ORVDCP package for one or more DCP folders.
  --key TEXT                      Decoding key (at least 32 bytes of UTF-8; the first 32 are used).
  --key-file FILE                 Read the key text from FILE instead.
  --base-url URL                  Asset URLs are URL/<path inside the DCP folder>. "{dcp}" in URL
                                  is replaced by the DCP folder's name. Give it once per DCP to
                                  use different ones; the last given applies to the rest.
  --out FILE                      The package file to write (required).
  --user-uuid U                   "user_uuid" (default a fixed uuid).
  --campaign-dcp-id N             "campaign_dcp_id", once per DCP in order (default 1001, 1002, ...).
  --friendly-title T              "friendly_title", once per DCP (default the CPL's title).
  --image-url URL                 "dcp_image_url", once per DCP (default <base URL>/poster.jpg).
  --reels LIST                    "reels", once per DCP, e.g. 1,3 (default every reel).
  --version N                     "version" (default 20170613).
  --project-size N                "project_size" (default the sum of the asset sizes).
  --json-override JSON            Merge a JSON object into the document before encryption
                                  (@FILE reads it from FILE). A null value removes a key; "dcps"
                                  merges element by element.
  --plaintext FILE                Encrypt FILE's bytes as they are instead (no DCPDIR needed).
  --print-json                    Also print the JSON document on standard output.

decrypt: prints the JSON document of a package.
  --key TEXT | --key-file FILE    Decoding key.

  --help                          Show this text.
)";

int fail(const QString &message)
{
    std::fprintf(stderr, "orvdcp-pack: %s\n", qPrintable(message));
    return 2;
}

QByteArray readFileOrText(const QString &value, bool *ok)
{
    *ok = true;
    if (!value.startsWith('@'))
        return value.toUtf8();
    QFile file(value.mid(1));
    if (!file.open(QIODevice::ReadOnly)) {
        *ok = false;
        return QByteArray();
    }
    return file.readAll();
}

bool readKeyFile(const QString &path, QByteArray &key)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    key = file.readAll();
    while (key.endsWith('\n') || key.endsWith('\r'))
        key.chop(1);
    return true;
}

// The generator's on/off variants, by their command-line switch.
const QMap<QString, bool DcpGeneratorOptions::*> &variantSwitches()
{
    static const QMap<QString, bool DcpGeneratorOptions::*> switches{
        {"--pkl-no-annotation-text", &DcpGeneratorOptions::pklWithoutAnnotationText},
        {"--assetmap-extra-asset", &DcpGeneratorOptions::assetMapExtraAsset},
        {"--assetmap-prefixed", &DcpGeneratorOptions::assetMapPrefixed},
        {"--chunk-no-length", &DcpGeneratorOptions::chunkWithoutLength},
        {"--chunk-no-offset", &DcpGeneratorOptions::chunkWithoutOffset},
        {"--cpl-phantom-asset", &DcpGeneratorOptions::cplPhantomAsset},
        {"--extra-asset-list-entries", &DcpGeneratorOptions::extraAssetListEntries},
        {"--bare-ids", &DcpGeneratorOptions::bareIds},
        {"--xml-comments", &DcpGeneratorOptions::xmlComments},
        {"--one-line", &DcpGeneratorOptions::oneLine},
        {"--crlf", &DcpGeneratorOptions::crlf},
    };
    return switches;
}

int generate(const QStringList &args)
{
    DcpGeneratorOptions o;
    for (int i = 0; i < args.size(); ++i) {
        const QString a = args[i];
        const auto value = [&](QString &out) {
            if (i + 1 >= args.size())
                return false;
            out = args[++i];
            return true;
        };
        QString v;
        bool ok = true;
        if (a == "--out") {
            ok = value(o.outDir);
        } else if (a == "--reels") {
            ok = value(v);
            o.reels = v.toInt(&ok);
        } else if (a == "--size") {
            ok = value(v);
            o.totalSize = v.toULongLong(&ok);
        } else if (a == "--title") {
            ok = value(o.title);
        } else if (a == "--subtitles") {
            o.subtitles = true;
        } else if (a == "--font-name") {
            ok = value(o.fontFileName);
        } else if (a == "--seed") {
            ok = value(v);
            o.seed = v.toULongLong(&ok);
        } else if (a == "--interop") {
            o.standard = DcpStandard::Interop;
        } else if (a == "--stereo") {
            ok = value(v);
            if (v == "msp2007")
                o.stereo = StereoForm::MspCpl2007;
            else if (v == "msp2008")
                o.stereo = StereoForm::MspCpl2008;
            else if (v == "default")
                o.stereo = StereoForm::DefaultNamespace;
            else if (v == "other-prefix")
                o.stereo = StereoForm::OtherPrefix;
            else
                return fail("unknown --stereo form: " + v);
        } else if (a == "--pkl-no-original-file-name") {
            ok = value(v);
            o.pklWithoutOriginalFileName = v.split(',', Qt::SkipEmptyParts);
        } else if (variantSwitches().contains(a)) {
            o.*variantSwitches().value(a) = true;
        } else {
            return fail("generate: unknown option " + a + " (see --help)");
        }
        if (!ok)
            return fail("generate: bad or missing value for " + a);
    }
    if (o.outDir.isEmpty())
        return fail("generate: --out is required");
    GeneratedDcp dcp;
    QString error;
    if (!generateDcp(o, dcp, &error))
        return fail(error);
    QTextStream out(stdout);
    out << dcp.path << '\n' << dcp.cplUuid << '\n';
    return 0;
}

int pack(const QStringList &args)
{
    PackageOptions o;
    QByteArray key;
    bool haveKey = false;
    QString outPath;
    QStringList baseUrls, titles, images, reelLists, dirs;
    QList<qint64> campaignIds;
    QByteArray overrideText;
    QString plaintextPath;
    bool printJson = false;
    for (int i = 0; i < args.size(); ++i) {
        const QString a = args[i];
        const auto value = [&](QString &out) {
            if (i + 1 >= args.size())
                return false;
            out = args[++i];
            return true;
        };
        QString v;
        bool ok = true;
        if (a == "--key") {
            ok = value(v);
            key = v.toUtf8();
            haveKey = true;
        } else if (a == "--key-file") {
            ok = value(v) && readKeyFile(v, key);
            haveKey = true;
        } else if (a == "--base-url") {
            ok = value(v);
            baseUrls.append(v);
        } else if (a == "--out") {
            ok = value(outPath);
        } else if (a == "--user-uuid") {
            ok = value(o.userUuid);
        } else if (a == "--campaign-dcp-id") {
            ok = value(v);
            campaignIds.append(v.toLongLong(&ok));
        } else if (a == "--friendly-title") {
            ok = value(v);
            titles.append(v);
        } else if (a == "--image-url") {
            ok = value(v);
            images.append(v);
        } else if (a == "--reels") {
            ok = value(v);
            reelLists.append(v);
        } else if (a == "--version") {
            ok = value(v);
            o.version = v.toLongLong(&ok);
        } else if (a == "--project-size") {
            ok = value(v);
            o.projectSize = v.toLongLong(&ok);
        } else if (a == "--json-override") {
            ok = value(v);
            if (ok)
                overrideText = readFileOrText(v, &ok);
        } else if (a == "--plaintext") {
            ok = value(plaintextPath);
        } else if (a == "--print-json") {
            printJson = true;
        } else if (a.startsWith("--")) {
            return fail("pack: unknown option " + a + " (see --help)");
        } else {
            dirs.append(a);
        }
        if (!ok)
            return fail("pack: bad or missing value for " + a);
    }
    if (!haveKey)
        return fail("pack: --key or --key-file is required");
    if (packageKey(key).isEmpty())
        return fail("pack: the key must be at least 32 bytes (UTF-8)");
    if (outPath.isEmpty())
        return fail("pack: --out is required");

    QByteArray plaintext;
    if (!plaintextPath.isEmpty()) {
        QFile file(plaintextPath);
        if (!file.open(QIODevice::ReadOnly))
            return fail("pack: cannot read " + plaintextPath);
        plaintext = file.readAll();
    } else {
        if (dirs.isEmpty())
            return fail("pack: no DCP folder given");
        if (baseUrls.isEmpty())
            return fail("pack: --base-url is required");
        for (int i = 0; i < dirs.size(); ++i) {
            PackageDcpOptions d;
            d.dir = dirs[i];
            d.baseUrl = baseUrls[std::min(i, int(baseUrls.size()) - 1)];
            if (i < campaignIds.size())
                d.campaignDcpId = campaignIds[i];
            if (i < titles.size())
                d.friendlyTitle = titles[i];
            if (i < images.size())
                d.imageUrl = images[i];
            if (i < reelLists.size()) {
                for (const QString &r : reelLists[i].split(',', Qt::SkipEmptyParts)) {
                    bool ok = false;
                    d.reels.append(r.trimmed().toInt(&ok));
                    if (!ok)
                        return fail("pack: bad --reels list " + reelLists[i]);
                }
            }
            o.dcps.append(d);
        }
        QJsonObject json;
        QString error;
        if (!buildPackageJson(o, json, &error))
            return fail(error);
        if (!overrideText.isEmpty()) {
            QJsonParseError parseError{};
            const QJsonDocument doc = QJsonDocument::fromJson(overrideText, &parseError);
            if (!doc.isObject())
                return fail("pack: --json-override is not a JSON object: " + parseError.errorString());
            json = mergeJson(json, doc.object());
        }
        plaintext = QJsonDocument(json).toJson(QJsonDocument::Compact);
    }
    QString error;
    if (!writePackageFile(outPath, key, plaintext, &error))
        return fail(error);
    if (printJson) {
        std::fwrite(plaintext.constData(), 1, static_cast<size_t>(plaintext.size()), stdout);
        std::fputc('\n', stdout);
    }
    return 0;
}

int decrypt(const QStringList &args)
{
    QByteArray key;
    bool haveKey = false;
    QString path;
    for (int i = 0; i < args.size(); ++i) {
        const QString a = args[i];
        if ((a == "--key" || a == "--key-file") && i + 1 < args.size()) {
            const QString v = args[++i];
            if (a == "--key")
                key = v.toUtf8();
            else if (!readKeyFile(v, key))
                return fail("decrypt: cannot read " + v);
            haveKey = true;
        } else if (a.startsWith("--")) {
            return fail("decrypt: unknown option " + a + " (see --help)");
        } else {
            path = a;
        }
    }
    if (!haveKey || path.isEmpty())
        return fail("decrypt: --key and a package file are required");
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return fail("decrypt: cannot read " + path);
    QByteArray plaintext;
    QString error;
    if (!decryptPackage(key, file.readAll(), plaintext, &error))
        return fail(error);
    std::fwrite(plaintext.constData(), 1, static_cast<size_t>(plaintext.size()), stdout);
    std::fputc('\n', stdout);
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QStringList args = app.arguments().mid(1);
    if (args.isEmpty() || args.contains("--help") || args.contains("-h")) {
        std::fputs(kHelp, args.isEmpty() ? stderr : stdout);
        return args.isEmpty() ? 2 : 0;
    }
    const QString command = args.takeFirst();
    if (command == "generate")
        return generate(args);
    if (command == "pack")
        return pack(args);
    if (command == "decrypt")
        return decrypt(args);
    return fail("unknown command " + command + " (see --help)");
}
