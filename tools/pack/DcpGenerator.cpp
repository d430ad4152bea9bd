#include "DcpGenerator.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>

#include <algorithm>
#include <cstring>

namespace {

// splitmix64: fast, seedable and good enough for filler bytes and uuids.
class Random {
public:
    explicit Random(std::uint64_t seed)
        : m_state(seed)
    {
    }
    std::uint64_t next()
    {
        std::uint64_t z = (m_state += 0x9E3779B97F4A7C15ULL);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
        return z ^ (z >> 31);
    }
    void fill(char *data, size_t size)
    {
        size_t i = 0;
        for (; i + 8 <= size; i += 8) {
            const std::uint64_t v = next();
            std::memcpy(data + i, &v, 8);
        }
        if (i < size) {
            const std::uint64_t v = next();
            std::memcpy(data + i, &v, size - i);
        }
    }
    QString uuid()
    {
        unsigned char b[16];
        fill(reinterpret_cast<char *>(b), 16);
        b[6] = static_cast<unsigned char>((b[6] & 0x0F) | 0x40);
        b[8] = static_cast<unsigned char>((b[8] & 0x3F) | 0x80);
        const QByteArray hex = QByteArray(reinterpret_cast<const char *>(b), 16).toHex();
        return QString::fromLatin1(hex.mid(0, 8) + "-" + hex.mid(8, 4) + "-" + hex.mid(12, 4) + "-"
                                   + hex.mid(16, 4) + "-" + hex.mid(20, 12));
    }

private:
    std::uint64_t m_state;
};

QString escape(const QString &text)
{
    QString out = text;
    out.replace('&', "&amp;").replace('<', "&lt;").replace('>', "&gt;").replace('"', "&quot;");
    return out;
}

// A small XML text builder: indentation, an optional prefix on every element, comments.
class Xml {
public:
    explicit Xml(QString prefix = QString())
        : m_prefix(std::move(prefix))
    {
        m_text = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
    }
    void open(const QString &name, const QString &attributes = QString())
    {
        line("<" + qualified(name) + (attributes.isEmpty() ? "" : " " + attributes) + ">");
        ++m_depth;
    }
    void close(const QString &name)
    {
        --m_depth;
        line("</" + qualified(name) + ">");
    }
    void element(const QString &name, const QString &text, const QString &attributes = QString())
    {
        line("<" + qualified(name) + (attributes.isEmpty() ? "" : " " + attributes) + ">" + escape(text) + "</"
             + qualified(name) + ">");
    }
    void raw(const QString &text)
    {
        line(text);
    }
    void comment(const QString &text)
    {
        line("<!-- " + text + " -->");
    }
    QByteArray finish(bool oneLine, bool crlf) const
    {
        QString text = m_text;
        if (oneLine) {
            QStringList lines = text.split('\n', Qt::SkipEmptyParts);
            for (QString &l : lines)
                l = l.trimmed();
            text = lines.join(QString());
        } else if (crlf) {
            text.replace("\n", "\r\n");
        }
        return text.toUtf8();
    }

private:
    QString qualified(const QString &name) const
    {
        return m_prefix.isEmpty() || name.contains(':') ? name : m_prefix + ":" + name;
    }
    void line(const QString &text)
    {
        m_text += QString(m_depth * 2, ' ') + text + "\n";
    }
    QString m_prefix;
    QString m_text;
    int m_depth = 0;
};

bool writeFile(const QString &path, const QByteArray &bytes, QString *error)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(bytes) != bytes.size()) {
        if (error)
            *error = "cannot write " + path + ": " + file.errorString();
        return false;
    }
    return true;
}

// Writes size random bytes, streaming, and returns the Base64 SHA-1 of what was written.
bool writeRandomFile(const QString &path, std::uint64_t size, Random &random, QString &hash, QString *error)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        if (error)
            *error = "cannot write " + path + ": " + file.errorString();
        return false;
    }
    QCryptographicHash sha1(QCryptographicHash::Sha1);
    QByteArray buffer(1 << 20, Qt::Uninitialized);
    std::uint64_t left = size;
    while (left > 0) {
        const int n = static_cast<int>(std::min<std::uint64_t>(left, static_cast<std::uint64_t>(buffer.size())));
        random.fill(buffer.data(), static_cast<size_t>(n));
        if (file.write(buffer.constData(), n) != n) {
            if (error)
                *error = "cannot write " + path + ": " + file.errorString();
            return false;
        }
        sha1.addData(buffer.constData(), n);
        left -= static_cast<std::uint64_t>(n);
    }
    hash = QString::fromLatin1(sha1.result().toBase64());
    return true;
}

QString hashOf(const QByteArray &bytes)
{
    return QString::fromLatin1(QCryptographicHash::hash(bytes, QCryptographicHash::Sha1).toBase64());
}

QString safeFolderName(const QString &title)
{
    QString name = title;
    name.replace('/', '_');
    if (name.isEmpty() || name == "." || name == "..")
        name = "DCP";
    return name;
}

const char *kCplSmpte = "http://www.smpte-ra.org/schemas/429-7/2006/CPL";
const char *kPklSmpte = "http://www.smpte-ra.org/schemas/429-8/2007/PKL";
const char *kAmSmpte = "http://www.smpte-ra.org/schemas/429-9/2007/AM";
const char *kCplInterop = "http://www.digicine.com/PROTO-ASDCP-CPL-20040511#";
const char *kPklInterop = "http://www.digicine.com/PROTO-ASDCP-PKL-20040311#";
const char *kAmInterop = "http://www.digicine.com/PROTO-ASDCP-AM-20040311#";
const char *kVlInterop = "http://www.digicine.com/PROTO-ASDCP-VL-20040311#";
const char *kStereo2007 = "http://www.smpte-ra.org/schemas/429-10/2007/Main-Stereo-Picture-CPL";
const char *kStereo2008 = "http://www.smpte-ra.org/schemas/429-10/2008/Main-Stereo-Picture-CPL";

} // namespace

const GeneratedAsset *GeneratedDcp::asset(const QString &tag) const
{
    for (const GeneratedAsset &a : assets)
        if (a.tag == tag)
            return &a;
    return nullptr;
}

bool generateDcp(const DcpGeneratorOptions &options, GeneratedDcp &result, QString *error)
{
    const auto failWith = [error](const QString &message) {
        if (error)
            *error = message;
        return false;
    };
    if (options.reels < 1)
        return failWith("at least one reel is needed");
    const int trackFiles = options.reels * (options.extraAssetListEntries ? 3 : 2);
    if (options.totalSize < static_cast<std::uint64_t>(trackFiles))
        return failWith(QString("a size of at least %1 bytes is needed").arg(trackFiles));

    const bool interop = options.standard == DcpStandard::Interop;
    const std::uint64_t seed = options.seed != 0 ? options.seed : QRandomGenerator::global()->generate64();
    Random ids(seed);
    Random content(seed ^ 0x5DEECE66DULL);
    const auto idText = [&](const QString &uuid) { return options.bareIds ? uuid : "urn:uuid:" + uuid; };
    const QString issueDate = "2024-05-17T10:00:00+00:00";

    result = GeneratedDcp();
    result.title = options.title;
    result.cplUuid = ids.uuid();
    result.pklUuid = ids.uuid();
    result.path = QDir(options.outDir).absoluteFilePath(safeFolderName(options.title));
    result.cplFileName = "CPL_" + result.cplUuid + ".xml";
    result.pklFileName = "PKL_" + result.pklUuid + ".xml";
    result.assetMapFileName = interop ? "ASSETMAP" : "ASSETMAP.xml";
    result.volIndexFileName = interop ? "VOLINDEX" : "VOLINDEX.xml";
    QDir dir(result.path);
    if (!QDir().mkpath(result.path))
        return failWith("cannot create " + result.path);

    // Track file sizes: three quarters picture, one quarter sound (and Atmos), spread over reels.
    const int perReel = options.extraAssetListEntries ? 3 : 2;
    std::uint64_t remaining = options.totalSize;
    const std::uint64_t pictureTotal = options.totalSize / 4 * 3;
    QVector<std::uint64_t> sizes;
    for (int r = 0; r < options.reels; ++r) {
        for (int k = 0; k < perReel; ++k) {
            std::uint64_t size;
            if (k == 0)
                size = std::max<std::uint64_t>(1, pictureTotal / static_cast<std::uint64_t>(options.reels));
            else
                size = std::max<std::uint64_t>(
                    1, (options.totalSize - pictureTotal)
                        / static_cast<std::uint64_t>(options.reels * (perReel - 1)));
            sizes.append(size);
        }
    }
    std::uint64_t sum = 0;
    for (std::uint64_t size : sizes)
        sum += size;
    if (sum < remaining)
        sizes.last() += remaining - sum;
    else if (sum > remaining && sizes.last() > sum - remaining)
        sizes.last() -= sum - remaining;

    struct ReelIds {
        QString reel, picture, sound, subtitle, font, atmos, caption, markers;
    };
    QVector<ReelIds> reels;
    int sizeIndex = 0;
    for (int r = 1; r <= options.reels; ++r) {
        ReelIds ri;
        ri.reel = ids.uuid();
        ri.picture = ids.uuid();
        ri.sound = ids.uuid();
        result.reelUuids.append(ri.reel);

        const auto addTrack = [&](const QString &tag, const QString &uuid, const QString &fileName,
                                  const QString &type) {
            GeneratedAsset a;
            a.tag = tag;
            a.uuid = uuid;
            a.relativePath = fileName;
            a.size = sizes[sizeIndex++];
            a.type = type;
            a.inPkl = a.inAssetMap = true;
            if (!writeRandomFile(dir.filePath(fileName), a.size, content, a.hash, error))
                return false;
            result.assets.append(a);
            return true;
        };
        const QString n = QString::number(r);
        if (!addTrack("picture:" + n, ri.picture, QString("j2c_r%1_%2.mxf").arg(r).arg(ri.picture),
                      interop ? "application/x-smpte-mxf;asdcpKind=Picture" : "application/mxf"))
            return false;
        if (!addTrack("sound:" + n, ri.sound, QString("pcm_r%1_%2.mxf").arg(r).arg(ri.sound),
                      interop ? "application/x-smpte-mxf;asdcpKind=Sound" : "application/mxf"))
            return false;
        if (options.extraAssetListEntries) {
            ri.atmos = ids.uuid();
            if (!addTrack("atmos:" + n, ri.atmos, QString("atmos_r%1_%2.mxf").arg(r).arg(ri.atmos),
                          interop ? "application/x-smpte-mxf;asdcpKind=Sound" : "application/mxf"))
                return false;
            ri.caption = ids.uuid();
            ri.markers = ids.uuid();
            const QByteArray caption = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<DCSubtitle Version=\"1.0\">"
                                       "<SubtitleID>"
                + ri.caption.toUtf8() + "</SubtitleID><ReelNumber>" + n.toUtf8()
                + "</ReelNumber><Language>en</Language></DCSubtitle>\n";
            GeneratedAsset c;
            c.tag = "caption:" + n;
            c.uuid = ri.caption;
            c.relativePath = QString("ccap_r%1_%2.xml").arg(r).arg(ri.caption);
            c.size = static_cast<std::uint64_t>(caption.size());
            c.hash = hashOf(caption);
            c.type = interop ? "text/xml;asdcpKind=Subtitle" : "text/xml";
            c.inPkl = c.inAssetMap = true;
            if (!writeFile(dir.filePath(c.relativePath), caption, error))
                return false;
            result.assets.append(c);
            GeneratedAsset m;
            m.tag = "markers:" + n;
            m.uuid = ri.markers;
            result.assets.append(m);
        }
        if (options.subtitles) {
            ri.subtitle = ids.uuid();
            ri.font = ids.uuid();
            const QString folder = ri.subtitle;
            if (!dir.mkpath(folder))
                return failWith("cannot create " + dir.filePath(folder));
            const QByteArray subtitle = QString("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                                                "<DCSubtitle Version=\"1.0\">\n"
                                                "  <SubtitleID>%1</SubtitleID>\n"
                                                "  <MovieTitle>%2</MovieTitle>\n"
                                                "  <ReelNumber>%3</ReelNumber>\n"
                                                "  <Language>English</Language>\n"
                                                "  <LoadFont Id=\"Font1\" URI=\"%4\"/>\n"
                                                "  <Font Id=\"Font1\" Size=\"42\">\n"
                                                "    <Subtitle SpotNumber=\"1\" TimeIn=\"00:00:01:000\" "
                                                "TimeOut=\"00:00:03:000\">\n"
                                                "      <Text VAlign=\"bottom\" VPosition=\"10\">Reel %3</Text>\n"
                                                "    </Subtitle>\n"
                                                "  </Font>\n"
                                                "</DCSubtitle>\n")
                                            .arg(ri.subtitle, escape(options.title), n,
                                                 escape(options.fontFileName))
                                            .toUtf8();
            GeneratedAsset sub;
            sub.tag = "subtitle:" + n;
            sub.uuid = ri.subtitle;
            sub.relativePath = folder + "/" + ri.subtitle + "_subtitle.xml";
            sub.size = static_cast<std::uint64_t>(subtitle.size());
            sub.hash = hashOf(subtitle);
            sub.type = interop ? "text/xml;asdcpKind=Subtitle" : "text/xml";
            sub.inPkl = sub.inAssetMap = true;
            if (!writeFile(dir.filePath(sub.relativePath), subtitle, error))
                return false;
            result.assets.append(sub);

            GeneratedAsset font;
            font.tag = "font:" + n;
            font.uuid = ri.font;
            font.relativePath = folder + "/" + options.fontFileName;
            font.size = 4096 + static_cast<std::uint64_t>(r);
            font.type = interop ? "application/ttf" : "application/x-font-ttf";
            font.inPkl = font.inAssetMap = true;
            if (!writeRandomFile(dir.filePath(font.relativePath), font.size, content, font.hash, error))
                return false;
            result.assets.append(font);
        }
        reels.append(ri);
    }
    if (options.cplPhantomAsset) {
        GeneratedAsset phantom;
        phantom.tag = "phantom:" + QString::number(options.reels);
        phantom.uuid = ids.uuid();
        result.assets.append(phantom);
    }
    if (options.assetMapExtraAsset) {
        GeneratedAsset extra;
        extra.tag = "extra";
        extra.uuid = ids.uuid();
        extra.relativePath = "extra_" + extra.uuid + ".xml";
        const QByteArray text = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<Extra/>\n";
        extra.size = static_cast<std::uint64_t>(text.size());
        extra.hash = hashOf(text);
        extra.type = "text/xml";
        extra.inAssetMap = true;
        if (!writeFile(dir.filePath(extra.relativePath), text, error))
            return false;
        result.assets.append(extra);
    }

    const auto rootComment = [&](Xml &xml, const QString &what) {
        if (options.xmlComments)
            xml.comment(what + " written by orvdcp-pack");
    };

    // CPL.
    {
        QString rootAttributes = QString("xmlns=\"%1\"").arg(interop ? kCplInterop : kCplSmpte);
        if (options.stereo == StereoForm::MspCpl2007)
            rootAttributes += QString(" xmlns:msp-cpl=\"%1\"").arg(kStereo2007);
        else if (options.stereo == StereoForm::MspCpl2008)
            rootAttributes += QString(" xmlns:msp-cpl=\"%1\"").arg(kStereo2008);
        else if (options.stereo == StereoForm::OtherPrefix)
            rootAttributes += QString(" xmlns:stereo=\"%1\"").arg(kStereo2008);
        Xml xml;
        xml.open("CompositionPlaylist", rootAttributes);
        rootComment(xml, "Composition playlist");
        xml.element("Id", idText(result.cplUuid));
        xml.element("AnnotationText", options.title);
        xml.element("IssueDate", issueDate);
        xml.element("Issuer", "Tolvane");
        xml.element("Creator", "orvdcp-pack");
        xml.element("ContentTitleText", options.title);
        xml.element("ContentKind", "feature");
        xml.open("RatingList");
        xml.close("RatingList");
        xml.open("ReelList");
        for (int r = 0; r < reels.size(); ++r) {
            const ReelIds &ri = reels[r];
            xml.open("Reel");
            if (options.xmlComments)
                xml.comment(QString("Reel %1").arg(r + 1));
            xml.element("Id", idText(ri.reel));
            xml.open("AssetList");
            const auto track = [&](const QString &name, const QString &uuid, const QString &attributes,
                                   bool picture) {
                xml.open(name, attributes);
                xml.element("Id", idText(uuid));
                xml.element("EditRate", "24 1");
                xml.element("IntrinsicDuration", "240");
                xml.element("EntryPoint", "0");
                xml.element("Duration", "240");
                if (picture) {
                    xml.element("FrameRate", options.stereo == StereoForm::None ? "24 1" : "48 1");
                    xml.element("ScreenAspectRatio", interop ? "1.85" : "1998 1080");
                }
                xml.close(name);
            };
            switch (options.stereo) {
            case StereoForm::None:
                track("MainPicture", ri.picture, QString(), true);
                break;
            case StereoForm::MspCpl2007:
            case StereoForm::MspCpl2008:
                track("msp-cpl:MainStereoscopicPicture", ri.picture, QString(), true);
                break;
            case StereoForm::DefaultNamespace:
                track("MainStereoscopicPicture", ri.picture, QString("xmlns=\"%1\"").arg(kStereo2008), true);
                break;
            case StereoForm::OtherPrefix:
                track("stereo:MainStereoscopicPicture", ri.picture, QString(), true);
                break;
            }
            track("MainSound", ri.sound, QString(), false);
            if (options.subtitles)
                track("MainSubtitle", ri.subtitle, QString(), false);
            if (options.extraAssetListEntries) {
                xml.open("axd:AuxData", "xmlns:axd=\"http://www.dolby.com/schemas/2012/AD\"");
                xml.element("Id", idText(ri.atmos));
                xml.element("EditRate", "24 1");
                xml.element("IntrinsicDuration", "240");
                xml.element("EntryPoint", "0");
                xml.element("Duration", "240");
                xml.element("axd:DataType", "urn:smpte:ul:060e2b34.04010105.0e090604.00000000");
                xml.close("axd:AuxData");
                if (interop)
                    track("MainClosedCaption", ri.caption, QString(), false);
                else
                    track("cc-cpl:MainClosedCaption", ri.caption,
                          "xmlns:cc-cpl=\"http://www.smpte-ra.org/schemas/429-12/2008/TT\"", false);
                xml.open("MainMarkers");
                xml.element("Id", idText(ri.markers));
                xml.element("EditRate", "24 1");
                xml.element("IntrinsicDuration", "240");
                xml.open("MarkerList");
                xml.open("Marker");
                xml.element("Label", "FFOC");
                xml.element("Offset", "0");
                xml.close("Marker");
                xml.close("MarkerList");
                xml.close("MainMarkers");
            }
            if (options.cplPhantomAsset && r == reels.size() - 1)
                track(options.subtitles ? "MainClosedCaption" : "MainSubtitle",
                      result.asset("phantom:" + QString::number(options.reels))->uuid, QString(), false);
            xml.close("AssetList");
            xml.close("Reel");
        }
        xml.close("ReelList");
        xml.close("CompositionPlaylist");
        const QByteArray cpl = xml.finish(options.oneLine, options.crlf);
        if (!writeFile(dir.filePath(result.cplFileName), cpl, error))
            return false;
        GeneratedAsset a;
        a.tag = "cpl";
        a.uuid = result.cplUuid;
        a.relativePath = result.cplFileName;
        a.size = static_cast<std::uint64_t>(cpl.size());
        a.hash = hashOf(cpl);
        a.type = interop ? "text/xml;asdcpKind=CPL" : "text/xml";
        a.inPkl = a.inAssetMap = true;
        result.assets.prepend(a);
    }

    if (options.largeDeclaredSize) {
        for (GeneratedAsset &a : result.assets)
            if (a.tag == "picture:1")
                a.size += std::uint64_t(1) << 32;
    }

    const auto omitName = [&](const QString &tag) {
        return options.pklWithoutOriginalFileName.contains("all") || options.pklWithoutOriginalFileName.contains(tag);
    };

    // PKL.
    QByteArray pkl;
    {
        Xml xml;
        xml.open("PackingList", QString("xmlns=\"%1\"").arg(interop ? kPklInterop : kPklSmpte));
        rootComment(xml, "Packing list");
        xml.element("Id", idText(result.pklUuid));
        xml.element("AnnotationText", options.title);
        xml.element("IssueDate", issueDate);
        xml.element("Issuer", "Tolvane");
        xml.element("Creator", "orvdcp-pack");
        xml.open("AssetList");
        for (const GeneratedAsset &a : result.assets) {
            if (!a.inPkl)
                continue;
            xml.open("Asset");
            xml.element("Id", idText(a.uuid));
            if (!options.pklWithoutAnnotationText)
                xml.element("AnnotationText", QFileInfo(a.relativePath).fileName());
            xml.element("Hash", a.hash);
            xml.element("Size", QString::number(a.size));
            xml.element("Type", a.type);
            if (!omitName(a.tag))
                xml.element("OriginalFileName", QFileInfo(a.relativePath).fileName());
            xml.close("Asset");
        }
        xml.close("AssetList");
        xml.close("PackingList");
        pkl = xml.finish(options.oneLine, options.crlf);
        if (!writeFile(dir.filePath(result.pklFileName), pkl, error))
            return false;
    }

    // ASSETMAP.
    {
        Xml xml(options.assetMapPrefixed ? "am" : QString());
        const QString ns = interop ? kAmInterop : kAmSmpte;
        xml.open("AssetMap", options.assetMapPrefixed ? QString("xmlns:am=\"%1\"").arg(ns)
                                                      : QString("xmlns=\"%1\"").arg(ns));
        rootComment(xml, "Asset map");
        xml.element("Id", idText(ids.uuid()));
        xml.element("AnnotationText", options.title);
        xml.element("Creator", "orvdcp-pack");
        xml.element("VolumeCount", "1");
        xml.element("IssueDate", issueDate);
        xml.element("Issuer", "Tolvane");
        xml.open("AssetList");
        const auto entry = [&](const QString &uuid, const QString &path, std::uint64_t length, bool packingList) {
            xml.open("Asset");
            xml.element("Id", idText(uuid));
            if (packingList)
                xml.element("PackingList", "true");
            xml.open("ChunkList");
            xml.open("Chunk");
            xml.element("Path", path);
            xml.element("VolumeIndex", "1");
            if (!options.chunkWithoutOffset)
                xml.element("Offset", "0");
            if (!options.chunkWithoutLength)
                xml.element("Length", QString::number(length));
            xml.close("Chunk");
            xml.close("ChunkList");
            xml.close("Asset");
        };
        entry(result.pklUuid, result.pklFileName, static_cast<std::uint64_t>(pkl.size()), true);
        for (const GeneratedAsset &a : result.assets)
            if (a.inAssetMap)
                entry(a.uuid, a.relativePath, a.size, false);
        xml.close("AssetList");
        xml.close("AssetMap");
        if (!writeFile(dir.filePath(result.assetMapFileName), xml.finish(options.oneLine, options.crlf), error))
            return false;
    }

    // VOLINDEX.
    {
        Xml xml;
        xml.open("VolumeIndex", QString("xmlns=\"%1\"").arg(interop ? kVlInterop : kAmSmpte));
        rootComment(xml, "Volume index");
        xml.element("Index", "1");
        xml.close("VolumeIndex");
        if (!writeFile(dir.filePath(result.volIndexFileName), xml.finish(options.oneLine, options.crlf), error))
            return false;
    }
    return true;
}
